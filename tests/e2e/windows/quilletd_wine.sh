#!/bin/bash
# Guards quilletd.exe under Wine, on port 69 in a network namespace with a Wine prefix of its own
# (sockets belong to the prefix's wineserver, so the two must not be shared). Linux's curl and
# tftp-hpa fetch files of 0, 512, 513 bytes, 1 MiB and the largest, 33,553,920 bytes, byte for
# byte; names are UTF-8; a write request, a missing file, every name that would reach outside the
# served folder or a device, and a name that is not UTF-8 are refused; the first run writes
# LOG_FILE_LEVEL=6 (REG_DWORD) into the registry and a level of 7 set there brings the progress
# lines; SIGINT (Ctrl+C to the program) ends it within about 2 s with status 0 and every log line
# whole; TFTP_OPTIONS=1 there gives atftp blocks of 1468 bytes in windows of 8; with port 69 taken
# it exits with 3.
# shellcheck source=../lib.sh
source "${E2E_LIB:-$(dirname "$0")/../lib.sh}"

EXE=$QUILLETD
WINE_RUN=${WINE_RUN:?WINE_RUN must name tests/wine/run.sh}
export WINEPREFIX="$WORK/prefix"
trap 'wineserver -k 2>/dev/null || true; e2e_cleanup' EXIT
QUILLETD="$WORK/quilletd"
printf '#!/bin/sh\nexec "%s" "%s"\n' "$WINE_RUN" "$EXE" >"$QUILLETD"
chmod +x "$QUILLETD"
# From a folder without a reg.exe: Wine would run that one instead of its own.
reg() { (cd "$WORK" && in_ns "$WINE_RUN" reg "$@" 2>&1 | tr -d '\r'); }
reg_key='HKCU\Software\Carrowmore\Quillet'

# The first wine call sets the prefix up, inside the namespace.
[[ $(reg query "$reg_key" /v LOG_FILE_LEVEL) != *REG_DWORD* ]] || fail "a level before the first run"

sizes=(0 512 513 1048576 33553920)
blocks=(1 2 2 2049 65536)
for size in "${sizes[@]}"; do
    make_file "$SERVED/file-$size.bin" "$size"
done
mkdir "$SERVED/sub" "$SERVED/adir"
make_file "$SERVED/sub/inner.bin" 700
make_file "$SERVED/grüße.bin" 600
ln -s /etc/passwd "$SERVED/escape.bin"
ln -s /etc "$SERVED/escape-dir"
ln -s sub/inner.bin "$SERVED/link.bin"
folder="Z:${SERVED//\//\\}"

start_server
for client in curl hpa; do
    for i in 0 1 2 3; do
        fetch "$client" "file-${sizes[i]}.bin" "$FETCHED/$client-$i" || fail "$client: ${sizes[i]} bytes"
        same_bytes "$SERVED/file-${sizes[i]}.bin" "$FETCHED/$client-$i"
        expect_log ": file-${sizes[i]}.bin, Served with ${blocks[i]} blocks."
    done
done
stop_server INT 3000
[[ $(reg query "$reg_key" /v LOG_FILE_LEVEL) =~ LOG_FILE_LEVEL\ +REG_DWORD\ +0x6 ]] ||
    fail "registry: $(reg query "$reg_key" /v LOG_FILE_LEVEL)"

reg add "$reg_key" /v LOG_FILE_LEVEL /t REG_DWORD /d 7 /f >/dev/null || fail "reg add"
start_server
in_ns timeout 20 tftp -m binary 127.0.0.1 69 -c put "$SERVED/file-513.bin" up.bin >"$WORK/put" 2>&1 || true
grep -qF "Error code 4: WRQ not supported yet." "$WORK/put" || fail "tftp put: $(cat "$WORK/put")"
expect_log "): Write Request Ignored"

