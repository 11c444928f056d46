#!/bin/bash
# Guards: with UDP port 69 already held by another program, quilletd cannot start. It exits at
# once with status 3, and the level-3 line "Bind failed, Maybe Port 69 already in use: 0x00000062"
# (EADDRINUSE) is in the log file and on standard error; it never reports itself ready.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

in_ns python3 -c '
import socket, sys, time
holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
holder.bind(("0.0.0.0", 69))
print("holding port 69", flush=True)
time.sleep(60)
' >"$WORK/holder.out" 2>&1 &
E2E_PIDS+=($!)
wait_for_line "$WORK/holder.out" "holding port 69" 10 || fail "could not hold port 69: $(cat "$WORK/holder.out")"

run_quilletd "$SERVED" 10
[[ $QUILLETD_STATUS -eq 3 ]] || fail "quilletd ended with status $QUILLETD_STATUS, expected 3"
line='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}    Bind failed, Maybe Port 69 already in use: 0x00000062$'
grep -qE "$line" "$QUILLET_LOG" || fail "log file: $(cat "$QUILLET_LOG" 2>&1)"
grep -qE "$line" "$WORK/quilletd.stderr" || fail "standard error: $(cat "$WORK/quilletd.stderr")"
! grep -qF "Quillet Server Ready..." "$QUILLET_LOG" "$WORK/quilletd.stderr" ||
    fail "quilletd reported itself ready"
echo "PASS: $e2e_name"
