#!/bin/bash
# Guards: IPv6 on the one socket. curl, tftp-hpa -6, atftp and busybox fetch over ::1 byte for
# byte while the same clients fetch over 127.0.0.1 from the same server at the same time; the log
# names each by its own family's text. curl fetches over a link-local address, "fe80::10%q0". Two
# raw clients on the same port number, one per family, each get their own file. A forged ICMPv6
# port unreachable from another address ends nothing; one from the client's own address ends
# exactly its transfer. With IPv6 disabled in the namespace, a new server still serves IPv4 and
# lists no IPv6 address.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

for size in 0 513 1048576; do make_file "$SERVED/file-$size.bin" "$size"; done
make_file "$SERVED/big.bin" 2000000
printf four >"$SERVED/four.txt"
printf six >"$SERVED/six.txt"
# tftp-hpa resolves an address only of a family that a non-loopback interface has.
in_ns sh -ec 'ip link add q0 type veth peer name q1; ip addr add 192.0.2.10/24 dev q0
    ip addr add 2001:db8::10/64 dev q0 nodad; ip addr add fe80::10/64 dev q0 nodad
    ip link set q0 up; ip link set q1 up'
start_server
# IPv4 first, then IPv6, link-local ones with their interface.
grep -qE '^[0-9 :-]{19}    Addresses: 192\.0\.2\.10(, (2001:db8::10|fe80::[0-9a-f:]+%q[01])){1,4}$' \
    "$QUILLET_LOG" || fail "addresses: $(cat "$QUILLET_LOG")"
grep -qF ", 2001:db8::10" "$QUILLET_LOG" || fail "no 2001:db8::10 in: $(cat "$QUILLET_LOG")"

# Both families at once: every client once per family, all eight transfers in flight together.
fetch6() {
    local t=(in_ns timeout "${FETCH_SECONDS:-60}")
    case $1 in
        hpa) "${t[@]}" tftp -6 -m binary ::1 69 -c get "$2" "$3" ;;
        curl) "${t[@]}" curl -sS -o "$3" "tftp://[::1]:69/$2" ;;
        atftp) "${t[@]}" atftp -g -r "$2" -l "$3" ::1 69 ;;
        busybox) "${t[@]}" busybox tftp -g -r "$2" -l "$3" ::1 69 ;;
    esac
}
for size in 0 513 1048576; do
    pids=()
    for client in hpa curl atftp busybox; do
        fetch6 "$client" "file-$size.bin" "$FETCHED/$client-6-$size" >"$WORK/$client-6.out" 2>&1 &
        pids+=($!) && E2E_PIDS+=($!)
        fetch "$client" "file-$size.bin" "$FETCHED/$client-4-$size" >"$WORK/$client-4.out" 2>&1 &
        pids+=($!) && E2E_PIDS+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || fail "$size bytes: $(cat "$WORK"/*.out)"; done
    for client in hpa curl atftp busybox; do
        for family in 4 6; do
            same_bytes "$SERVED/file-$size.bin" "$FETCHED/$client-$family-$size"
        done
    done
done
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}    '
for address in '::1' '127\.0\.0\.1'; do
    n=$(grep -cE "^${stamp}client $address \([0-9]+\): file-513\.bin, Served with 2 blocks\.$" \
        "$QUILLET_LOG" || true)
    [[ $n -eq 4 ]] || fail "$n Served lines for $address: $(cat "$QUILLET_LOG")"
done

# A link-local client: answered through the interface its request came in on.
in_ns timeout 20 curl -sS -o "$FETCHED/link-local" "tftp://[fe80::10%25q0]:69/file-513.bin" ||
    fail "curl over fe80::10%q0"
same_bytes "$SERVED/file-513.bin" "$FETCHED/link-local"
expect_log "client fe80::10%q0 ("

# One port number, both families: each client gets its own file.
in_ns timeout 10 python3 - <<'PY' || fail "the families were not kept apart"
import socket
four = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
four.bind(("127.0.0.1", 0))
six = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
six.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
six.bind(("::1", four.getsockname()[1]))
four.sendto(b"\0\1four.txt\0octet\0", ("127.0.0.1", 69))
six.sendto(b"\0\1six.txt\0octet\0", ("::1", 69))
for s, text in ((four, b"four"), (six, b"six")):
    s.settimeout(5)
    reply, server = s.recvfrom(600)
    assert reply == b"\0\3\0\1" + text, reply
    s.sendto(b"\0\4\0\1", server)
PY

# ICMPv6 port unreachable, quoting our block 1 to a quiet client: first from 2001:db8::10 (ignored,
# the transfer lives), then from ::1 itself (its transfer ends).
in_ns timeout 20 python3 - "$QUILLET_LOG" >"$WORK/icmp6" <<'PY'
import socket, struct, sys, time
quiet = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
quiet.sendto(b"\0\1big.bin\0octet\0", ("::1", 69))
quiet.settimeout(5)
quiet.recv(600)
port = quiet.getsockname()[1]
print(port, flush=True)
lo = socket.inet_pton(socket.AF_INET6, "::1")
quoted = struct.pack("!IHBB16s16s", 6 << 28, 8 + 516, 17, 64, lo, lo) + \
    struct.pack("!HHHH", 69, port, 8 + 516, 0) + b"\0\3\0\1"
for sender in ("2001:db8::10", "::1"):
    raw = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
    raw.bind((sender, 0))
    raw.sendto(struct.pack("!BBHI", 1, 4, 0, 0) + quoted, ("::1", 0))  # the kernel sums it
    time.sleep(1)
    if "Client Unreachable" in open(sys.argv[1]).read():
        print("ended by", sender, flush=True)
        break
PY
grep -qx "ended by ::1" "$WORK/icmp6" || fail "ICMPv6: $(cat "$WORK/icmp6") $(tail -3 "$QUILLET_LOG")"
expect_log "client ::1 ($(head -n 1 "$WORK/icmp6")): big.bin, Closed, Client Unreachable, 1 blocks"
stop_server TERM 3000

# IPv6 disabled in the namespace: IPv4 is served as before, and no IPv6 address is offered.
in_ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1
start_server
for client in hpa curl atftp busybox; do
    fetch "$client" file-513.bin "$FETCHED/$client-off" || fail "$client without IPv6"
    same_bytes "$SERVED/file-513.bin" "$FETCHED/$client-off"
done
FETCH_SECONDS=5 fetch6 curl file-513.bin "$FETCHED/curl-6-off" 2>/dev/null && fail "::1 answered"
tail -n 20 "$QUILLET_LOG" | grep -qE '^[0-9 :-]{19}    Addresses: 192\.0\.2\.10$' ||
    fail "addresses: $(tail -n 20 "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" "IPv6 Socket Create Error") -eq 0 ]] || fail "a fallback line"
stop_server TERM 3000
echo "PASS: $e2e_name"