# The first answer to a request for each name: "DATA" or "ERROR <code> <text>".
ask() {
    in_ns timeout 10 python3 - "$1" <<'EOF'
import os, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(5)
s.sendto(b"\0\1" + os.fsencode(sys.argv[1]) + b"\0octet\0", ("127.0.0.1", 69))
reply, server = s.recvfrom(600)
if reply[:2] == b"\0\3":
    s.sendto(b"\0\5\0\0done\0", server)  # ends the transfer at once
    print("DATA")
else:
    print("ERROR", reply[3], reply[4:-1].decode())
EOF
}
served=("sub/inner.bin" 'sub\inner.bin' "/file-512.bin" '\file-512.bin' "./file-512.bin"
    "$folder\\file-512.bin" "${folder//\\//}/sub/inner.bin" "link.bin" "FILE-512.BIN" "grüße.bin")
for name in "${served[@]}"; do
    [[ $(ask "$name") == DATA ]] || fail "$name was not served: $(ask "$name")"
done
refused=("../file-512.bin|2" "sub/../file-512.bin|2" "a..b|2" "missing.bin|1" "adir|1"
    "/etc/hostname|1" 'Z:\etc\hostname|1' "Z:/etc/hostname|1" 'C:\windows\win.ini|1'
    '\\?\Z:\etc\hostname|1' '\\.\NUL|1' '\\localhost\c$\windows\win.ini|1' "escape.bin|1"
    "escape-dir/passwd|1" "file-512.bin:stream|1" 'file-512.bin::$DATA|1' "NUL|1" "con|1"
    "COM1|1" "lpt1.txt|1" "aux .bin|1" "file-512.bin.|1" "file-512.bin |1" "Quillet.log|2"
    "quillet.LOG|2" "Quillet.log.bak|2" $'gr\xfc\xdfe.bin|1')
for refusal in "${refused[@]}"; do
    name=${refusal%|*}
    answer=$(ask "$name")
    [[ $answer == "ERROR ${refusal##*|} "* ]] || fail "$name: $answer"
    expect_log ": $name, ${answer#ERROR ? }"
done

for client in curl hpa; do
    FETCH_SECONDS=150 fetch "$client" file-33553920.bin "$FETCHED/$client-largest" || fail "$client: largest"
    same_bytes "$SERVED/file-33553920.bin" "$FETCHED/$client-largest"
done
wait_for "$QUILLET_LOG" ": file-33553920.bin, Served with 65536 blocks." 5 2 || fail "largest not served"
progress=$(count_lines "$QUILLET_LOG" ": file-33553920.bin, Transmit in Progress, ")
((progress == 2 * 327)) || fail "$progress progress lines at level 7"
stop_server INT 3000
! grep -qv $'\r$' "$QUILLET_LOG" || fail "a log line cut short: $(grep -v $'\r$' "$QUILLET_LOG")"
tail -n 1 "$QUILLET_LOG" | grep -qF "Served with 65536 blocks." || fail "log: $(tail -n 3 "$QUILLET_LOG")"

# TFTP_OPTIONS=1 in the registry: blocks of 1468 bytes and a window of 8 for atftp.
reg add "$reg_key" /v TFTP_OPTIONS /t REG_DWORD /d 1 /f >/dev/null || fail "reg add"
start_server
in_ns timeout 60 atftp --option "blksize 1468" --option "windowsize 8" -g -r file-1048576.bin \
    -l "$FETCHED/windowed" 127.0.0.1 69 >/dev/null 2>&1 || fail "atftp with options"
same_bytes "$SERVED/file-1048576.bin" "$FETCHED/windowed"
expect_log ": file-1048576.bin, Options blksize=1468 windowsize=8."
expect_log ": file-1048576.bin, Served with 715 blocks."
stop_server INT 3000

hold_port_69
start_server "$QUILLETD" nowait
await_exit 20
[[ $STATUS -eq 3 ]] || fail "port 69 held: exit status $STATUS, expected 3"
expect_log "Bind failed, Maybe Port 69 already in use: 0x00002740" # WSAEADDRINUSE
echo "PASS: $e2e_name"
