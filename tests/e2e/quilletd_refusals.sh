#!/bin/bash
# Guards: what the server refuses, and that nothing outside the served folder is reached, through
# tftp-hpa and a raw UDP client. The folder acts as the root of the file system: "/etc/passwd",
# "//etc/passwd" and links to /etc/passwd, absolute or climbing with "..", get the folder's own
# etc/passwd; its absolute path and a leading "/" are taken off; what exists only outside, a
# missing file, a directory and a FIFO (which must not block the server) get "File not found.";
# "..", "a..b" and the log's own names, however reached, get "Access violation."; a write request
# gets "WRQ not supported yet." and writes nothing. Each refusal is a level-5 line in the log and
# on standard error. A name with CR, LF and ESC is logged escaped, forging no line; a 1,000-byte
# name is cut to 97 + "...". curl, atftp and busybox are refused too, and serving goes on.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

mkdir "$SERVED/etc" "$SERVED/adir"
echo "root:x:0:0:the served folder's copy:/:/bin/false" >"$SERVED/etc/passwd"
make_file "$SERVED/inside.bin" 300
make_file "$WORK/secret.bin" 300  # outside the folder
mkfifo "$SERVED/afifo"
ln -s /etc/passwd "$SERVED/abs-out"
ln -s ../../../../../../../../etc/passwd "$SERVED/rel-out"
ln -s "$WORK/secret.bin" "$SERVED/abs-secret"
ln -s ../secret.bin "$SERVED/rel-secret"
ln -s inside.bin "$SERVED/in-link"
ln -s Quillet.log "$SERVED/log-link"
start_server

in_ns timeout 20 tftp -m binary 127.0.0.1 69 -c put "$WORK/secret.bin" up.bin >"$WORK/put" 2>&1 || true
grep -qF "Error code 4: WRQ not supported yet." "$WORK/put" || fail "tftp put: $(cat "$WORK/put")"
[[ ! -e $SERVED/up.bin ]] || fail "the upload was written"
expect_log "): Write Request Ignored"

nf="Error code 1: File not found."
av="Error code 2: Access violation."
served=0
for row in "/etc/passwd|etc/passwd" "//etc/passwd|etc/passwd" "/proc/self/environ|$nf" \
    "$SERVED/inside.bin|inside.bin" "$SERVED.x/inside.bin|$nf" "/inside.bin|inside.bin" \
    "abs-out|etc/passwd" "rel-out|etc/passwd" "abs-secret|$nf" "rel-secret|$nf" \
    "in-link|inside.bin" "missing.bin|$nf" "adir|$nf" "afifo|$nf" "../inside.bin|$av" \
    "a..b|$av" "Quillet.log|$av" "/Quillet.log|$av" "$SERVED/Quillet.log|$av" "./Quillet.log|$av" \
    "log-link|$av" "Quillet.log.bak|$av"; do
    IFS='|' read -r name expected <<<"$row"
    for client in hpa raw; do
        rm -f "$FETCHED/got"
        if [[ $client == hpa ]]; then
            fetch hpa "$name" "$FETCHED/got" >"$WORK/out" 2>&1 || true
        else
            raw_get "$name" "$FETCHED/got" >"$WORK/out" 2>&1 || true
        fi
        if [[ $expected == Error* ]]; then
            grep -qF "$expected" "$WORK/out" || fail "$client $name: $(cat "$WORK/out")"
            wait_for "$WORK/stderr" ": $name, ${expected#Error code ?: }" 5 || fail "$name: not on stderr"
            expect_log ": $name, ${expected#Error code ?: }"
        else
            cmp -s "$SERVED/$expected" "$FETCHED/got" || fail "$client $name: not $expected"
            served=$((served + 1))
        fi
    done
done
! FETCH_SECONDS=20 fetch curl afifo "$FETCHED/curl" 2>/dev/null || fail "curl fetched a FIFO"
! FETCH_SECONDS=20 fetch atftp ../inside.bin "$FETCHED/atftp" 2>/dev/null || fail "atftp: ../inside.bin"
! FETCH_SECONDS=20 fetch busybox adir "$FETCHED/busybox" 2>/dev/null || fail "busybox: a directory"
[[ $(count_lines "$QUILLET_LOG" ", Connected.") -eq $served ]] || fail "a refusal became a transfer"

forged='2020-01-01 00:00:00    forged'
[[ $(raw_get $'evil\r\n'"$forged"$'\e[2J') == "$nf" ]] || fail "CR/LF/ESC name not refused"
long=$(printf 'n%.0s' {1..1000})
[[ $(raw_get "$long") == "$nf" ]] || fail "1,000-byte name not refused"
for output in "$QUILLET_LOG" "$WORK/stderr"; do
    wait_for "$output" ": evil\\x0D\\x0A$forged\\x1B[2J, File not found." 5 ||
        fail "no escaped name in $output: $(cat -A "$output")"
    wait_for "$output" ": ${long:0:97}..., File not found." 5 || fail "no cut name in $output"
    ! LC_ALL=C grep -qE "^$forged|"$'[\r\e]' "$output" || fail "a forged line in $output"
    ! LC_ALL=C grep -qE '^.{223}' "$output" || fail "a line over 222 characters in $output"
done
FETCH_SECONDS=10 fetch hpa inside.bin "$FETCHED/inside.bin" || fail "no longer serving"
same_bytes "$SERVED/inside.bin" "$FETCHED/inside.bin"
echo "PASS: $e2e_name"
