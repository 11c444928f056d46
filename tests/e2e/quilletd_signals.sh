#!/bin/bash
# Guards: how quilletd ends. SIGTERM and SIGINT each end it within about 2 s with status 0, idle
# or with a transfer open, and let go of port 69. A reader of its standard error that goes away
# does not end it (SIGPIPE). With port 69 already held it exits with status 3 and the level-3
# line "Bind failed, Maybe Port 69 already in use: 0x00000062" in the log file and on standard
# error.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/kept.bin" 100000
for signal in TERM INT; do
    for situation in idle open; do
        start_server  # each run binds port 69 again
        if [[ $situation == open ]]; then
            open_transfer kept.bin
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

hold_port_69
start_server "$QUILLETD" nowait
await_exit 10
[[ $STATUS -eq 3 ]] || fail "port 69 held: exit status $STATUS, expected 3"
line='^[0-9-]{10} [0-9:]{8}    Bind failed, Maybe Port 69 already in use: 0x00000062$'
grep -qE "$line" "$QUILLET_LOG" || fail "log file: $(cat "$QUILLET_LOG")"
grep -qE "$line" "$WORK/stderr" || fail "standard error: $(cat "$WORK/stderr")"
echo "PASS: $e2e_name"
