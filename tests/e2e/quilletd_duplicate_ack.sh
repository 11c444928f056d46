#!/bin/bash
# Guards: the lock-step corners of one transfer, driven by a raw client. A repeated request while
# block 1 is out, and an ACK of the previous block, make the server send the current block again
# with no log line; a request after ACK 1 and an ACK two behind or one ahead only log "Duplicated
# Read Request." or "Duplicated ACK." and send nothing. Resends of one block are limited to five,
# whatever triggered them; the sixth trigger ends the transfer with "Closed with Socket Error",
# and a new block starts the count afresh.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/file.bin" 3000  # six blocks
start_quilletd "$SERVED"

raw_tftp "$SERVED/file.bin" <<'PY'
import sys
from tftp_raw import Client, ack, check, expect_log, log_text, rrq
served = open(sys.argv[1], "rb").read()

client = Client()
client.send(rrq("file.bin"))
block1 = client.expect_data(1)
for again in (rrq("file.bin"), rrq("another-name.bin")):
    client.send(again)
    check(client.expect_data(1) == block1, "block 1 changed when sent again")
client.send(ack(1))
block2 = client.expect_data(2)
client.send(ack(1))
check(client.expect_data(2) == block2, "block 2 changed when sent again")
client.expect_silence(0.5)
check("Duplicated" not in log_text(), "a resend was logged:\n" + log_text())

client.send(rrq("file.bin"))
client.expect_silence(1)
expect_log("client %s: Duplicated Read Request." % client.text)
client.send(ack(0))
client.expect_silence(1)
client.send(ack(3))
client.expect_silence(1)
check(log_text().count("client %s: Duplicated ACK." % client.text) == 2,
      "expected two Duplicated ACK lines:\n" + log_text())

# The transfer goes on as if nothing had happened.
content = block1 + block2
block = 2
while True:
    client.send(ack(block))
    block += 1
    payload = client.expect_data(block)
    content += payload
    if len(payload) < 512:
        client.send(ack(block))
        break
check(content == served, "the file came back different")
expect_log("client %s: file.bin, Served with 6 blocks." % client.text)

# Five resends of block 1 from a mix of triggers; the sixth trigger ends the transfer.
mixed = Client()
mixed.send(rrq("file.bin"))
first = mixed.expect_data(1)
for trigger in (ack(0), rrq("file.bin"), ack(0), rrq("file.bin"), ack(0)):
    mixed.send(trigger)
    check(mixed.expect_data(1) == first, "block 1 changed when sent again")
mixed.send(ack(0))
mixed.expect_silence(1)
expect_log("client %s: file.bin, Closed with Socket Error, 1 blocks sent." % mixed.text)

# ACK 1 brings block 2 with five resends of its own.
fresh = Client()
fresh.send(rrq("file.bin"))
fresh.expect_data(1)
for _ in range(5):
    fresh.send(ack(0))
    fresh.expect_data(1)
fresh.send(ack(1))
fresh.expect_data(2)
for _ in range(5):
    fresh.send(ack(1))
    fresh.expect_data(2)
fresh.send(ack(1))
fresh.expect_silence(1)
expect_log("client %s: file.bin, Closed with Socket Error, 2 blocks sent." % fresh.text)
PY
echo "PASS: $e2e_name"
