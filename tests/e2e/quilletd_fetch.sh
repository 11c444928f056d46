#!/bin/bash
# Guards: every real client (tftp-hpa, curl, atftp, busybox) fetches files of 0, 511, 512, 513,
# 1536 bytes and 1 MiB byte for byte (a size that is a multiple of 512 ends with an empty block),
# and twenty transfers at once each get their own file. The log file gets a Connected and a Served
# line per transfer and, on the first run, the settings get LOG_FILE_LEVEL=6; with level 7 the
# progress lines come too, here while the largest file (33,553,920 bytes, whose empty last block
# travels as block 0) completes.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

sizes=(0 511 512 513 1536 1048576)
blocks=(1 1 2 2 4 2049)
clients=(hpa curl atftp busybox)
for size in "${sizes[@]}"; do
    make_file "$SERVED/file-$size.bin" "$size"
done
for ((i = 0; i < 20; i++)); do
    make_file "$SERVED/many-$i.bin" $((100000 + i * 4099))
done
truncate -s 33553920 "$SERVED/largest.bin"

[[ ! -e $QUILLET_SETTINGS ]] || fail "settings exist before the first run"
start_server
for client in "${clients[@]}"; do
    for size in "${sizes[@]}"; do
        fetch "$client" "file-$size.bin" "$FETCHED/$client-$size" || fail "$client: $size bytes"
        same_bytes "$SERVED/file-$size.bin" "$FETCHED/$client-$size"
    done
done

pids=()
for ((i = 0; i < 20; i++)); do
    fetch "${clients[i % 4]}" "many-$i.bin" "$FETCHED/many-$i" >"$WORK/many-$i.out" 2>&1 &
    pids+=($!)
    E2E_PIDS+=($!)
done
for ((i = 0; i < 20; i++)); do
    wait "${pids[i]}" || fail "${clients[i % 4]} many-$i.bin: $(cat "$WORK/many-$i.out")"
    same_bytes "$SERVED/many-$i.bin" "$FETCHED/many-$i"
    expect_log ": many-$i.bin, Served with"
done

for i in "${!sizes[@]}"; do
    name="file-${sizes[i]}.bin"
    wait_for "$QUILLET_LOG" ": $name, Served with ${blocks[i]} blocks." 5 4 ||
        fail "$name: expected four Served lines: $(cat "$QUILLET_LOG")"
    [[ $(count_lines "$QUILLET_LOG" ": $name, Connected.") -eq 4 ]] || fail "$name: Connected lines"
done
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}    '
grep -qE "^${stamp}client 127\.0\.0\.1 \([0-9]+\): file-513\.bin, Served with 2 blocks\.$" \
    "$QUILLET_LOG" || fail "no whole Served line: $(cat "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" "Transmit in Progress") -eq 0 ]] || fail "progress at level 6"
stop_server TERM 3000
grep -qx "LOG_FILE_LEVEL=6" "$QUILLET_SETTINGS" || fail "settings: $(cat "$QUILLET_SETTINGS")"

printf '[General]\nLOG_FILE_LEVEL=7\n' >"$QUILLET_SETTINGS"
start_server
FETCH_SECONDS=120 fetch hpa largest.bin "$FETCHED/largest" || fail "hpa: the largest file"
same_bytes "$SERVED/largest.bin" "$FETCHED/largest"
expect_log ": largest.bin, Served with 65536 blocks."
expect_log ": largest.bin, Transmit in Progress, 65400 blocks sent..."
progress=$(count_lines "$QUILLET_LOG" ": largest.bin, Transmit in Progress, ")
[[ $progress -eq 327 ]] || fail "$progress progress lines, expected one every 200 blocks"
grep -qx "LOG_FILE_LEVEL=7" "$QUILLET_SETTINGS" || fail "a stored level was rewritten"
stop_server INT 3000
echo "PASS: $e2e_name"
