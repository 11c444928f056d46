#!/bin/bash
# Guards: how quilletd ends, and the one resend a real clock must show (run under AddressSanitizer
# and UndefinedBehaviorSanitizer too, by the label asan-e2e). SIGTERM and SIGINT each end it
# within about 2 s with status 0, idle or with a transfer open, and let go of port 69. A reader of
# its standard error that goes away does not end it (SIGPIPE). A client that takes block 1 and
# falls silent gets it again, unchanged and from port 69, after more than 10 s, at the first
# tick that finds it silent that long (ticks come 11 to 13 s apart: within about 26 s). SIGTERM
# while 50 curl transfers of the largest file run ends it within about 2 s with status 0, no
# sanitizer report and a log of whole lines. With port 69 held it exits with status 3 and the
# level-3 line "Bind failed, Maybe Port 69 already in use: 0x00000062" in the log and on stderr.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/kept.bin" 100000
truncate -s 33553920 "$SERVED/largest.bin"
for signal in TERM INT; do
    for situation in idle open; do
        start_server  # each run binds port 69 again
        if [[ $situation == open ]]; then
            [[ $(raw_get kept.bin "" silent) == DATA ]] || fail "no block 1 of kept.bin"
        fi
        stop_server "$signal" 2500
    done
done

# Standard error into a pipe whose reader ends after the first line.
exec 9> >(head -n 1 >"$WORK/first-line")
SERVER_STDERR=/dev/fd/9 start_server
exec 9>&-
for name in missing-1 missing-2 missing-3; do
    fetch hpa "$name" "$FETCHED/$name" >/dev/null 2>&1 || true  # a level-5 line each
    expect_log "$name, File not found."
done
fetch hpa kept.bin "$FETCHED/kept.bin" || fail "no longer serving with standard error closed"
same_bytes "$SERVED/kept.bin" "$FETCHED/kept.bin"
stop_server TERM 2500

start_server
in_ns timeout 45 python3 - <<'PY' || fail "see above"
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(5)
s.sendto(b"\0\1kept.bin\0octet\0", ("127.0.0.1", 69))
first, server = s.recvfrom(600)
start = time.monotonic()
s.settimeout(30)
again, source = s.recvfrom(600)
after = time.monotonic() - start
print("block 1 again after %.1f s" % after)
if again != first or source != server or not 10 < after < 27:
    sys.exit("expected block 1 again from port 69 after more than 10 s, by the second tick")
PY
for ((i = 0; i < 50; i++)); do
    in_ns timeout 60 curl -sS -o "$FETCHED/$i" tftp://127.0.0.1:69/largest.bin 2>/dev/null &
    E2E_PIDS+=($!)
done
wait_for "$QUILLET_LOG" ": largest.bin, Connected." 30 50 || fail "50 transfers did not start"
sleep 1
[[ $(count_lines "$QUILLET_LOG" ": largest.bin, Served") -eq 0 ]] || fail "a transfer ended early"
stop_server TERM 2500
! grep -E "Sanitizer|runtime error" "$WORK/stderr" || fail "a sanitizer report"
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}    '
! LC_ALL=C grep -vE "^${stamp}[[:print:]]+$" "$QUILLET_LOG" || fail "a broken line in the log"
[[ $(tail -c 1 "$QUILLET_LOG" | od -An -c | tr -d ' ') == '\n' ]] || fail "log ends mid-line"

hold_port_69
start_server "$QUILLETD" nowait
await_exit 10
[[ $STATUS -eq 3 ]] || fail "port 69 held: exit status $STATUS, expected 3"
line="^${stamp}Bind failed, Maybe Port 69 already in use: 0x00000062$"
grep -qE "$line" "$QUILLET_LOG" || fail "log file: $(cat "$QUILLET_LOG")"
grep -qE "$line" "$WORK/stderr" || fail "standard error: $(cat "$WORK/stderr")"
echo "PASS: $e2e_name"
