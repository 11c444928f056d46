#!/bin/bash
# Guards: a reader of quilletd's standard error that goes away (a pipe into "head -1", a log
# collector that ends) does not end the server. The echo fails quietly, the log file keeps every
# line, transfers go on, and SIGTERM still stops it with status 0.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/kept.bin" 3000
mkdir -p "$WORK/home"
(cd "$SERVED" && HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" \
    exec ip netns exec "$NS" "$QUILLETD" 2> >(head -n 1 >"$WORK/first-line")) &
QUILLETD_PID=$!
E2E_PIDS+=("$QUILLETD_PID")
wait_for_line "$WORK/first-line" "Quillet Server Ready..." 10 || fail "quilletd did not start"

# Each refusal is a level-5 line that quilletd echoes into the closed pipe.
for name in missing-1 missing-2 missing-3; do
    fetch hpa "$name" "$FETCHED/$name" >/dev/null 2>&1 || true
    expect_log "$name, File not found."
done
kill -0 "$QUILLETD_PID" 2>/dev/null || fail "quilletd ended when its standard error was closed"
fetch hpa kept.bin "$FETCHED/kept.bin" || fail "no longer serving"
same_bytes "$SERVED/kept.bin" "$FETCHED/kept.bin"
expect_log "kept.bin, Served with 6 blocks."

stop_quilletd TERM 5
[[ $QUILLETD_STATUS -eq 0 ]] || fail "quilletd ended with status $QUILLETD_STATUS"
echo "PASS: $e2e_name"
