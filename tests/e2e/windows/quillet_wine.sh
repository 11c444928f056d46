#!/bin/bash
# Guards both programs under Wine, quillet.exe on an Xvfb display of its own: the wine sets byte for
# byte (also over ::1) and logged; LOG_FILE_LEVEL=6 written on the first run; the window's close
# exits 0; port 69 taken: the message box, the level-3 line, exit 3 (quilletd.exe too). quilletd.exe
# with TFTP_OPTIONS=1: names.txt's Windows rows, atftp's windows of 8, a second Ctrl+C ending it at
# once. Started in the Windows folder (or quilletd.exe in its own) either serves the user's TFTP.
# shellcheck source=../lib.sh
source "${E2E_LIB:-$(dirname "$0")/../lib.sh}"

use_wine
QUILLET_EXE=${QUILLET_EXE:?QUILLET_EXE must name quillet.exe}
# No offer to install Wine's .NET and HTML engines: on a display it would wait for an answer.
export WINEDLLOVERRIDES="mscoree,mshtml="

# The display lives in the namespace; it writes its number once it takes connections.
ip netns exec "$NS" Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$WORK/display" \
    >/dev/null 2>&1 &
E2E_PIDS+=($!)
wait_for "$WORK/display" "" 10 || fail "Xvfb did not start"
export DISPLAY=":$(cat "$WORK/display")"
for program in "$QUILLET_EXE" "$QUILLETD"; do
    printf '#!/bin/sh\nexec "%s" "%s"\n' "$WINE_RUN" "$program" >"$WORK/$(basename "$program")"
    chmod +x "$WORK/$(basename "$program")"
done
# Waits up to 20 s for a window with the title $1.
window_up() {
    for ((i = 0; i < 200; i++)); do in_ns xwininfo -root -tree 2>/dev/null | grep -qF "\"$1\"" && return 0; sleep 0.1; done
    return 1
}
close_window() { wine_in_ns taskkill /IM "$1" >/dev/null; }
reg() { wine_in_ns reg "$@"; }
reg_key='HKCU\Software\Carrowmore\Quillet'
# The first Wine program sets the prefix up. With no window manager on the display, windows stay
# unmanaged: Wine would otherwise wait two seconds for one whenever a window is hidden.
reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null || fail "reg add"
[[ $(reg query "$reg_key" /v LOG_FILE_LEVEL) != *REG_DWORD* ]] || fail "a level before the first run"

make_fetch_files wine wine-window
make_names_fixture
start_server "$WORK/quillet.exe"
window_up Quillet || fail "no window"
fetch_set wine
for size in 513 1048576; do HOST=::1 fetch_one curl "$size"; done
wait_for "$QUILLET_LOG" ": file-1048576.bin, Served with 2049 blocks." 5 3 || fail "log: $(tail -3 "$QUILLET_LOG")"
expect_log "client ::1 ("
close_window quillet.exe
expect_exit 20 0
((MS <= 5000)) || fail "closed only after $MS ms"
[[ $(reg query "$reg_key" /v LOG_FILE_LEVEL) =~ LOG_FILE_LEVEL\ +REG_DWORD\ +0x6 ]] ||
    fail "registry: $(reg query "$reg_key" /v LOG_FILE_LEVEL)"

hold_port_69
start_server "$WORK/quillet.exe" nowait
window_up quillet || fail "no message box" # its caption is the program's name
expect_log "Bind failed, Maybe Port 69 already in use: 0x00002740" # WSAEADDRINUSE
close_window quillet.exe
expect_exit 20 3
start_server "$WORK/quilletd.exe" nowait
expect_exit 20 3
wait_for "$QUILLET_LOG" "Bind failed, Maybe Port 69 already in use: 0x00002740" 5 2 || fail "quilletd.exe: no line"
release_port_69

reg add "$reg_key" /v LOG_FILE_LEVEL /t REG_DWORD /d 7 /f >/dev/null || fail "reg add"
reg add "$reg_key" /v TFTP_OPTIONS /t REG_DWORD /d 1 /f >/dev/null || fail "reg add"
start_server "$WORK/quilletd.exe"
probe names "$E2E_DIR/names.txt" windows "$SERVED" "Z:${SERVED//\//\\}" || fail "see above"
fetch_set wine-window
expect_log ": file-1048576.bin, Options blksize=1468 windowsize=8."
expect_log ": file-1048576.bin, Served with 715 blocks."
stop_server INT 3000
start_server "$WORK/quilletd.exe" # a second Ctrl+C ends it at once, not at the loop's next pass
kill -INT "$SERVER_PID" && sleep 0.2 && kill -INT "$SERVER_PID" && await_exit 10
((MS <= 500)) || fail "a second Ctrl+C: ended only after $MS ms"

# Started in the Windows folder, or in the program's own: the user's TFTP folder instead.
SERVED=$(find "$WINEPREFIX/drive_c/users" -maxdepth 1 -mindepth 1 -type d ! -name Public)/TFTP
QUILLET_LOG="$SERVED/Quillet.log"
mkdir -p "$SERVED" "$WORK/bin"
make_file "$SERVED/file-700.bin" 700
cp "$QUILLET_EXE" "$QUILLETD" "$WORK/bin/"
for start in "$WINEPREFIX/drive_c/windows/system32:quillet.exe" "$WORK/bin:quilletd.exe"; do
    rm -f "$QUILLET_LOG"
    folder=${start%:*} program=${start##*:}
    (cd "$folder" && DISPLAY=$DISPLAY exec ip netns exec "$NS" "$WINE_RUN" "$WORK/bin/$program" \
        2>>"$WORK/stderr") &
    SERVER_PID=$! && E2E_PIDS+=("$SERVER_PID")
    expect_log "Serving C:\\users\\" 20
    line=$(grep -F "Serving " "$QUILLET_LOG" | tail -n 1 | tr -d '\r')
    [[ $line == *"\\TFTP instead of "*"${folder##*/}, a program or Windows folder" ]] || fail "$program: $line"
    fetch_one hpa 700
    [[ $program == quilletd.exe ]] && stop_server INT 3000 && continue
    close_window "$program"
    expect_exit 20 0
done
echo "PASS: $e2e_name"
