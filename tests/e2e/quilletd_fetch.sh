#!/bin/bash
# Guards: what real clients fetch. With no settings, tftp-hpa, curl, atftp and busybox fetch files
# of 0, 511, 512, 513, 1536 bytes and 1 MiB byte for byte (a multiple of 512 ends with an empty
# block), twenty transfers at once each get their own file, and options are ignored: blocks of
# 512, no OACK, 50 MB refused as too large. Each transfer logs a Connected and a Served line; the
# first run writes LOG_FILE_LEVEL=6 and nothing else. With TFTP_OPTIONS=1 and level 7, the clients
# that ask for options get them (curl, atftp with windows of 8, busybox; tftp-hpa asks for none),
# each named in the log, for files of 0, 1, 1468, 1469 bytes and 50 MB; the largest file in
# blocks of 512 (33,553,920 bytes, its empty last block sent as block 0) brings one progress line
# every 200 blocks; names outside the folder stay refused; with 5% of the datagrams dropped,
# windows of 8 blocks of 1468 still arrive whole. At start the log and standard error name the
# namespace's addresses to type, IPv4 first, "Addresses: 192.0.2.10, 2001:db8::10, fe80::...%q0"
# (no loopback).
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

for size in 0 1 511 512 513 1468 1469 1536 400000 1048576 52428800; do
    make_file "$SERVED/file-$size.bin" "$size"
done
for ((i = 0; i < 20; i++)); do
    make_file "$SERVED/many-$i.bin" $((100000 + i * 4099))
done
truncate -s 33553920 "$SERVED/file-33553920.bin"
options_lines() { count_lines "$QUILLET_LOG" ", Options "; }
clients=(hpa curl atftp busybox)

# --- no settings: options ignored ---
[[ ! -e $QUILLET_SETTINGS ]] || fail "settings exist before the first run"
in_ns sh -ec 'ip link add q0 type veth peer name q1; ip addr add 192.0.2.10/24 dev q0
    ip addr add 2001:db8::10/64 dev q0 nodad; ip link set q0 up; ip link set q1 up'
start_server
for output in "$QUILLET_LOG" "$WORK/stderr"; do
    grep -qE '^[0-9 :-]{19}    Addresses: 192\.0\.2\.10, .*2001:db8::10' "$output" ||
        fail "addresses: $(cat "$output")"
done
fetch_table "${clients[@]}" -- 0 511 512 513 1536 1048576
fetch_table curl1468 atftp8 busybox1468 -- 1469
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
# Each of the 47 transfers so far ended on the server too, the empty block 2 of 512 bytes with it.
wait_for "$QUILLET_LOG" ", Served with" 5 47 || fail "Served lines: $(cat "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" ", Connected.") -eq 47 ]] || fail "Connected lines"
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
for client in curl1468 curl atftp8 busybox1468 hpa; do
    for size in 0 1 1468 1469 52428800; do
        before=$(options_lines)
        if [[ $client == hpa || $client == curl ]] && ((size > 33553920)); then
            # Blocks of 512 bytes cannot carry it: curl asks for blksize 512, tftp-hpa for none.
            FETCH_SECONDS=120 fetch "$client" "file-$size.bin" "$FETCHED/$client-$size" 2>/dev/null &&
                [[ -s $FETCHED/$client-$size ]] && fail "$client: 50 MB in blocks of 512"
            wait_for "$QUILLET_LOG" ": file-$size.bin, File Too Large." 5 $((++refused + 1)) ||
                fail "$client: 50 MB not refused: $(tail -3 "$QUILLET_LOG")"
            continue
        fi
        FETCH_SECONDS=120 fetch_table "$client" -- "$size"
        expect_log ": file-$size.bin, Served with" # the transfer ended on the server too
        asked=$([[ $client == hpa ]] && echo 0 || echo 1)
        (($(options_lines) == before + asked)) || fail "$client: Options lines: $(tail -3 "$QUILLET_LOG")"
    done
done
grep -qE ": file-1469\.bin, Options blksize=1468 windowsize=8\.$" "$QUILLET_LOG" ||
    fail "atftp's window: $(grep Options "$QUILLET_LOG")"
grep -qE ": file-1469\.bin, Options blksize=1468 tsize=1469\.$" "$QUILLET_LOG" ||
    fail "curl's and busybox's options: $(grep Options "$QUILLET_LOG")"
wait_for "$QUILLET_LOG" ": file-1469.bin, Served with 2 blocks." 5 3 || fail "blocks of 1468"
wait_for "$QUILLET_LOG" ": file-52428800.bin, Served with 35715 blocks." 5 3 || fail "50 MB"
fetch busybox1468 ../etc/passwd "$FETCHED/passwd" 2>/dev/null && fail "../etc/passwd"
expect_log ": ../etc/passwd, Access violation."
fetch busybox1468 /etc/passwd "$FETCHED/passwd" 2>/dev/null && fail "/etc/passwd"
expect_log ": /etc/passwd, File not found."  # the served folder's etc/passwd, which is not there

FETCH_SECONDS=120 fetch_table hpa -- 33553920
expect_log ": file-33553920.bin, Served with 65536 blocks."
expect_log ": file-33553920.bin, Transmit in Progress, 65400 blocks sent..."
progress=$(count_lines "$QUILLET_LOG" ": file-33553920.bin, Transmit in Progress, ")
[[ $progress -eq 327 ]] || fail "$progress progress lines, expected one every 200 blocks"

in_ns nft -f - <<'NFT'
table inet loss {
    chain input {
        type filter hook input priority 0; policy accept;
        udp dport 69 numgen random mod 100 < 5 counter drop
        udp sport 69 numgen random mod 100 < 5 counter drop
    }
}
NFT
fetch_table atftp8 busybox1468 -- 400000
dropped=$(in_ns nft list table inet loss | grep -oE 'packets [0-9]+' | awk '{n += $2} END {print n}')
((dropped > 0)) || fail "no datagram was dropped; the loss case proved nothing"
echo "dropped datagrams: $dropped"
stop_server INT 3000
[[ $(grep -c = "$QUILLET_SETTINGS") -eq 2 ]] && grep -qx LOG_FILE_LEVEL=7 "$QUILLET_SETTINGS" ||
    fail "the stored settings were rewritten: $(cat "$QUILLET_SETTINGS")"
echo "PASS: $e2e_name"
