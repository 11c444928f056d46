#!/bin/bash
# Guards: twenty transfers at once, five from each real client, all through the one port-69
# socket, each get their own file byte for byte and each is logged as served once.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

clients=(hpa curl atftp busybox)
per_client=5
for ((i = 0; i < per_client * ${#clients[@]}; i++)); do
    make_file "$SERVED/file-$i.bin" $((262144 + i * 4099))
done
start_quilletd "$SERVED"

pids=()
names=()
i=0
for client in "${clients[@]}"; do
    for ((k = 0; k < per_client; k++, i++)); do
        fetch "$client" "file-$i.bin" "$FETCHED/file-$i.bin" >"$WORK/fetch-$i.out" 2>&1 &
        pids+=($!)
        names+=("$client file-$i.bin")
        E2E_PIDS+=($!)
    done
done
for j in "${!pids[@]}"; do
    wait "${pids[$j]}" || fail "${names[$j]} failed: $(cat "$WORK/fetch-$j.out")"
done
for ((i = 0; i < ${#pids[@]}; i++)); do
    same_bytes "$SERVED/file-$i.bin" "$FETCHED/file-$i.bin"
    wait_for_count "$QUILLET_LOG" ": file-$i.bin, Served with" 1 5 ||
        fail "file-$i.bin was not logged as served"
done
[[ $(count_lines "$QUILLET_LOG" ", Served with") -eq ${#pids[@]} ]] ||
    fail "expected ${#pids[@]} Served lines: $(cat "$QUILLET_LOG")"
echo "PASS: $e2e_name"
