#!/bin/bash
# Guards: every real client (tftp-hpa, curl, atftp, busybox) fetches files of 0, 511, 512, 513,
# 1536 bytes and 1 MiB byte for byte, including the empty last block of a file whose size is a
# multiple of 512, and each transfer leaves its Connected and Served lines in the log.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

sizes=(0 511 512 513 1536 1048576)
# Blocks sent for each size: a size that is a multiple of 512 ends with an empty block.
blocks=(1 1 2 2 4 2049)
clients=(hpa curl atftp busybox)

for size in "${sizes[@]}"; do
    make_file "$SERVED/file-$size.bin" "$size"
done
start_quilletd "$SERVED"

for client in "${clients[@]}"; do
    for i in "${!sizes[@]}"; do
        size=${sizes[$i]}
        local_file="$FETCHED/$client-$size.bin"
        fetch "$client" "file-$size.bin" "$local_file" || fail "$client could not fetch $size bytes"
        same_bytes "$SERVED/file-$size.bin" "$local_file"
    done
done

for i in "${!sizes[@]}"; do
    name="file-${sizes[$i]}.bin"
    wait_for_count "$QUILLET_LOG" ": $name, Served with ${blocks[$i]} blocks." ${#clients[@]} 5 || true
    connected=$(count_lines "$QUILLET_LOG" ": $name, Connected.")
    served=$(count_lines "$QUILLET_LOG" ": $name, Served with ${blocks[$i]} blocks.")
    [[ $connected -eq ${#clients[@]} && $served -eq ${#clients[@]} ]] ||
        fail "$name: $connected Connected and $served Served lines, expected ${#clients[@]} each"
done
echo "PASS: $e2e_name"
