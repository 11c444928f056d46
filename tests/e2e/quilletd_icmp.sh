#!/bin/bash
# Guards that an ICMP error ends only the transfer it names, under 6,000 forged ones while curl and
# tftp-hpa download; what it injects and proves is in docs/reliability.md.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/big.bin" 20000000
settings LOG_FILE_LEVEL=7
start_server
probe icmp "$QUILLET_LOG" >"$WORK/flood" &
E2E_PIDS+=($!)
wait_for "$WORK/flood" "" 10 || fail "the flood did not start"
downloads=0
while ! grep -qx "done" "$WORK/flood"; do
    client=$( ((downloads % 2)) && echo hpa || echo curl)
    FETCH_SECONDS=30 fetch "$client" big.bin "$FETCHED/big" || fail "$client failed during the flood"
    same_bytes "$SERVED/big.bin" "$FETCHED/big"
    downloads=$((downloads + 1))
done
echo "$downloads downloads of 20 MB during 6,000 forged ICMP errors"
((downloads >= 2)) && ! grep -q "another address" "$WORK/flood" || fail "$(cat "$WORK/flood")"
! grep -E "Socket Error|Unreachable" "$QUILLET_LOG" |
    grep -vF "client 127.0.0.1 ($(head -n 1 "$WORK/flood")): big.bin, Closed, Client Unreachable, 1" ||
    fail "a transfer ended that should not have"
expect_log ": big.bin, Closed, Client Unreachable, 1 blocks sent."
noted=$(count_lines "$QUILLET_LOG" "ICMP Error (type 3, code 3) from 127.0.0.9 Ignored.")
((noted > 0 && noted <= 20 * 14)) || fail "$noted ICMP errors noted"
expect_log " more ICMP Errors Ignored."
echo "PASS: $e2e_name"
