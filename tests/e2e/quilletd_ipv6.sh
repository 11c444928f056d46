#!/bin/bash
# Guards: IPv6 on the one socket (the listed addresses are quilletd_fetch.sh's). curl, tftp-hpa -6,
# atftp and busybox fetch over ::1 byte for byte while the same clients fetch over 127.0.0.1 from
# the same server at the same time, each logged in its family's text. With IPv6 disabled in the
# namespace a new server serves IPv4 as before and lists no IPv6 address.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

for size in 0 513 1048576; do make_file "$SERVED/file-$size.bin" "$size"; done
# tftp-hpa resolves only addresses of a family that a non-loopback interface has.
in_ns sh -ec 'ip link add q0 type veth peer name q1; ip addr add 192.0.2.10/24 dev q0
    ip addr add 2001:db8::10/64 dev q0 nodad; ip link set q0 up; ip link set q1 up'
start_server
fetch6() {
    local t=(in_ns timeout "${FETCH_SECONDS:-60}")
    case $1 in
        hpa) "${t[@]}" tftp -6 -m binary ::1 69 -c get "$2" "$3" ;;
        curl) "${t[@]}" curl -sS -o "$3" "tftp://[::1]:69/$2" ;;
        atftp) "${t[@]}" atftp -g -r "$2" -l "$3" ::1 69 ;;
        busybox) "${t[@]}" busybox tftp -g -r "$2" -l "$3" ::1 69 ;;
    esac
}
for size in 0 513 1048576; do # all eight transfers of a size in flight together
    pids=()
    for client in hpa curl atftp busybox; do
        for family in 4 6; do
            "$([[ $family == 4 ]] && echo fetch || echo fetch6)" "$client" "file-$size.bin" \
                "$FETCHED/$client-$family-$size" >"$WORK/$client-$family.out" 2>&1 &
            pids+=($!) && E2E_PIDS+=($!)
        done
    done
    for pid in "${pids[@]}"; do wait "$pid" || fail "$size bytes: $(cat "$WORK"/*.out)"; done
    for out in "$FETCHED"/*-"$size"; do same_bytes "$SERVED/file-$size.bin" "$out"; done
done
[[ $(grep -cE "    client (::1|127\.0\.0\.1) \([0-9]+\): file-513\.bin, Served with 2 blocks\.$" \
    "$QUILLET_LOG") -eq 8 && $(count_lines "$QUILLET_LOG" "client ::1 (") -eq 24 ]] || fail "$(cat "$QUILLET_LOG")"
stop_server TERM 3000

in_ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1
start_server
fetch_set ipv6-off
FETCH_SECONDS=5 fetch6 curl file-513.bin "$FETCHED/off" 2>/dev/null && fail "::1 answered"
grep -F 'Addresses: ' "$QUILLET_LOG" | tail -n 1 | grep -qE ': 192\.0\.2\.10$' || fail "$(cat "$QUILLET_LOG")"
echo "PASS: $e2e_name"
