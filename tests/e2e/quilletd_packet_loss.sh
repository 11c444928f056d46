#!/bin/bash
# Guards: with 5% of the datagrams to and from port 69 dropped (nftables in the namespace), every
# real client still gets its file byte for byte: lost DATA and lost ACKs are recovered by the
# client's resends (a repeated ACK or request makes the server send its block again). Four
# transfers run at once; the drop counters prove that datagrams were lost.
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

# Client retransmission times differ a lot (curl waits 5 s), so the sizes do too.
make_file "$SERVED/hpa.bin" 65536
make_file "$SERVED/atftp.bin" 65536
make_file "$SERVED/busybox.bin" 262144
make_file "$SERVED/curl.bin" 8192
start_quilletd "$SERVED"

pids=()
printf 'mode binary\nrexmt 1\ntimeout 90\nget hpa.bin %s\nquit\n' "$FETCHED/hpa.bin" |
    in_ns timeout 120 tftp 127.0.0.1 69 >"$WORK/hpa.out" 2>&1 &
pids+=($!)
in_ns timeout 120 atftp --tftp-timeout 1 -g -r atftp.bin -l "$FETCHED/atftp.bin" 127.0.0.1 69 \
    >"$WORK/atftp.out" 2>&1 &
pids+=($!)
in_ns timeout 120 busybox tftp -g -r busybox.bin -l "$FETCHED/busybox.bin" 127.0.0.1 69 \
    >"$WORK/busybox.out" 2>&1 &
pids+=($!)
in_ns timeout 120 curl -sS -m 110 -o "$FETCHED/curl.bin" tftp://127.0.0.1:69/curl.bin \
    >"$WORK/curl.out" 2>&1 &
pids+=($!)
E2E_PIDS+=("${pids[@]}")

clients=(hpa atftp busybox curl)
for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || fail "${clients[$i]} failed: $(cat "$WORK/${clients[$i]}.out")"
done
for client in "${clients[@]}"; do
    same_bytes "$SERVED/$client.bin" "$FETCHED/$client.bin"
done
dropped=$(in_ns nft list table inet loss | grep -oE 'packets [0-9]+' | awk '{sum += $2} END {print sum}')
((dropped > 0)) || fail "no datagram was dropped; the test proved nothing"
echo "dropped datagrams: $dropped"
echo "PASS: $e2e_name"
