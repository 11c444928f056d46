#!/bin/bash
# Guards: the log file and its level. A first run writes LOG_FILE_LEVEL=6 into the settings file
# and logs levels 3 to 6 (Ready, Connected, Served) with a time stamp and four blanks, while only
# levels 3 to 5 are echoed to standard error. LOG_FILE_LEVEL=7 adds the progress line every 200
# blocks; LOG_FILE_LEVEL=0 keeps everything out of the file but not off standard error. The log
# is appended to across runs.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/big.bin" 1048576  # 2049 blocks: progress lines at 200, 400, ... 2000

# First run: no settings yet.
[[ ! -e $QUILLET_SETTINGS ]] || fail "settings file exists before the first run"
start_quilletd "$SERVED"
fetch hpa big.bin "$FETCHED/first.bin" || fail "first fetch failed"
same_bytes "$SERVED/big.bin" "$FETCHED/first.bin"
expect_log ": big.bin, Served with 2049 blocks."
stop_quilletd TERM 5
[[ $QUILLETD_STATUS -eq 0 ]] || fail "quilletd ended with $QUILLETD_STATUS"

grep -qx "LOG_FILE_LEVEL=6" "$QUILLET_SETTINGS" ||
    fail "settings file lacks LOG_FILE_LEVEL=6: $(cat "$QUILLET_SETTINGS" 2>&1)"
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}    '
expected_lines=(
    "^${stamp}Quillet Server Ready\.\.\.$"
    "^${stamp}client 127\.0\.0\.1 \([0-9]+\): big\.bin, Connected\.$"
    "^${stamp}client 127\.0\.0\.1 \([0-9]+\): big\.bin, Served with 2049 blocks\.$"
)
[[ $(wc -l <"$QUILLET_LOG") -eq 3 ]] || fail "expected three log lines, got: $(cat "$QUILLET_LOG")"
for i in 0 1 2; do
    sed -n "$((i + 1))p" "$QUILLET_LOG" | grep -qE "${expected_lines[$i]}" ||
        fail "log line $((i + 1)) is not ${expected_lines[$i]}: $(cat "$QUILLET_LOG")"
done
grep -qE "^${stamp}Quillet Server Ready\.\.\.$" "$WORK/quilletd.stderr" ||
    fail "standard error lacks the Ready line: $(cat "$WORK/quilletd.stderr")"
! grep -qE "Connected|Served" "$WORK/quilletd.stderr" ||
    fail "level-6 lines were echoed to standard error: $(cat "$WORK/quilletd.stderr")"

# Second run: level 7 brings the progress lines.
printf '[General]\nLOG_FILE_LEVEL=7\n' >"$QUILLET_SETTINGS"
start_quilletd "$SERVED"
fetch hpa big.bin "$FETCHED/second.bin" || fail "second fetch failed"
same_bytes "$SERVED/big.bin" "$FETCHED/second.bin"
expect_log "big.bin, Transmit in Progress, 2000 blocks sent..."
wait_for_count "$QUILLET_LOG" ": big.bin, Served with 2049 blocks." 2 5 ||
    fail "the second run did not log its Served line: $(cat "$QUILLET_LOG")"
stop_quilletd INT 5
[[ $QUILLETD_STATUS -eq 0 ]] || fail "quilletd ended with $QUILLETD_STATUS"
progress=$(count_lines "$QUILLET_LOG" "big.bin, Transmit in Progress, ")
[[ $progress -eq 10 ]] || fail "expected 10 progress lines, got $progress"
for blocks in 200 400 600 800 1000 1200 1400 1600 1800 2000; do
    grep -qE "^${stamp}client 127\.0\.0\.1 \([0-9]+\): big\.bin, Transmit in Progress, $blocks blocks sent\.\.\.$" \
        "$QUILLET_LOG" || fail "no progress line for $blocks blocks"
done
[[ $(count_lines "$QUILLET_LOG" "Quillet Server Ready...") -eq 2 ]] ||
    fail "the first run's lines were not kept: $(cat "$QUILLET_LOG")"
grep -qx "LOG_FILE_LEVEL=7" "$QUILLET_SETTINGS" || fail "a stored level was rewritten"

# Third run: level 0 keeps the file as it is, standard error still gets its lines.
printf '[General]\nLOG_FILE_LEVEL=0\n' >"$QUILLET_SETTINGS"
lines_before=$(wc -l <"$QUILLET_LOG")
start_quilletd "$SERVED"
fetch hpa missing.bin "$FETCHED/missing.bin" || true
wait_for_line "$WORK/quilletd.stderr" "missing.bin, File not found." 5 ||
    fail "standard error lacks the refusal: $(cat "$WORK/quilletd.stderr")"
stop_quilletd TERM 5
[[ $(wc -l <"$QUILLET_LOG") -eq $lines_before ]] || fail "level 0 still wrote to the log file"
echo "PASS: $e2e_name"
