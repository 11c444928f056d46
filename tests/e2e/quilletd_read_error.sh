#!/bin/bash
# Guards: a file that opens as a regular file but cannot be read ends its transfer cleanly. The
# client gets ERROR 0 "File Read Error." from port 69, the log and standard error get the level-4
# line "client %s: NAME, Closed with Read Error, 0 blocks sent.", no DATA goes out, and the server
# goes on serving. /proc/self/mem stands in for such a file: it is a regular file of size 0 whose
# first read fails (address 0 of the server's own memory is never mapped).
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/kept.bin" 600
start_quilletd "$SERVED"

raw_tftp <<'PY'
from tftp_raw import Client, expect_log, rrq
client = Client()
client.send(rrq("/proc/self/mem"))
client.expect_error(0, "File Read Error.")
client.expect_silence(1)
expect_log("client %s: /proc/self/mem, Connected." % client.text)
expect_log("client %s: /proc/self/mem, Closed with Read Error, 0 blocks sent." % client.text)
PY
grep -qF "/proc/self/mem, Closed with Read Error, 0 blocks sent." "$WORK/quilletd.stderr" ||
    fail "standard error lacks the read error: $(cat "$WORK/quilletd.stderr")"
fetch hpa kept.bin "$FETCHED/kept.bin" || fail "no longer serving"
same_bytes "$SERVED/kept.bin" "$FETCHED/kept.bin"
echo "PASS: $e2e_name"
