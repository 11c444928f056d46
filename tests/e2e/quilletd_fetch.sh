#!/bin/bash
# Guards the rows of fetches.txt byte for byte with real clients: without settings no OACK and the
# first run writes LOG_FILE_LEVEL=6 alone; with TFTP_OPTIONS=1 the options are granted and logged,
# the largest file wraps to block 0, and windows of 8 survive 5% loss. At start the log and standard
# error list the addresses to type, IPv4 first, no loopback, link-local with their interface. IPv6
# on the one socket: the four clients fetch three files over ::1 and 127.0.0.1, all 24 transfers at
# once, each logged in its family's text; with IPv6 disabled a new server serves IPv4 as before.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_fetch_files plain options loss
truncate -s 33553920 "$SERVED/file-33553920.bin" # sparse: made at once
options_lines() { count_lines "$QUILLET_LOG" ", Options "; }
transfers=$(fetch_rows plain | wc -l)

# --- no settings: options ignored ---
[[ ! -e $QUILLET_SETTINGS ]] || fail "settings exist before the first run"
# A LAN's addresses, 192.0.2.10/24 and 2001:db8::10/64 on veth q0 (tftp-hpa resolves only
# addresses of a family that a non-loopback interface has).
in_ns sh -ec 'ip link add q0 type veth peer name q1; ip addr add 192.0.2.10/24 dev q0
    ip addr add 2001:db8::10/64 dev q0 nodad; ip link set q0 up; ip link set q1 up'
start_server
ll=', fe80::[0-9a-f:]+%q[01]' # the link-local addresses of both ends of the veth
for output in "$QUILLET_LOG" "$WORK/stderr"; do
    grep -qE "^[0-9 :-]{19}    Addresses: 192\.0\.2\.10($ll)*, 2001:db8::10($ll)*$" "$output" ||
        fail "addresses: $(cat "$output")"
done
fetch_set plain
(($(options_lines) == 0)) || fail "an OACK with the setting missing"
# Each transfer so far ended on the server too.
wait_for "$QUILLET_LOG" ", Served with" 5 $transfers || fail "Served lines: $(cat "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" ", Connected.") -eq $transfers ]] || fail "Connected lines"
pids=()
for size in 0 513 1048576; do
    for client in hpa curl atftp busybox; do
        for host in 127.0.0.1 ::1; do
            HOST=$host fetch "$client" "file-$size.bin" "$FETCHED/$client-$host-$size" >"$WORK/$client-$host-$size.out" 2>&1 &
            pids+=($!) && E2E_PIDS+=($!)
        done
    done
done
for pid in "${pids[@]}"; do wait "$pid" || fail "$(cat "$WORK"/*.out)"; done
for out in "$FETCHED"/*-*-*; do same_bytes "$SERVED/file-${out##*-}.bin" "$out"; done
[[ $(grep -cE "    client (::1|127\.0\.0\.1) \([0-9]+\): file-513\.bin, Served with 2 blocks\.$" \
    "$QUILLET_LOG") -eq 12 && $(count_lines "$QUILLET_LOG" "client ::1 (") -eq 24 ]] || fail "$(cat "$QUILLET_LOG")"
stop_server TERM 3000
[[ $(grep -c = "$QUILLET_SETTINGS") -eq 1 ]] && grep -qx LOG_FILE_LEVEL=6 "$QUILLET_SETTINGS" ||
    fail "settings: $(cat "$QUILLET_SETTINGS")"

# --- TFTP_OPTIONS=1, level 7 ---
settings LOG_FILE_LEVEL=7 TFTP_OPTIONS=1
start_server
FETCH_SECONDS=120 fetch_set options
# Each transfer ended on the server too, every client but tftp-hpa named its options once, and the
# file too large for 512-byte blocks was refused to curl and tftp-hpa as without the setting.
wait_for "$QUILLET_LOG" ", Served with" 5 $((transfers + $(fetch_rows options | grep -cv '!'))) ||
    fail "Served lines: $(tail -3 "$QUILLET_LOG")"
(($(options_lines) == $(fetch_rows options | grep -v '!' | grep -cv '^hpa '))) ||
    fail "Options lines: $(grep Options "$QUILLET_LOG")"
wait_for "$QUILLET_LOG" ": file-52428800.bin, File Too Large." 5 2 || fail "50 MB served in 512-byte blocks"
grep -qE ": file-1469\.bin, Options blksize=1468 windowsize=8\.$" "$QUILLET_LOG" ||
    fail "atftp's window: $(grep Options "$QUILLET_LOG")"

FETCH_SECONDS=120 fetch_set largest
expect_log ": file-33553920.bin, Served with 65536 blocks."

in_ns nft -f - <<'NFT'
table inet loss {
    chain input {
        type filter hook input priority 0; policy accept;
        udp dport 69 numgen random mod 100 < 5 counter drop
        udp sport 69 numgen random mod 100 < 5 counter drop
    }
}
NFT
fetch_set loss
dropped=$(in_ns nft list table inet loss | grep -oE 'packets [0-9]+' | awk '{n += $2} END {print n}')
((dropped > 0)) || fail "no datagram was dropped; the loss case proved nothing"
echo "dropped datagrams: $dropped"
stop_server INT 3000
[[ $(grep -c = "$QUILLET_SETTINGS") -eq 2 ]] && grep -qx LOG_FILE_LEVEL=7 "$QUILLET_SETTINGS" ||
    fail "the stored settings were rewritten: $(cat "$QUILLET_SETTINGS")"

in_ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1
start_server
fetch_set ipv6-off
HOST=::1 FETCH_SECONDS=5 fetch curl file-513.bin "$FETCHED/off" 2>/dev/null && fail "::1 answered"
grep -F 'Addresses: ' "$QUILLET_LOG" | tail -n 1 | grep -qE ': 192\.0\.2\.10$' || fail "$(cat "$QUILLET_LOG")"
echo "PASS: $e2e_name"
