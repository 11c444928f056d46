#!/bin/bash
# Guards: an ICMP error ends only the transfer it names. A raw socket forges ICMP port-unreachables
# at about 500 a second, each quoting a datagram from port 69 to an endpoint that has no transfer
# (some from the quoted address, some from another), while curl and tftp-hpa download 20 MB again
# and again: every download completes byte for byte and none ends with "Socket Error". A client
# that took block 1 and went quiet is not ended by one that comes from another address than its
# own; the one from its own address ends exactly its transfer, "Closed, Client Unreachable". The
# errors that end nothing are noted at level 7, at most 20 lines a second, the rest counted.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/file-20000000.bin" 20000000
settings LOG_FILE_LEVEL=7
start_server
# Prints the quiet client's port, then floods for 12 s; at 6 s it quotes that client from another
# address, at 9 s from its own.
in_ns timeout 30 python3 - "$QUILLET_LOG" >"$WORK/flood" <<'PY' &
import random, socket, struct, sys, time
def checksum(data):
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    total = (total >> 16) + (total & 0xFFFF)
    return ~(total + (total >> 16)) & 0xFFFF
def unreachable(offender, port):  # ICMP 3/3 about our datagram from 127.0.0.1:69 to 127.0.0.1:port
    quoted = struct.pack("!BBHHHBBH4s4sHHHH", 0x45, 0, 544, 0, 0, 64, 17, 0,
                         socket.inet_aton("127.0.0.1"), socket.inet_aton("127.0.0.1"), 69, port, 524, 0)
    icmp = struct.pack("!BBHI", 3, 3, 0, 0) + quoted
    icmp = icmp[:2] + struct.pack("!H", checksum(icmp)) + icmp[4:]
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(icmp), 0, 0, 64, 1, 0,
                     socket.inet_aton(offender), socket.inet_aton("127.0.0.1"))
    raw.sendto(ip + icmp, ("127.0.0.1", 0))
raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
quiet = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
quiet.settimeout(5)
quiet.sendto(b"\0\1file-20000000.bin\0octet\0", ("127.0.0.1", 69))
quiet.recv(600)
print(quiet.getsockname()[1], flush=True)
start = time.monotonic()
for i in range(6000):
    while time.monotonic() < start + i / 500:
        time.sleep(0.0005)
    if i == 3000:
        unreachable("127.0.0.9", quiet.getsockname()[1])
    elif i == 4000 and "Unreachable" in open(sys.argv[1]).read():
        print("ended by an ICMP error from another address", flush=True)
    elif i == 4500:
        unreachable("127.0.0.1", quiet.getsockname()[1])
    else:
        unreachable(random.choice(["127.0.0.1", "127.0.0.9"]), random.randrange(1024, 32768))
print("done", flush=True)
PY
flood=$!
E2E_PIDS+=("$flood")
wait_for "$WORK/flood" "" 10 || fail "the flood did not start"
quiet=$(head -n 1 "$WORK/flood")
downloads=0
export FETCH_SECONDS=30
while ! grep -qx "done" "$WORK/flood"; do
    client=$([[ $((downloads % 2)) -eq 0 ]] && echo curl || echo hpa)
    fetch "$client" file-20000000.bin "$FETCHED/$downloads" || fail "$client failed during the flood"
    same_bytes "$SERVED/file-20000000.bin" "$FETCHED/$downloads"
    rm "$FETCHED/$downloads"
    downloads=$((downloads + 1))
done
wait "$flood" || fail "the flood failed"
! grep -q "another address" "$WORK/flood" || fail "$(cat "$WORK/flood")"
echo "$downloads downloads of 20 MB during 6,000 forged ICMP errors"
((downloads >= 2)) || fail "only $downloads downloads"
[[ $(count_lines "$QUILLET_LOG" "Socket Error") -eq 0 ]] || fail "$(grep "Socket Error" "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" "Client Unreachable") -eq 1 ]] ||
    fail "$(grep -c "Client Unreachable" "$QUILLET_LOG") transfers ended unreachable"
expect_log "client 127.0.0.1 ($quiet): file-20000000.bin, Closed, Client Unreachable, 1 blocks sent."
noted=$(count_lines "$QUILLET_LOG" "ICMP Error (type 3, code 3) from 127.0.0.9 Ignored.")
((noted > 0 && noted <= 20 * 14)) || fail "$noted ICMP errors noted"
expect_log " more ICMP Errors Ignored."
echo "PASS: $e2e_name"
