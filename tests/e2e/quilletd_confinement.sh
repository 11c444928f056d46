#!/bin/bash
# Guards: nothing outside the served folder is reached, through tftp-hpa and through raw UDP. The
# folder acts as the root of the file system: "/etc/passwd", "//etc/passwd" and links that point
# at /etc/passwd, absolutely or by climbing with "..", all get the folder's own etc/passwd; the
# folder's absolute path and a leading "/" are taken off; what exists only outside is not found;
# "a..b" and the log's own names, however reached, are refused. A name with CR, LF and ESC
# reaches the log and standard error escaped, forging no line; a 1,000-byte name is logged cut
# to 97 + "...".
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

mkdir "$SERVED/etc"
echo "root:x:0:0:the served folder's copy:/:/bin/false" >"$SERVED/etc/passwd"
make_file "$SERVED/inside.bin" 300
make_file "$WORK/secret.bin" 300  # outside the folder
ln -s /etc/passwd "$SERVED/abs-out"
ln -s ../../../../../../../../etc/passwd "$SERVED/rel-out"
ln -s "$WORK/secret.bin" "$SERVED/abs-secret"
ln -s ../secret.bin "$SERVED/rel-secret"
ln -s inside.bin "$SERVED/in-link"
ln -s Quillet.log "$SERVED/log-link"
start_server

# A raw client: one read request for $1; block 1 goes to file $2 (and is acknowledged), an ERROR
# is printed as tftp-hpa prints it.
raw_get() {
    in_ns timeout 10 python3 -c 'import os, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(5)
s.sendto(b"\0\1" + os.fsencode(sys.argv[1]) + b"\0octet\0", ("127.0.0.1", 69))
reply, server = s.recvfrom(600)
if reply[:2] == b"\0\5":
    sys.exit("Error code %d: %s" % (reply[3], reply[4:-1].decode("latin-1")))
s.sendto(b"\0\4" + reply[2:4], server)
open(sys.argv[2], "wb").write(reply[4:])' "$1" "$2"
}

not_found="Error code 1: File not found."
refused="Error code 2: Access violation."
for row in "/etc/passwd|etc/passwd" "//etc/passwd|etc/passwd" "/proc/self/environ|$not_found" \
    "$SERVED/inside.bin|inside.bin" "$SERVED.x/inside.bin|$not_found" "/inside.bin|inside.bin" \
    "abs-out|etc/passwd" "rel-out|etc/passwd" "abs-secret|$not_found" "rel-secret|$not_found" \
    "in-link|inside.bin" "a..b|$refused" "Quillet.log|$refused" "/Quillet.log|$refused" \
    "$SERVED/Quillet.log|$refused" "./Quillet.log|$refused" "log-link|$refused" \
    "Quillet.log.bak|$refused"; do
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
            expect_log ": $name, ${expected#Error code ?: }"
        else
            cmp -s "$SERVED/$expected" "$FETCHED/got" || fail "$client $name: not $expected"
        fi
    done
done

forged='2020-01-01 00:00:00    forged'
raw_get $'evil\r\n'"$forged"$'\e[2J' "$FETCHED/got" 2>"$WORK/out" || true
grep -qF "$not_found" "$WORK/out" || fail "CR/LF/ESC name: $(cat "$WORK/out")"
long=$(printf 'n%.0s' {1..1000})
raw_get "$long" "$FETCHED/got" 2>"$WORK/out" || true
grep -qF "$not_found" "$WORK/out" || fail "1,000-byte name: $(cat "$WORK/out")"
for output in "$QUILLET_LOG" "$WORK/stderr"; do
    wait_for "$output" ": evil\\x0D\\x0A$forged\\x1B[2J, File not found." 5 ||
        fail "no escaped name in $output: $(cat -A "$output")"
    wait_for "$output" ": ${long:0:97}..., File not found." 5 || fail "no cut name in $output"
    ! LC_ALL=C grep -qE "^$forged|"$'[\r\e]' "$output" || fail "a forged line in $output"
    ! LC_ALL=C grep -qE '^.{223}' "$output" || fail "a line over 222 characters in $output"
done
echo "PASS: $e2e_name"
