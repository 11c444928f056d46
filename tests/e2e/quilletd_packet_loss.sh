#!/bin/bash
# Guards: with 5% of the datagrams to and from port 69 dropped (nftables in the namespace), every
# real client still gets its file byte for byte: lost DATA and lost ACKs are recovered by the
# clients' resends. The four transfers run at once; the drop counters prove that datagrams were
# lost.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

in_ns nft -f - <<'NFT'
table inet loss {
    chain input {
        type filter hook input priority 0; policy accept;
        udp dport 69 numgen random mod 100 < 5 counter drop
        udp sport 69 numgen random mod 100 < 5 counter drop
    }
}
NFT

clients=(hpa atftp busybox curl)
sizes=(32768 32768 65536 4096)  # curl waits 5 s or more before it resends
for i in "${!clients[@]}"; do
    make_file "$SERVED/${clients[i]}.bin" "${sizes[i]}"
done
start_server

# tftp-hpa and atftp resend after 1 s here, as busybox does by itself.
printf 'mode binary\nrexmt 1\ntimeout 90\nget hpa.bin %s\nquit\n' "$FETCHED/hpa.bin" |
    in_ns timeout 120 tftp 127.0.0.1 69 >"$WORK/hpa.out" 2>&1 &
pids=($!)
in_ns timeout 120 atftp --tftp-timeout 1 -g -r atftp.bin -l "$FETCHED/atftp.bin" 127.0.0.1 69 \
    >"$WORK/atftp.out" 2>&1 &
pids+=($!)
FETCH_SECONDS=120 fetch busybox busybox.bin "$FETCHED/busybox.bin" >"$WORK/busybox.out" 2>&1 &
pids+=($!)
FETCH_SECONDS=120 fetch curl curl.bin "$FETCHED/curl.bin" >"$WORK/curl.out" 2>&1 &
pids+=($!)
E2E_PIDS+=("${pids[@]}")
for i in "${!clients[@]}"; do
    wait "${pids[i]}" || fail "${clients[i]}: $(cat "$WORK/${clients[i]}.out")"
    same_bytes "$SERVED/${clients[i]}.bin" "$FETCHED/${clients[i]}.bin"
done
dropped=$(in_ns nft list table inet loss | grep -oE 'packets [0-9]+' | awk '{n += $2} END {print n}')
((dropped > 0)) || fail "no datagram was dropped; the test proved nothing"
echo "dropped datagrams: $dropped"
echo "PASS: $e2e_name"
