#!/bin/bash
# Guards: an ICMP error ends only the transfer it names. A raw socket forges ICMP port-unreachables
# at 500 a second, each quoting our datagram to an endpoint without a transfer (from that address or
# from another), while curl and tftp-hpa download 20 MB in turn: each download completes byte for
# byte, none ends with "Socket Error". A client that took block 1 and went quiet survives one
# quoting it from another address, and a host unreachable from its own; a port unreachable from its
# own address ends exactly its transfer, "Closed, Client Unreachable". The errors that end nothing
# are noted at level 7, 20 lines a second at most.
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
