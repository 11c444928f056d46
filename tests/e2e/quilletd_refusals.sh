#!/bin/bash
# Guards what quilletd refuses under `ulimit -n 64` and that nothing outside the served folder is
# reached; what it injects and proves is in docs/reliability.md.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_names_fixture
make_file "$SERVED/big.bin" 100000
mkfifo "$SERVED/afifo"
printf '#!/bin/sh\nulimit -n 64\nexec "%s"\n' "$QUILLETD" >"$WORK/limited"
chmod +x "$WORK/limited"
start_server "$WORK/limited"
grep -qE '^Max open files +64 +64 ' "/proc/$SERVER_PID/limits" || fail "not under ulimit -n 64"

probe names "$E2E_DIR/names.txt" linux "$SERVED" "$SERVED" || fail "see above"

forged='2020-01-01 00:00:00    forged'
probe busy || fail "see above"
FETCH_SECONDS=10 fetch hpa big.bin "$FETCHED/big.bin" || fail "not served once the sessions ended"
same_bytes "$SERVED/big.bin" "$FETCHED/big.bin"
for output in "$QUILLET_LOG" "$WORK/stderr"; do
    ! LC_ALL=C grep -qE "^$forged|"$'[\r\e]' "$output" || fail "a forged line in $output"
    ! LC_ALL=C grep -qE '^.{223}' "$output" || fail "a line over 222 characters in $output"
done

stop_server TERM 2500
line="2026-01-01 00:00:00    an earlier line, which the flood must not push out of both files"
head -n $(((1040000 - $(stat -c %s "$QUILLET_LOG")) / 90)) < <(yes "$line") >>"$QUILLET_LOG"
start_server "$WORK/limited"
probe flood || fail "see above"
sleep 1.5 && raw_get sub/inner.bin >/dev/null
grep -qF "$line" "$QUILLET_LOG.bak" || fail "the earlier lines are gone: $(head -3 "$QUILLET_LOG.bak")"
flood_lines=$(grep -cE "client 127\.0\.0\.[0-9]+ \([0-9]+\): (Invalid|missing-m|a\.\.b|Write)" "$QUILLET_LOG")
echo "15,000 refused requests: $flood_lines lines, $(grep -c " more " "$QUILLET_LOG") count lines"
((flood_lines <= 200 * 7)) || fail "$flood_lines lines about the flood"
echo "PASS: $e2e_name"
