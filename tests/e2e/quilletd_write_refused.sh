#!/bin/bash
# Guards: the server is read-only. A write request from any client gets ERROR 4 "WRQ not
# supported yet." from port 69, the level-5 line "client %s: Write Request Ignored" in the log
# and on standard error, nothing is written to disk, a read transfer that the same endpoint has
# running goes on, and the server keeps serving.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/kept.bin" 1100  # three blocks
make_file "$WORK/upload.bin" 3000
start_quilletd "$SERVED"

# tftp-hpa reports the server's error text (and exits 0 anyway).
in_ns timeout 20 tftp -m binary 127.0.0.1 69 -c put "$WORK/upload.bin" hpa.bin >"$WORK/hpa.out" 2>&1 || true
grep -qF "Error code 4: WRQ not supported yet." "$WORK/hpa.out" ||
    fail "tftp-hpa did not see the refusal: $(cat "$WORK/hpa.out")"
# The others must fail.
! in_ns timeout 20 busybox tftp -p -l "$WORK/upload.bin" -r busybox.bin 127.0.0.1 69 2>/dev/null ||
    fail "busybox put succeeded"
! in_ns timeout 20 atftp -p -l "$WORK/upload.bin" -r atftp.bin 127.0.0.1 69 2>/dev/null ||
    fail "atftp put succeeded"
! in_ns timeout 20 curl -sS -T "$WORK/upload.bin" tftp://127.0.0.1:69/curl.bin 2>/dev/null ||
    fail "curl put succeeded"
for name in hpa.bin busybox.bin atftp.bin curl.bin; do
    [[ ! -e $SERVED/$name ]] || fail "$name was written"
done
wait_for_count "$QUILLET_LOG" "Write Request Ignored" 4 5 ||
    fail "expected four refusals in the log: $(cat "$QUILLET_LOG")"
grep -qE '^[0-9-]{10} [0-9:]{8}    client 127\.0\.0\.1 \([0-9]+\): Write Request Ignored$' \
    "$WORK/quilletd.stderr" || fail "standard error lacks the refusal: $(cat "$WORK/quilletd.stderr")"

raw_tftp "$SERVED/kept.bin" <<'PY'
import sys
from tftp_raw import Client, ack, check, expect_log, wrq
served = open(sys.argv[1], "rb").read()

# A lone write request: one ERROR, nothing after it.
client = Client()
client.send(wrq("raw.bin"))
client.expect_error(4, "WRQ not supported yet.")
client.expect_silence(1)
expect_log("client %s: Write Request Ignored" % client.text)

# A write request in the middle of a read leaves the read alone.
reader = Client()
reader.send(b"\0\1kept.bin\0octet\0")
first = reader.expect_data(1)
reader.send(wrq("kept.bin"))
reader.expect_error(4, "WRQ not supported yet.")
reader.send(ack(1))
second = reader.expect_data(2)
reader.send(ack(2))
third = reader.expect_data(3)
reader.send(ack(3))
check(first + second + third == served, "the read was disturbed")
expect_log("client %s: kept.bin, Served with 3 blocks." % reader.text)
PY
fetch hpa kept.bin "$FETCHED/kept.bin" || fail "no longer serving"
same_bytes "$SERVED/kept.bin" "$FETCHED/kept.bin"
echo "PASS: $e2e_name"
