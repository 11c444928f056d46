#!/bin/bash
# Guards: sessions are capped below the descriptor limit. quilletd runs under `ulimit -n 64` with
# its log file at level 4; 100 read requests from 100 source ports, none acknowledged, get block 1
# or ERROR 0 "Server Busy." and nothing else, with some refused and each refusal a level-4 line
# "..., Refused, Server Busy." in the file, never "File not found."; tftp-hpa is refused too while
# the sessions stand, and served at once when their clients end them with an ERROR, whose
# message (holding CR, LF and a forged line) is logged escaped.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/big.bin" 100000
settings LOG_FILE_LEVEL=4
printf '#!/bin/sh\nulimit -n 64\nexec "%s"\n' "$QUILLETD" >"$WORK/limited"
chmod +x "$WORK/limited"
start_server "$WORK/limited" nowait
wait_for "$WORK/stderr" "Quillet Server Ready..." 10 || fail "not ready: $(cat "$WORK/stderr")"
grep -qE '^Max open files +64 +64 ' "/proc/$SERVER_PID/limits" || fail "not under ulimit -n 64"

in_ns timeout 60 python3 - "$FETCHED/busy" <<'PY' || fail "see above"
import socket, subprocess, sys
busy = b"\0\5\0\0Server Busy.\0"
sockets = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(100)]
for s in sockets:
    s.settimeout(5)
    s.sendto(b"\0\1big.bin\0octet\0", ("127.0.0.1", 69))
replies = [s.recv(600) for s in sockets]
served = [s for s, reply in zip(sockets, replies) if reply[:4] == b"\0\3\0\1"]
refused = replies.count(busy)
print("%d requests: %d got block 1, %d got Server Busy." % (len(sockets), len(served), refused))
if len(served) + refused != 100 or refused == 0 or len(served) == 0:
    sys.exit("expected block 1 or Server Busy. and some of each")
get = ["tftp", "-m", "binary", "127.0.0.1", "69", "-c", "get", "big.bin", sys.argv[1]]
out = subprocess.run(get, capture_output=True, text=True, timeout=20).stdout
if "Error code 0: Server Busy." not in out:
    sys.exit("tftp-hpa while the sessions stand: " + out)
for s in served:
    s.sendto(b"\0\5\0\0done\r\n2020-01-01 00:00:00    forged\0", ("127.0.0.1", 69))
print(refused + 1, len(served), file=open(sys.argv[1] + ".count", "w"))
PY
read -r refusals served <"$FETCHED/busy.count"
FETCH_SECONDS=10 fetch hpa big.bin "$FETCHED/big.bin" || fail "not served once the sessions ended"
same_bytes "$SERVED/big.bin" "$FETCHED/big.bin"
wait_for "$QUILLET_LOG" "): big.bin, Refused, Server Busy." 5 "$refusals" || fail "$(cat "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" ", Refused, Server Busy.") -eq $refusals ]] || fail "refusals logged"
[[ $(count_lines "$QUILLET_LOG" "File not found.") -eq 0 ]] || fail "File not found. under load"
[[ $(count_lines "$QUILLET_LOG" ", Connected.") -eq 0 ]] || fail "a level-6 line at level 4"
closed=', Closed with client Error #0 "done\x0D\x0A2020-01-01 00:00:00    forged", 1 blocks sent.'
[[ $(count_lines "$QUILLET_LOG" "$closed") -eq $served ]] || fail "$served client errors: $(cat "$QUILLET_LOG")"
! grep -q '^2020-01-01' "$QUILLET_LOG" || fail "a forged line"
stop_server TERM 2500
echo "PASS: $e2e_name"
