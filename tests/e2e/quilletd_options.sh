#!/bin/bash
# Guards: with TFTP_OPTIONS=1 in the settings, the real clients that ask for options get them
# (curl --tftp-blksize 1468 and curl's own request, atftp with blksize 1468 and windowsize 8,
# busybox -b 1468; tftp-hpa's client asks for none) and fetch files of 0, 1, 1468, 1469 bytes and
# 50 MB (more than 65,535 blocks of 512) byte for byte, each accepted option named in the log.
# With 5% of the datagrams dropped, windows of 8 blocks of 1468 bytes still arrive whole. With
# the setting missing, the same requests get 512-byte blocks and no OACK, 50 MB is refused as too
# large, and the setting is not written back. A name outside the served folder stays refused.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

sizes=(0 1 1468 1469 52428800)
for size in "${sizes[@]}"; do
    make_file "$SERVED/file-$size.bin" "$size"
done

# Fetches remote file $2 into $3 with client $1, asking for the options the client offers.
fetch_with_options() {
    case $1 in
        curl1468) in_ns timeout 120 curl -sS --tftp-blksize 1468 -o "$3" "tftp://127.0.0.1:69/$2" ;;
        atftp) in_ns timeout 120 atftp --option "blksize 1468" --option "windowsize 8" \
            --tftp-timeout 1 -g -r "$2" -l "$3" 127.0.0.1 69 ;;
        busybox) in_ns timeout 120 busybox tftp -b 1468 -g -r "$2" -l "$3" 127.0.0.1 69 ;;
        *) FETCH_SECONDS=120 fetch "$1" "$2" "$3" ;;
    esac
}
options_lines() { count_lines "$QUILLET_LOG" ", Options "; }

# --- the setting on ---
mkdir -p "$(dirname "$QUILLET_SETTINGS")"
printf '[General]\nTFTP_OPTIONS=1\n' >"$QUILLET_SETTINGS"
start_server
refused=0
for client in curl1468 curl atftp busybox hpa; do
    for size in "${sizes[@]}"; do
        before=$(options_lines)
        if [[ $client == hpa || $client == curl ]] && ((size > 33553920)); then
            # Blocks of 512 bytes cannot carry it: curl asks for blksize 512, tftp-hpa for none.
            fetch_with_options "$client" "file-$size.bin" "$FETCHED/$client-$size" 2>/dev/null &&
                [[ -s $FETCHED/$client-$size ]] && fail "$client: 50 MB in blocks of 512"
            wait_for "$QUILLET_LOG" ": file-$size.bin, File Too Large." 5 $((++refused)) ||
                fail "$client: 50 MB not refused: $(tail -3 "$QUILLET_LOG")"
            continue
        fi
        fetch_with_options "$client" "file-$size.bin" "$FETCHED/$client-$size" ||
            fail "$client: $size bytes: $(tail -3 "$QUILLET_LOG")"
        same_bytes "$SERVED/file-$size.bin" "$FETCHED/$client-$size"
        expect_log ": file-$size.bin, Served with" # the transfer ended on the server too
        after=$(options_lines)
        if [[ $client == hpa ]]; then
            ((after == before)) || fail "$client asked for no option, yet: $(tail -3 "$QUILLET_LOG")"
        else
            ((after == before + 1)) || fail "$client: no Options line: $(tail -3 "$QUILLET_LOG")"
        fi
    done
done
grep -qE ": file-1469\.bin, Options blksize=1468 windowsize=8\.$" "$QUILLET_LOG" ||
    fail "atftp's window: $(grep Options "$QUILLET_LOG")"
grep -qE ": file-1469\.bin, Options blksize=1468 tsize=1469\.$" "$QUILLET_LOG" ||
    fail "curl's and busybox's options: $(grep Options "$QUILLET_LOG")"
# 1469 bytes in blocks of 1468: one full block and one of a byte.
wait_for "$QUILLET_LOG" ": file-1469.bin, Served with 2 blocks." 5 3 || fail "blocks of 1468"
wait_for "$QUILLET_LOG" ": file-52428800.bin, Served with 35715 blocks." 5 3 || fail "50 MB"
grep "Options" "$QUILLET_LOG" | grep -oE 'Options .*' | sort | uniq -c
# Options change nothing about what may be reached.
fetch_with_options busybox ../etc/passwd "$FETCHED/passwd" 2>/dev/null && fail "../etc/passwd"
expect_log ": ../etc/passwd, Access violation."
fetch_with_options busybox /etc/passwd "$FETCHED/passwd" 2>/dev/null && fail "/etc/passwd"
expect_log ": /etc/passwd, File not found."  # the served folder's etc/passwd, which is not there

# --- 5% of the datagrams dropped, windows of 8 ---
in_ns nft -f - <<'NFT'
table inet loss {
    chain input {
        type filter hook input priority 0; policy accept;
        udp dport 69 numgen random mod 100 < 5 counter drop
        udp sport 69 numgen random mod 100 < 5 counter drop
    }
}
NFT
make_file "$SERVED/lossy.bin" 400000
for client in atftp busybox; do
    fetch_with_options "$client" lossy.bin "$FETCHED/lossy-$client" ||
        fail "$client with losses: $(tail -3 "$QUILLET_LOG")"
    same_bytes "$SERVED/lossy.bin" "$FETCHED/lossy-$client"
done
dropped=$(in_ns nft list table inet loss | grep -oE 'packets [0-9]+' | awk '{n += $2} END {print n}')
((dropped > 0)) || fail "no datagram was dropped; the loss case proved nothing"
echo "dropped datagrams: $dropped"
in_ns nft delete table inet loss
stop_server TERM 3000

# --- the setting missing: options ignored, 512-byte blocks ---
rm "$QUILLET_SETTINGS"
start_server
before=$(options_lines)
for client in curl1468 atftp busybox; do
    fetch_with_options "$client" file-1469.bin "$FETCHED/off-$client" || fail "$client, off"
    same_bytes "$SERVED/file-1469.bin" "$FETCHED/off-$client"
done
wait_for "$QUILLET_LOG" ": file-1469.bin, Served with 3 blocks." 5 3 || fail "not 512-byte blocks"
fetch_with_options curl1468 file-52428800.bin "$FETCHED/off-large" 2>/dev/null &&
    fail "50 MB served in 512-byte blocks"
expect_log ": file-52428800.bin, File Too Large."
(($(options_lines) == before)) || fail "an OACK with the setting missing"
grep -q TFTP_OPTIONS "$QUILLET_SETTINGS" && fail "TFTP_OPTIONS was written back"
stop_server TERM 3000
echo "PASS: $e2e_name"
