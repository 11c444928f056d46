#!/bin/bash
# Guards: the largest file served, 33,553,920 bytes (65,535 full blocks), completes. Its last,
# empty block is number 65,536, which travels as block 0, and ACK 0 acknowledges it: the log says
# "Served with 65536 blocks." and nothing follows. One byte more gets ERROR 0 "File Too Large.".
# Every real client follows the block number round to 0 and fetches the largest file byte for
# byte.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

truncate -s 33553920 "$SERVED/largest.bin"
truncate -s 33553921 "$SERVED/too-large.bin"
start_quilletd "$SERVED"

RAW_SECONDS=120 raw_tftp <<'PY'
from tftp_raw import Client, ack, check, expect_log, log_text, rrq
client = Client()
client.send(rrq("largest.bin"))
for block in range(1, 65536):
    payload = client.expect_data(block)
    check(payload == bytes(512), "block %d is not 512 zero bytes" % block)
    client.send(ack(block))
last = client.expect_data(0)
check(last == b"", "the block after 65535 is not empty: %d bytes" % len(last))
check("Served" not in log_text(), "served before the last ACK")
client.send(ack(0))
client.expect_silence(1)
expect_log("client %s: largest.bin, Served with 65536 blocks." % client.text)
check("Duplicated ACK" not in log_text(), "ACK 0 was taken for a duplicate")

too_large = Client()
too_large.send(rrq("too-large.bin"))
too_large.expect_error(0, "File Too Large.")
expect_log("client %s: too-large.bin, File Too Large." % too_large.text)
PY

clients=(hpa curl atftp busybox)
for client in "${clients[@]}"; do
    FETCH_SECONDS=120 fetch "$client" largest.bin "$FETCHED/$client.bin" ||
        fail "$client could not fetch the largest file"
    same_bytes "$SERVED/largest.bin" "$FETCHED/$client.bin"
    rm "$FETCHED/$client.bin"
done
wait_for_count "$QUILLET_LOG" "largest.bin, Served with 65536 blocks." $((1 + ${#clients[@]})) 10 ||
    fail "not every transfer was logged as served: $(tail -5 "$QUILLET_LOG")"
echo "PASS: $e2e_name"
