#!/bin/bash
# Guards: what the server refuses, as real clients see it. A write request (tftp put) gets "WRQ
# not supported yet." and writes nothing; a missing file, a directory and a FIFO (which must not
# block the server) get "File not found."; a name with ".." gets "Access violation.". Each refusal
# is one level-5 line in the log and on standard error, and the server goes on serving.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/kept.bin" 1500
make_file "$WORK/upload.bin" 3000
mkdir "$SERVED/adir"
mkfifo "$SERVED/afifo"
start_server

in_ns timeout 20 tftp -m binary 127.0.0.1 69 -c put "$WORK/upload.bin" up.bin >"$WORK/put" 2>&1 || true
grep -qF "Error code 4: WRQ not supported yet." "$WORK/put" || fail "tftp put: $(cat "$WORK/put")"
[[ ! -e $SERVED/up.bin ]] || fail "the upload was written"
expect_log "): Write Request Ignored"
wait_for "$WORK/stderr" "): Write Request Ignored" 5 || fail "no refusal: $(cat "$WORK/stderr")"

for refusal in "missing.bin|1|File not found." "adir|1|File not found." \
    "afifo|1|File not found." "../kept.bin|2|Access violation." "a..b|2|Access violation."; do
    IFS='|' read -r name code text <<<"$refusal"
    fetch hpa "$name" "$FETCHED/refused" >"$WORK/get" 2>&1 || true
    grep -qF "Error code $code: $text" "$WORK/get" || fail "$name: $(cat "$WORK/get")"
    wait_for "$WORK/stderr" ": $name, $text" 5 || fail "$name: $(cat "$WORK/stderr")"
    expect_log ": $name, $text"
done
! FETCH_SECONDS=20 fetch curl afifo "$FETCHED/curl" 2>/dev/null || fail "curl fetched a FIFO"
! FETCH_SECONDS=20 fetch atftp ../kept.bin "$FETCHED/atftp" 2>/dev/null || fail "atftp: ../kept.bin"
! FETCH_SECONDS=20 fetch busybox adir "$FETCHED/busybox" 2>/dev/null || fail "busybox: a directory"
[[ $(count_lines "$QUILLET_LOG" ", Connected.") -eq 0 ]] || fail "a refusal became a transfer"
FETCH_SECONDS=10 fetch hpa kept.bin "$FETCHED/kept.bin" || fail "no longer serving"
same_bytes "$SERVED/kept.bin" "$FETCHED/kept.bin"
echo "PASS: $e2e_name"
