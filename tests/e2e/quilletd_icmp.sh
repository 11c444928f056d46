#!/bin/bash
# Guards: an ICMP error ends only the transfer it names. A raw socket forges ICMP port-unreachables
# at 500 a second, each quoting our datagram to an endpoint without a transfer (from that address
# or from another), while curl and tftp-hpa download 20 MB in turn: each download completes byte
# for byte, none ends with "Socket Error". A client that took block 1 and went quiet survives one
# quoting it from another address; one from its own address ends exactly its transfer, "Closed,
# Client Unreachable". The errors that end nothing are noted at level 7, 20 lines a second at most.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/big.bin" 20000000
settings LOG_FILE_LEVEL=7
start_server
# Prints the quiet client's port, floods for 12 s, and at 6 s and 9 s quotes that client.
in_ns timeout 30 python3 - "$QUILLET_LOG" >"$WORK/flood" <<'PY' &
import random, socket, struct, sys, time
raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
lo = socket.inet_aton("127.0.0.1")
def unreachable(sender, port):  # ICMP 3/3 quoting a datagram from 127.0.0.1:69 to 127.0.0.1:port
    icmp = struct.pack("!BBHIBBHHHBBH4s4sHHHH", 3, 3, 0, 0,
                       0x45, 0, 544, 0, 0, 64, 17, 0, lo, lo, 69, port, 524, 0)
    s = sum(struct.unpack("!%dH" % (len(icmp) // 2), icmp))
    s = (s >> 16) + (s & 0xFFFF)
    icmp = icmp[:2] + struct.pack("!H", ~(s + (s >> 16)) & 0xFFFF) + icmp[4:]
    head = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(icmp), 0, 0, 64, 1, 0,
                       socket.inet_aton(sender), lo)
    raw.sendto(head + icmp, ("127.0.0.1", 0))
quiet = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
quiet.sendto(b"\0\1big.bin\0octet\0", ("127.0.0.1", 69))
quiet.recv(600)
port = quiet.getsockname()[1]
print(port, flush=True)
start = time.monotonic()
for i in range(6000):
    time.sleep(max(0, start + i / 500 - time.monotonic()))
    if i == 4000 and "Unreachable" in open(sys.argv[1]).read():
        print("ended by an ICMP error from another address", flush=True)
    if i in (3000, 4500):
        unreachable("127.0.0.9" if i == 3000 else "127.0.0.1", port)
    else:  # ports below 32768, which no client of ours uses
        unreachable(random.choice(["127.0.0.1", "127.0.0.9"]), random.randrange(1024, 32768))
print("done", flush=True)
PY
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
