#!/bin/bash
# Guards: SIGTERM while 50 transfers run (curl fetching the largest file) ends quilletd within
# about 2 s with status 0 and no sanitizer report on standard error (run under AddressSanitizer
# and UndefinedBehaviorSanitizer by the label asan-e2e), and leaves a log file of whole lines.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

truncate -s 33553920 "$SERVED/largest.bin"
start_server
for ((i = 0; i < 50; i++)); do
    ip netns exec "$NS" timeout 60 curl -sS -o "$FETCHED/$i" tftp://127.0.0.1:69/largest.bin \
        2>/dev/null &
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
echo "PASS: $e2e_name"
