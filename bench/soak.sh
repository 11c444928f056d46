#!/bin/bash
# The soak (about half a minute): 100,000 hostile datagrams from 200 source ports (tftp_load -H:
# random bytes, truncated and oversized packets, requests for missing and refused names, stray
# DATA, ACKs and ERRORs) interleaved with real curl and tftp-hpa downloads. Every download is byte
# for byte; afterwards quilletd holds as many descriptors as before and about the same memory, each
# log file is within 1 MiB and one line, no line is forged or over-long, the refused-packet lines
# were limited, and the server still serves. Exit status 0 when all of that holds.
#
#   sudo bench/soak.sh [BUILD_DIR]        BUILD_DIR defaults to ./build of the source tree
#
# It runs quilletd in a network namespace of its own with the end-to-end tests' helpers.
build_dir=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
QUILLETD=${QUILLETD:-$build_dir/src/quilletd}
TFTP_LOAD=${TFTP_LOAD:-$build_dir/bench/tftp_load}
# shellcheck source=../tests/e2e/lib.sh
source "$(dirname "$0")/../tests/e2e/lib.sh"
[[ -x $TFTP_LOAD ]] || fail "no tftp_load at $TFTP_LOAD"

sizes=(0 512 70000 1048576)
for size in "${sizes[@]}"; do
    make_file "$SERVED/file-$size.bin" "$size"
done
start_server
usage() {  # open descriptors, resident kB
    echo "$(ls "/proc/$SERVER_PID/fd" | wc -l) $(awk '/^VmRSS/ {print $2}' "/proc/$SERVER_PID/status")"
}
# Warm-up, so that the starting values include what the first transfers and refusals allocate.
fetch_one curl 70000 && fetch_one hpa 70000
in_ns "$TFTP_LOAD" 127.0.0.1 69 -H 2000 -c 200 -s 10 >"$WORK/hostile" || fail "$(cat "$WORK/hostile")"
sleep 2
read -r fds_before rss_before < <(usage)

in_ns "$TFTP_LOAD" 127.0.0.1 69 -H 100000 -c 200 -r 5000 -s 60 >"$WORK/hostile" &
hostile=$!
E2E_PIDS+=("$hostile")
downloads=0
while kill -0 "$hostile" 2>/dev/null && ((downloads < 2000)); do
    fetch_one "$([[ $((downloads % 2)) -eq 0 ]] && echo curl || echo hpa)" "${sizes[downloads / 2 % 4]}"
    downloads=$((downloads + 1))
done
wait "$hostile" || fail "tftp_load: $(cat "$WORK/hostile")"
sleep 2
read -r fds_after rss_after < <(usage)
cat "$WORK/hostile"
echo "$downloads downloads; descriptors $fds_before -> $fds_after; RSS $rss_before -> $rss_after kB"
echo "log files: $(stat -c '%n %s' "$QUILLET_LOG"* | xargs)"
((downloads >= 20)) || fail "only $downloads downloads ran during the hostile traffic"
((fds_after <= fds_before)) || fail "descriptors grew from $fds_before to $fds_after"
((rss_after <= rss_before + 512)) || fail "RSS grew from $rss_before to $rss_after kB"
for file in "$QUILLET_LOG"*; do  # the backup, if the log was moved
    (($(stat -c %s "$file") <= 1048576 + 223)) || fail "$file: $(stat -c %s "$file") bytes"
    ! LC_ALL=C grep -qE '^2020-01-01|^.{223}|'$'[\r\e]' "$file" || fail "a forged or long line: $file"
done
# The count of lines held back may have rotated into the backup with the lines around it.
grep -qs " more Invalid Packets Ignored." "$QUILLET_LOG.bak" "$QUILLET_LOG" ||
    fail "no line \" more Invalid Packets Ignored.\" in either log file"
fetch_one curl 1048576
fetch_one hpa 512
echo "PASS: $e2e_name"
