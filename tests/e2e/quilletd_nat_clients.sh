#!/bin/bash
# Guards: two clients behind one address (as behind address translation), told apart only by
# their UDP ports, run interleaved transfers through the one port-69 socket: every DATA goes to
# the port that asked for it, each gets its own file, and a refusal or an end for one leaves the
# other running. Also when both ask for the same file.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/first.bin" 5200   # 11 blocks
make_file "$SERVED/second.bin" 3100  # 7 blocks
start_quilletd "$SERVED"

raw_tftp "$SERVED" <<'PY'
import sys
from tftp_raw import Client, ack, check, error, expect_log, rrq
served = sys.argv[1]

def interleave(names):
    """Runs one transfer per name, each from its own port, stepping them in turn."""
    clients = [Client() for _ in names]
    expected = [open(served + "/" + name, "rb").read() for name in names]
    contents = [b"" for _ in names]
    done = [False for _ in names]
    blocks = [1 for _ in names]
    for client, name in zip(clients, names):
        client.send(rrq(name))
    while not all(done):
        for i, client in enumerate(clients):
            if done[i]:
                continue
            # receive() checks the source; expect_data the block: a DATA meant for the other
            # port would arrive here as the wrong block or not at all.
            payload = client.expect_data(blocks[i])
            contents[i] += payload
            client.send(ack(blocks[i]))
            blocks[i] += 1
            done[i] = len(payload) < 512
    for client, name, content, want in zip(clients, names, contents, expected):
        check(content == want, "%s for %s came back different" % (name, client.text))
        expect_log("client %s: %s, Served with %d blocks." % (client.text, name, len(want) // 512 + 1))
        client.expect_silence(0.3)
    return clients

a, b = interleave(["first.bin", "second.bin"])
check(a.port != b.port, "both clients got the same port")
interleave(["first.bin", "first.bin"])

# A refusal for one port while the other port's transfer runs.
running = Client()
running.send(rrq("second.bin"))
running.expect_data(1)
refused = Client()
refused.send(rrq("missing.bin"))
refused.expect_error(1, "File not found.")
running.expect_silence(0.3)
running.send(ack(1))
running.expect_data(2)
# The client on the other port aborts; this one carries on.
aborting = Client()
aborting.send(rrq("first.bin"))
aborting.expect_data(1)
aborting.send(error(0, "stop"))
expect_log('client %s: first.bin, Closed with client Error #0 "stop", 1 blocks sent.' % aborting.text)
running.send(ack(2))
running.expect_data(3)
PY
echo "PASS: $e2e_name"
