#!/bin/bash
# Guards: the server sends a file's bytes unchanged whatever mode the client asks for. tftp-hpa in
# netascii mode gets a text file with bare line feeds as it is, and a raw client asking for
# "netascii", "NETASCII" or "mail" gets carriage returns, NULs and line feeds untranslated.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

printf 'first line\nsecond line\n\nlast line without newline' >"$SERVED/text.txt"
for ((i = 0; i < 200; i++)); do printf 'line %d\n' "$i"; done >>"$SERVED/text.txt"
printf 'a\r\nb\rc\r\0d\n\0\n\r\r\n\xff\xfe' >"$SERVED/raw.bin"
head -c 1000 /dev/urandom >>"$SERVED/raw.bin"
start_quilletd "$SERVED"

fetch netascii text.txt "$FETCHED/text.txt" || fail "netascii fetch failed"
same_bytes "$SERVED/text.txt" "$FETCHED/text.txt"
expect_log ": text.txt, Served with"

raw_tftp "$SERVED/raw.bin" <<'PY'
import sys
from tftp_raw import Client, check, expect_log
served = open(sys.argv[1], "rb").read()
for mode in ("netascii", "NETASCII", "mail", "octet"):
    client = Client()
    fetched = client.fetch("raw.bin", mode)
    check(fetched == served, "mode %s changed the bytes" % mode)
    blocks = len(served) // 512 + 1
    expect_log("client %s: raw.bin, Served with %d blocks." % (client.text, blocks))
    client.close()
PY
echo "PASS: $e2e_name"
