#!/bin/bash
# Guards quilletd.exe under Wine, on port 69 in a network namespace with a Wine prefix of its own
# (sockets belong to the prefix's wineserver, so the two must not be shared): curl and tftp-hpa
# fetch files of 0, 512, 513 bytes, 1 MiB and the largest, 33,553,920 bytes, byte for byte; UTF-8
# names are served; a write request, a missing file, every name that would reach outside the
# served folder or a device, and a name that is not UTF-8 are refused (that name logged escaped,
# byte by byte); the first run writes LOG_FILE_LEVEL=6 (REG_DWORD) into the registry, where a
# level of 7 brings the progress lines and TFTP_OPTIONS=1 gives atftp blocks of 1468 bytes in
# windows of 8; SIGINT (Ctrl+C to the program) ends it within about 2 s with status 0 and every
# log line whole, a second one at once; with port 69 taken it exits 3.
# shellcheck source=../lib.sh
source "${E2E_LIB:-$(dirname "$0")/../lib.sh}"

WINE_RUN=${WINE_RUN:?WINE_RUN must name tests/wine/run.sh}
export WINEPREFIX="$WORK/prefix"
trap 'wineserver -k 2>/dev/null || true; e2e_cleanup' EXIT
printf '#!/bin/sh\nexec "%s" "%s"\n' "$WINE_RUN" "$QUILLETD" >"$WORK/quilletd"
chmod +x "$WORK/quilletd"
QUILLETD="$WORK/quilletd" # what start_server runs
# From a folder without a reg.exe: Wine would run that one instead of its own.
reg() { (cd "$WORK" && in_ns "$WINE_RUN" reg "$@" 2>&1 | tr -d '\r'); }
reg_key='HKCU\Software\Carrowmore\Quillet'

# The first wine call sets the prefix up, inside the namespace.
[[ $(reg query "$reg_key" /v LOG_FILE_LEVEL) != *REG_DWORD* ]] || fail "a level before the first run"

for size in 0 512 513 1048576 33553920; do
    make_file "$SERVED/file-$size.bin" "$size"
done
mkdir "$SERVED/sub" "$SERVED/adir"
make_file "$SERVED/sub/inner.bin" 700
make_file "$SERVED/grüße.bin" 600
# Wine shows Unix links as plain files, not as reparse points: followed, but never out of the folder.
ln -s /etc/passwd "$SERVED/escape.bin"
ln -s /etc "$SERVED/escape-dir"
ln -s sub/inner.bin "$SERVED/link.bin"
folder="Z:${SERVED//\//\\}"

start_server
fetch_table curl hpa -- 0 512 513 1048576
for size_blocks in 0:1 512:2 513:2 1048576:2049; do # each served to curl and to tftp-hpa
    line=": file-${size_blocks%:*}.bin, Served with ${size_blocks#*:} blocks."
    wait_for "$QUILLET_LOG" "$line" 5 2 || fail "not twice \"$line\": $(tail -3 "$QUILLET_LOG")"
done
stop_server INT 3000
[[ $(reg query "$reg_key" /v LOG_FILE_LEVEL) =~ LOG_FILE_LEVEL\ +REG_DWORD\ +0x6 ]] ||
    fail "registry: $(reg query "$reg_key" /v LOG_FILE_LEVEL)"

reg add "$reg_key" /v LOG_FILE_LEVEL /t REG_DWORD /d 7 /f >/dev/null || fail "reg add"
reg add "$reg_key" /v TFTP_OPTIONS /t REG_DWORD /d 1 /f >/dev/null || fail "reg add"
start_server
in_ns timeout 20 tftp -m binary 127.0.0.1 69 -c put "$SERVED/file-513.bin" up.bin >"$WORK/put" 2>&1 || true
grep -qF "Error code 4: WRQ not supported yet." "$WORK/put" || fail "tftp put: $(cat "$WORK/put")"
expect_log "): Write Request Ignored"

# Each name and its answer: the data, or the code of the ERROR, whose text must also be logged.
names=("sub/inner.bin|DATA" 'sub\inner.bin|DATA' "/file-512.bin|DATA" '\file-512.bin|DATA'
    "./file-512.bin|DATA" "$folder\\file-512.bin|DATA" "${folder//\\//}/sub/inner.bin|DATA"
    "link.bin|DATA" "FILE-512.BIN|DATA" "grüße.bin|DATA" "${folder,,}\\file-512.bin|DATA"
    "../file-512.bin|2" "sub/../file-512.bin|2" "a..b|2" "missing.bin|1" "adir|1"
    "/etc/hostname|1" 'Z:\etc\hostname|1' "Z:/etc/hostname|1" 'C:\windows\win.ini|1'
    '\\?\Z:\etc\hostname|1' '\\.\NUL|1' '\\localhost\c$\windows\win.ini|1' "escape.bin|1"
    "escape-dir/passwd|1" "file-512.bin:stream|1" 'file-512.bin::$DATA|1' "NUL|1" "con|1"
    "COM1|1" "lpt1.txt|1" "aux .bin|1" "file-512.bin.|1" "file-512.bin |1" "Quillet.log|2"
    "quillet.LOG|2" "Quillet.log.bak|2" $'gr\xfc\xdfe.bin|1')
for entry in "${names[@]}"; do
    name=${entry%|*} expected=${entry##*|}
    answer=$(raw_get "$name" "" quit)
    [[ $answer == "$expected" || $answer == "Error code $expected: "* ]] || fail "$name: $answer"
    shown=${name//$'\xfc\xdf'/\\xFC\\xDF}  # not UTF-8: logged escaped
    [[ $expected == DATA ]] || expect_log ": $shown, ${answer#Error code ?: }"
done

fetch_table atftp8 -- 1048576
expect_log ": file-1048576.bin, Options blksize=1468 windowsize=8."
expect_log ": file-1048576.bin, Served with 715 blocks."
FETCH_SECONDS=150 fetch_table curl hpa -- 33553920
wait_for "$QUILLET_LOG" ": file-33553920.bin, Served with 65536 blocks." 5 2 || fail "largest not served"
progress=$(count_lines "$QUILLET_LOG" ": file-33553920.bin, Transmit in Progress, ")
((progress == 2 * 327)) || fail "$progress progress lines at level 7"
stop_server INT 3000
! grep -qv $'\r$' "$QUILLET_LOG" || fail "a log line cut short: $(grep -v $'\r$' "$QUILLET_LOG")"
tail -n 1 "$QUILLET_LOG" | grep -qF "Served with 65536 blocks." || fail "log: $(tail -n 3 "$QUILLET_LOG")"

start_server  # a second Ctrl+C ends it at once, not at the loop's next pass (up to 2 s)
kill -INT "$SERVER_PID" && sleep 0.2 && kill -INT "$SERVER_PID" && await_exit 10
((MS <= 500)) || fail "a second Ctrl+C: ended only after $MS ms"
hold_port_69
start_server "$QUILLETD" nowait
await_exit 20
[[ $STATUS -eq 3 ]] || fail "port 69 held: exit status $STATUS, expected 3"
expect_log "Bind failed, Maybe Port 69 already in use: 0x00002740" # WSAEADDRINUSE
echo "PASS: $e2e_name"
