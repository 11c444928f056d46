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

in_ns timeout 20 tftp -m binary 127.0.0.1 69 -c put "$WORK/secret.bin" up.bin >"$WORK/put" 2>&1 || true
grep -qF "Error code 4: WRQ not supported yet." "$WORK/put" || fail "tftp put: $(cat "$WORK/put")"
[[ ! -e $SERVED/up.bin ]] || fail "the upload was written"
expect_log "): Write Request Ignored"

probe names "$E2E_DIR/names.txt" linux "$SERVED" "$SERVED" "$QUILLET_LOG" "$WORK/stderr" ||
    fail "see above"

forged='2020-01-01 00:00:00    forged'
probe busy "$FETCHED/busy" || fail "see above"
read -r refusals served <"$FETCHED/busy.count"
FETCH_SECONDS=10 fetch hpa big.bin "$FETCHED/big.bin" || fail "not served once the sessions ended"
same_bytes "$SERVED/big.bin" "$FETCHED/big.bin"
# Each refusal is a line or counted in one, written with the first line of a later second.
sleep 1 && raw_get sub/inner.bin >/dev/null
logged=$(awk '/\): big.bin, Refused, Server Busy\.$/ { n++ }
    / more lines about refused requests not written\.$/ { n += $(NF - 7) } END { print n }' "$QUILLET_LOG")
((logged == refusals)) || fail "$refusals refusals, $logged logged: $(cat "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" "big.bin, File not found.") -eq 0 ]] || fail "File not found. under load"
closed=', Closed with client Error #0 "done\x0D\x0A2020-01-01 00:00:00    forged", 1 blocks sent.'
[[ $(count_lines "$QUILLET_LOG" "$closed") -eq $served ]] || fail "$served client errors: $(cat "$QUILLET_LOG")"
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
