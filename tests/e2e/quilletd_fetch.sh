#!/bin/bash
# Guards: what real clients fetch, the rows of fetches.txt byte for byte. With no settings (set
# "plain") options are ignored: blocks of 512 (a multiple of 512 ends with an empty block), no OACK,
# 50 MB refused as too large; twenty transfers at once each get their own file; each transfer logs a
# Connected and a Served line; the first run writes LOG_FILE_LEVEL=6 and nothing else. With
# TFTP_OPTIONS=1 and level 7 (set "options"), the clients that ask for options get them, each named
# in the log; the largest file in blocks of 512 (its empty last block sent as block 0) brings
# progress lines (one every 200 blocks, as the engine's tests pin); with 5% of the datagrams dropped
# (set "loss"), windows of 8 blocks of 1468 still arrive whole. At start the log and standard error
# name the namespace's addresses to type, IPv4 first, "Addresses: 192.0.2.10, 2001:db8::10,
# fe80::...%q0" (no loopback).
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_fetch_files plain options loss
for ((i = 0; i < 20; i++)); do
    make_file "$SERVED/many-$i.bin" $((100000 + i * 4099))
done
truncate -s 33553920 "$SERVED/file-33553920.bin" # sparse: made at once
options_lines() { count_lines "$QUILLET_LOG" ", Options "; }
clients=(hpa curl atftp busybox)
transfers=$(($(fetch_rows plain | wc -l) + 20))

# --- no settings: options ignored ---
[[ ! -e $QUILLET_SETTINGS ]] || fail "settings exist before the first run"
in_ns sh -ec 'ip link add q0 type veth peer name q1; ip addr add 192.0.2.10/24 dev q0
    ip addr add 2001:db8::10/64 dev q0 nodad; ip link set q0 up; ip link set q1 up'
start_server
for output in "$QUILLET_LOG" "$WORK/stderr"; do
    grep -qE '^[0-9 :-]{19}    Addresses: 192\.0\.2\.10, .*2001:db8::10' "$output" ||
        fail "addresses: $(cat "$output")"
done
fetch_set plain
wait_for "$QUILLET_LOG" ": file-1469.bin, Served with 3 blocks." 5 3 || fail "not 512-byte blocks"
fetch curl1468 file-52428800.bin "$FETCHED/off-large" 2>/dev/null && fail "50 MB in 512-byte blocks"
expect_log ": file-52428800.bin, File Too Large."
(($(options_lines) == 0)) || fail "an OACK with the setting missing"
pids=()
for ((i = 0; i < 20; i++)); do
    fetch "${clients[i % 4]}" "many-$i.bin" "$FETCHED/many-$i" >"$WORK/many-$i.out" 2>&1 &
    pids+=($!)
    E2E_PIDS+=($!)
done
for ((i = 0; i < 20; i++)); do
    wait "${pids[i]}" || fail "${clients[i % 4]} many-$i.bin: $(cat "$WORK/many-$i.out")"
    same_bytes "$SERVED/many-$i.bin" "$FETCHED/many-$i"
done
# Each transfer so far ended on the server too, the empty block 2 of 512 bytes with it.
wait_for "$QUILLET_LOG" ", Served with" 5 $transfers || fail "Served lines: $(cat "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" ", Connected.") -eq $transfers ]] || fail "Connected lines"
wait_for "$QUILLET_LOG" ": file-512.bin, Served with 2 blocks." 5 4 || fail "file-512.bin: block 2"
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}    '
grep -qE "^${stamp}client 127\.0\.0\.1 \([0-9]+\): file-513\.bin, Served with 2 blocks\.$" \
    "$QUILLET_LOG" || fail "no whole Served line: $(cat "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" "Transmit in Progress") -eq 0 ]] || fail "progress at level 6"
stop_server TERM 3000
[[ $(grep -c = "$QUILLET_SETTINGS") -eq 1 ]] && grep -qx LOG_FILE_LEVEL=6 "$QUILLET_SETTINGS" ||
    fail "settings: $(cat "$QUILLET_SETTINGS")"

# --- TFTP_OPTIONS=1, level 7 ---
settings LOG_FILE_LEVEL=7 TFTP_OPTIONS=1
start_server
refused=0
while read -r client size <&3; do
    before=$(options_lines)
    FETCH_SECONDS=120 fetch_set_row "$client" "$size"
    if [[ $size == !* ]]; then
        wait_for "$QUILLET_LOG" ": file-${size#!}.bin, File Too Large." 5 $((++refused + 1)) ||
            fail "$client: ${size#!} bytes not refused: $(tail -3 "$QUILLET_LOG")"
        continue
    fi
    expect_log ": file-$size.bin, Served with" # the transfer ended on the server too
    asked=$([[ $client == hpa ]] && echo 0 || echo 1)
    (($(options_lines) == before + asked)) || fail "$client: Options lines: $(tail -3 "$QUILLET_LOG")"
done 3< <(fetch_rows options)
grep -qE ": file-1469\.bin, Options blksize=1468 windowsize=8\.$" "$QUILLET_LOG" ||
    fail "atftp's window: $(grep Options "$QUILLET_LOG")"
grep -qE ": file-1469\.bin, Options blksize=1468 tsize=1469\.$" "$QUILLET_LOG" ||
    fail "curl's and busybox's options: $(grep Options "$QUILLET_LOG")"
wait_for "$QUILLET_LOG" ": file-1469.bin, Served with 2 blocks." 5 3 || fail "blocks of 1468"
wait_for "$QUILLET_LOG" ": file-52428800.bin, Served with 35715 blocks." 5 3 || fail "50 MB"

FETCH_SECONDS=120 fetch_set largest
expect_log ": file-33553920.bin, Served with 65536 blocks."
expect_log ": file-33553920.bin, Transmit in Progress, 65400 blocks sent..."

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
echo "PASS: $e2e_name"
