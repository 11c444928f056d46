#!/bin/bash
# Guards quilletd.exe under Wine: fetches.txt's wine sets byte for byte (also over ::1 on the one
# socket), names.txt's rows for Windows, LOG_FILE_LEVEL=6 written to the registry on the first run,
# TFTP_OPTIONS=1 giving atftp windows of 8, Ctrl+C ending it whole (a second one at once), and
# exit 3 with port 69 taken.
# shellcheck source=../lib.sh
source "${E2E_LIB:-$(dirname "$0")/../lib.sh}"

use_wine
printf '#!/bin/sh\nexec "%s" "%s"\n' "$WINE_RUN" "$QUILLETD" >"$WORK/quilletd"
chmod +x "$WORK/quilletd"
QUILLETD="$WORK/quilletd" # what start_server runs
reg() { wine_in_ns reg "$@"; }
reg_key='HKCU\Software\Carrowmore\Quillet'

# The first wine call sets the prefix up, inside the namespace.
[[ $(reg query "$reg_key" /v LOG_FILE_LEVEL) != *REG_DWORD* ]] || fail "a level before the first run"

make_fetch_files wine wine-window wine-largest
make_names_fixture
start_server
fetch_set wine
for size in 513 1048576; do HOST=::1 fetch_one curl "$size"; done
expect_log "client ::1 ("
stop_server INT 3000
[[ $(reg query "$reg_key" /v LOG_FILE_LEVEL) =~ LOG_FILE_LEVEL\ +REG_DWORD\ +0x6 ]] ||
    fail "registry: $(reg query "$reg_key" /v LOG_FILE_LEVEL)"

reg add "$reg_key" /v LOG_FILE_LEVEL /t REG_DWORD /d 7 /f >/dev/null || fail "reg add"
reg add "$reg_key" /v TFTP_OPTIONS /t REG_DWORD /d 1 /f >/dev/null || fail "reg add"
start_server
probe names "$E2E_DIR/names.txt" windows "$SERVED" "Z:${SERVED//\//\\}" "$QUILLET_LOG" ||
    fail "see above"

fetch_set wine-window
expect_log ": file-1048576.bin, Options blksize=1468 windowsize=8."
expect_log ": file-1048576.bin, Served with 715 blocks."
FETCH_SECONDS=150 fetch_set wine-largest
wait_for "$QUILLET_LOG" ": file-33553920.bin, Served with 65536 blocks." 5 2 || fail "largest not served"
stop_server INT 3000
! grep -qv $'\r$' "$QUILLET_LOG" || fail "a log line cut short: $(grep -v $'\r$' "$QUILLET_LOG")"
tail -n 1 "$QUILLET_LOG" | grep -qF "Served with 65536 blocks." || fail "log: $(tail -n 3 "$QUILLET_LOG")"

start_server  # a second Ctrl+C ends it at once, not at the loop's next pass (up to 2 s)
kill -INT "$SERVER_PID" && sleep 0.2 && kill -INT "$SERVER_PID" && await_exit 10
((MS <= 500)) || fail "a second Ctrl+C: ended only after $MS ms"
hold_port_69
start_server "$QUILLETD" nowait
expect_exit 20 3
expect_log "Bind failed, Maybe Port 69 already in use: 0x00002740" # WSAEADDRINUSE
echo "PASS: $e2e_name"
