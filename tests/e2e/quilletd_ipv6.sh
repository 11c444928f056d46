#!/bin/bash
# Guards: IPv6 on the one socket (the listed addresses are quilletd_fetch.sh's). curl, tftp-hpa -6,
# atftp and busybox fetch three files over ::1 and over 127.0.0.1 from the same server, all 24
# transfers at once, byte for byte, each logged in its family's text. With IPv6 disabled in the
# namespace a new server serves IPv4 as before and lists no IPv6 address.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

sizes=(0 513 1048576)
for size in "${sizes[@]}"; do make_file "$SERVED/file-$size.bin" "$size"; done
add_lan_addresses
start_server
pids=()
for size in "${sizes[@]}"; do
    for client in hpa curl atftp busybox; do
        for host in 127.0.0.1 ::1; do
            HOST=$host fetch "$client" "file-$size.bin" "$FETCHED/$client-$host-$size" >"$WORK/$client-$host-$size.out" 2>&1 &
            pids+=($!) && E2E_PIDS+=($!)
        done
    done
done
for pid in "${pids[@]}"; do wait "$pid" || fail "$(cat "$WORK"/*.out)"; done
for size in "${sizes[@]}"; do
    for out in "$FETCHED"/*-"$size"; do same_bytes "$SERVED/file-$size.bin" "$out"; done
done
[[ $(grep -cE "    client (::1|127\.0\.0\.1) \([0-9]+\): file-513\.bin, Served with 2 blocks\.$" \
    "$QUILLET_LOG") -eq 8 && $(count_lines "$QUILLET_LOG" "client ::1 (") -eq 24 ]] || fail "$(cat "$QUILLET_LOG")"
stop_server TERM 3000

in_ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1
start_server
fetch_set ipv6-off
HOST=::1 FETCH_SECONDS=5 fetch curl file-513.bin "$FETCHED/off" 2>/dev/null && fail "::1 answered"
grep -F 'Addresses: ' "$QUILLET_LOG" | tail -n 1 | grep -qE ': 192\.0\.2\.10$' || fail "$(cat "$QUILLET_LOG")"
echo "PASS: $e2e_name"
