#!/bin/bash
# Guards how both programs end and what they hold once they serve; also run under the sanitizers
# (label asan-e2e). What it injects and proves is in docs/reliability.md.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/file-100000.bin" 100000
truncate -s 33553920 "$SERVED/largest.bin"
make_file "$SERVED/private.bin" 300
chown nobody "$SERVED/private.bin" && chmod 000 "$SERVED/private.bin"
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}    '
bind_failed="^${stamp}Bind failed, Maybe Port 69 already in use: 0x00000062$"
for program in "$QUILLETD" ${QUILLET:+"$QUILLET"}; do
    for run in TERM:idle INT:open TERM:open INT:idle; do
        start_server "$program"  # each run binds port 69 again
        if [[ $run == TERM:idle ]]; then
            for status in "/proc/$SERVER_PID"/task/*/status; do
                grep -qE '^NoNewPrivs:\s+1$' "$status" &&
                    [[ $(grep -cE '^Cap(Inh|Prm|Eff|Bnd|Amb):\s+0+$' "$status") -eq 5 ]] ||
                    fail "$program holds a privilege: $(grep -E '^(Cap|NoNew)' "$status")"
            done
            [[ $(raw_get private.bin) == "Error code 2: Access violation." ]] ||
                fail "$program served a mode-000 file of another user"
            (($((8#$(stat -c %a "$QUILLET_LOG") & 8#137)) == 0)) ||
                fail "log mode $(stat -c %a "$QUILLET_LOG")"
        fi
        if [[ $run == *idle ]]; then
            fetch_one curl 100000
        else
            [[ $(raw_get file-100000.bin "" silent) == DATA ]] || fail "$program: no block 1"
        fi
        stop_server "${run%:*}" $([[ $program == "$QUILLETD" ]] && echo 2500 || echo 4000)
    done
    [[ $(count_lines "$QUILLET_LOG" ": file-100000.bin, Served with 196 blocks.") -eq 2 ]] ||
        fail "$program: no Served lines"
    mv "$QUILLET_LOG" "$WORK/$(basename "$program").log"
done
hold_port_69
start_server "$QUILLETD" nowait
expect_exit 10 3
for output in "$QUILLET_LOG" "$WORK/stderr"; do
    [[ $(grep -cE "$bind_failed" "$output") -eq 1 ]] || fail "port 69 held: $(cat "$output")"
done
release_port_69

status=0
[[ -z ${QUILLET:-} ]] || in_ns timeout 10 env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    "$QUILLET" 2>"$WORK/no-display" || status=$?
[[ -z ${QUILLET:-} || ($status -eq 1 && $(cat "$WORK/no-display") == "quillet: no display; quilletd serves without a window") ]] ||
    fail "without a display: status $status, $(cat "$WORK/no-display")"

# Standard error into a pipe whose reader ends after the first line.
exec 9> >(head -n 1 >"$WORK/first-line")
SERVER_STDERR=/dev/fd/9 start_server
exec 9>&-
for name in missing-1 missing-2 missing-3; do
    fetch hpa "$name" "$FETCHED/$name" >/dev/null 2>&1 || true  # a level-5 line each
    expect_log "$name, File not found."
done
fetch_one hpa 100000  # still serving with standard error closed

for ((i = 0; i < 50; i++)); do
    in_ns timeout 60 curl -sS -o "$FETCHED/$i" tftp://127.0.0.1:69/largest.bin 2>/dev/null &
    E2E_PIDS+=($!)
done
wait_for "$QUILLET_LOG" ": largest.bin, Connected." 30 50 || fail "50 transfers did not start"
sleep 1
[[ $(count_lines "$QUILLET_LOG" ": largest.bin, Served") -eq 0 ]] || fail "a transfer ended early"
stop_server TERM 2500
! grep -E "Sanitizer|runtime error" "$WORK/stderr" || fail "a sanitizer report"
! LC_ALL=C grep -vE "^${stamp}[[:print:]]+$" "$QUILLET_LOG" || fail "a broken line in the log"
[[ $(tail -c 1 "$QUILLET_LOG" | od -An -c | tr -d ' ') == '\n' ]] || fail "log ends mid-line"
echo "PASS: $e2e_name"
