#!/bin/bash
# Guards: requests the server refuses. A missing file, a directory, a FIFO and a device get ERROR 1
# "File not found." (a FIFO never blocks the server); any name containing ".." gets ERROR 2
# "Access violation."; a file one byte over 33,553,920 bytes gets ERROR 0 "File Too Large.".
# Each refusal is one ERROR from port 69, one level-5 line "client %s: NAME, TEXT" in the log and
# on standard error, and no transfer; the server goes on serving, absolute names included.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/kept.bin" 1500
mkdir "$SERVED/adir" "$SERVED/sub"
make_file "$SERVED/sub/inner.bin" 700
mkfifo "$SERVED/afifo"
truncate -s 33553921 "$SERVED/too-large.bin"
start_quilletd "$SERVED"

# Real clients see the refusals and the server answers the next request at once.
fetch hpa adir "$FETCHED/adir" >"$WORK/hpa.out" 2>&1 || true
grep -qF "Error code 1: File not found." "$WORK/hpa.out" || fail "tftp-hpa: $(cat "$WORK/hpa.out")"
! fetch curl afifo "$FETCHED/afifo" 2>/dev/null || fail "curl fetched a FIFO"
! fetch atftp ../kept.bin "$FETCHED/up" 2>/dev/null || fail "atftp fetched ../kept.bin"
! fetch busybox missing.bin "$FETCHED/missing" 2>/dev/null || fail "busybox fetched a missing file"
FETCH_SECONDS=10 fetch hpa kept.bin "$FETCHED/kept.bin" || fail "no longer serving"
same_bytes "$SERVED/kept.bin" "$FETCHED/kept.bin"

raw_tftp "$SERVED" <<'PY'
import sys
from tftp_raw import Client, check, expect_log, log_text
served = sys.argv[1]
refusals = [
    ("missing.bin", 1, "File not found."),
    ("adir", 1, "File not found."),
    (served + "/adir", 1, "File not found."),
    ("afifo", 1, "File not found."),
    ("/dev/null", 1, "File not found."),
    ("/dev/zero", 1, "File not found."),
    ("../kept.bin", 2, "Access violation."),
    ("a..b", 2, "Access violation."),
    ("sub/../kept.bin", 2, "Access violation."),
    (served + "/../x", 2, "Access violation."),
    ("..", 2, "Access violation."),
    ("too-large.bin", 0, "File Too Large."),
]
for name, code, text in refusals:
    client = Client()
    client.send(b"\0\1" + name.encode() + b"\0octet\0")
    client.expect_error(code, text)
    client.expect_silence(0.3)
    expect_log("client %s: %s, %s" % (client.text, name, text))
    check("client %s: %s, Connected." % (client.text, name) not in log_text(),
          "%s was logged as a transfer" % name)
    client.close()

# Absolute and relative names of regular files are served.
for name, path in ((served + "/sub/inner.bin", "sub/inner.bin"), ("sub/inner.bin", "sub/inner.bin"),
                   (served + "/kept.bin", "kept.bin")):
    expected = open(served + "/" + path, "rb").read()
    client = Client()
    check(client.fetch(name) == expected, "%s came back different" % name)
    expect_log("client %s: %s, Served with %d blocks." % (client.text, name, len(expected) // 512 + 1))
PY

# Refusals are level 5: they are echoed to standard error too.
for text in "missing.bin, File not found." "afifo, File not found." "../kept.bin, Access violation." \
    "too-large.bin, File Too Large."; do
    grep -qF -- "$text" "$WORK/quilletd.stderr" || fail "standard error lacks \"$text\""
done
echo "PASS: $e2e_name"
