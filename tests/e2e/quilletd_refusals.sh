#!/bin/bash
# Guards: what the server refuses, and that nothing outside the served folder is reached, with
# quilletd under `ulimit -n 64`. The folder acts as the root of the file system: "/etc/passwd",
# "//etc/passwd" and links to /etc/passwd, absolute or climbing with "..", get the folder's own
# etc/passwd; its absolute path and a leading "/" are taken off; what exists only outside, a
# missing file, a directory and a FIFO (which must not block the server) get "File not found.";
# "..", "a..b" and the log's own names, however reached, get "Access violation."; a write request
# gets "WRQ not supported yet." and writes nothing. Each refusal is a level-5 line in the log and
# on standard error; tftp-hpa, curl, atftp and busybox are refused alike. Names and client error
# messages holding CR, LF and ESC are logged escaped, forging no line; a 1,000-byte name is cut to
# 97 + "...". Of 100 read requests at once from 100 ports of two addresses, none acknowledged, 32
# get block 1, 16 from each address, and the rest ERROR 0 "Server Busy." (and a level-4 line
# "..., Refused, Server Busy.", up to 20 a second from one address, the rest counted), never "File
# not found.": sessions are capped at the descriptor limit less 32, and one address holds half of
# them. tftp-hpa is refused while they stand and served at once when their clients end them.
# 15,000 refused requests in 5 s from 30 addresses leave at most 200 lines a second, so that a
# log just short of 1 MiB is moved to Quillet.log.bak once, keeping its lines.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

mkdir "$SERVED/etc" "$SERVED/adir"
echo "root:x:0:0:the served folder's copy:/:/bin/false" >"$SERVED/etc/passwd"
make_file "$SERVED/inside.bin" 300
make_file "$SERVED/big.bin" 100000
make_file "$WORK/secret.bin" 300  # outside the folder
mkfifo "$SERVED/afifo"
ln -s /etc/passwd "$SERVED/abs-out"
ln -s ../../../../../../../../etc/passwd "$SERVED/rel-out"
ln -s "$WORK/secret.bin" "$SERVED/abs-secret"
ln -s ../secret.bin "$SERVED/rel-secret"
ln -s inside.bin "$SERVED/in-link"
ln -s Quillet.log "$SERVED/log-link"
printf '#!/bin/sh\nulimit -n 64\nexec "%s"\n' "$QUILLETD" >"$WORK/limited"
chmod +x "$WORK/limited"
start_server "$WORK/limited"
grep -qE '^Max open files +64 +64 ' "/proc/$SERVER_PID/limits" || fail "not under ulimit -n 64"

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
    "log-link|$av" "Quillet.log.bak|$av" "hpa:/etc/passwd|etc/passwd" "hpa:a..b|$av" \
    "curl:afifo|$nf" "atftp:../inside.bin|$av" "busybox:adir|$nf"; do
    IFS='|' read -r name expected <<<"$row"
    sleep 0.05  # fewer than 20 refusals a second: each is logged
    client=raw
    [[ $name != *:* ]] || { client=${name%%:*} && name=${name#*:}; }
    rm -f "$FETCHED/got"
    [[ $client == raw ]] && get=(raw_get "$name") || get=(fetch "$client" "$name")
    FETCH_SECONDS=20 "${get[@]}" "$FETCHED/got" >"$WORK/out" 2>&1 || true
    if [[ $expected == Error* ]]; then
        # curl, atftp and busybox print the error each in their own way.
        [[ $client != hpa && $client != raw ]] || grep -qF "$expected" "$WORK/out" ||
            fail "$client $name: $(cat "$WORK/out")"
        wait_for "$WORK/stderr" ": $name, ${expected#Error code ?: }" 5 || fail "$name: not on stderr"
        expect_log ": $name, ${expected#Error code ?: }"
    else
        cmp -s "$SERVED/$expected" "$FETCHED/got" || fail "$client $name: not $expected"
        served=$((served + 1))
    fi
done
[[ $(count_lines "$QUILLET_LOG" ", Connected.") -eq $served ]] || fail "a refusal became a transfer"

forged='2020-01-01 00:00:00    forged'
[[ $(raw_get $'evil\r\n'"$forged"$'\e[2J') == "$nf" ]] || fail "CR/LF/ESC name not refused"
long=$(printf 'n%.0s' {1..1000})
[[ $(raw_get "$long") == "$nf" ]] || fail "1,000-byte name not refused"
for output in "$QUILLET_LOG" "$WORK/stderr"; do
    wait_for "$output" ": evil\\x0D\\x0A$forged\\x1B[2J, File not found." 5 ||
        fail "no escaped name in $output: $(cat -A "$output")"
    wait_for "$output" ": ${long:0:97}..., File not found." 5 || fail "no cut name in $output"
done

in_ns timeout 60 python3 - "$FETCHED/busy" <<'PY' || fail "see above"
import socket, subprocess, sys
busy = b"\0\5\0\0Server Busy.\0"
sockets = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(100)]
for i, s in enumerate(sockets):
    s.bind(("127.0.0.%d" % (1 + i % 2), 0))
    s.settimeout(5)
    s.sendto(b"\0\1big.bin\0octet\0", ("127.0.0.1", 69))
replies = [s.recv(600) for s in sockets]
served = [s for s, reply in zip(sockets, replies) if reply[:4] == b"\0\3\0\1"]
refused = replies.count(busy)
print("%d requests: %d got block 1, %d got Server Busy." % (len(sockets), len(served), refused))
hosts = sorted(s.getsockname()[0] for s in served)
if len(served) != 32 or refused != 68 or hosts.count("127.0.0.1") != 16:
    sys.exit("expected 32 requests (64 descriptors less 32), 16 of each address, to get block 1")
get = ["tftp", "-m", "binary", "127.0.0.1", "69", "-c", "get", "big.bin", sys.argv[1]]
out = subprocess.run(get, capture_output=True, text=True, timeout=20).stdout
if "Error code 0: Server Busy." not in out:
    sys.exit("tftp-hpa while the sessions stand: " + out)
for s in served:
    s.sendto(b"\0\5\0\0done\r\n2020-01-01 00:00:00    forged\0", ("127.0.0.1", 69))
print(refused + 1, len(served), file=open(sys.argv[1] + ".count", "w"))
PY
read -r refusals served <"$FETCHED/busy.count"
FETCH_SECONDS=10 fetch hpa big.bin "$FETCHED/big.bin" || fail "not served once the sessions ended"
same_bytes "$SERVED/big.bin" "$FETCHED/big.bin"
# Each refusal is a line or counted in one, written with the first line of a later second.
sleep 1 && raw_get inside.bin >/dev/null
logged=$(awk '/\): big.bin, Refused, Server Busy\.$/ { n++ }
    / more lines about refused requests not written\.$/ { n += $(NF - 7) } END { print n }' "$QUILLET_LOG")
((logged == refusals)) || fail "$refusals refusals, $logged logged: $(cat "$QUILLET_LOG")"
[[ $(count_lines "$QUILLET_LOG" "big.bin, File not found.") -eq 0 ]] || fail "File not found. under load"
closed=', Closed with client Error #0 "done\x0D\x0A2020-01-01 00:00:00    forged", 1 blocks sent.'
[[ $(count_lines "$QUILLET_LOG" "$closed") -eq $served ]] || fail "$served client errors: $(cat "$QUILLET_LOG")"
for output in "$QUILLET_LOG" "$WORK/stderr"; do
    ! LC_ALL=C grep -qE "^$forged|"$'[\r\e]' "$output" || fail "a forged line in $output"
    ! LC_ALL=C grep -qE '^.{223}' "$output" || fail "a line over 222 characters in $output"
done

stop_server TERM 2500
line="2026-01-01 00:00:00    an earlier line, which the flood must not push out of both files"
head -n $(((1040000 - $(stat -c %s "$QUILLET_LOG")) / 90)) < <(yes "$line") >>"$QUILLET_LOG"
start_server "$WORK/limited"
in_ns timeout 30 python3 - <<'PY' || fail "see above"
import socket, time
name = b"missing-" + b"m" * 100
kinds = [b"\0\1" + name + b"\0octet\0", b"\0\2" + name + b"\0octet\0", b"\0\1a..b\0octet\0", b"\0\x09"]
sockets = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(30)]
for i, s in enumerate(sockets):
    s.bind(("127.0.0.%d" % (1 + i), 0))
start = time.monotonic()
for i in range(15000):  # 5 s
    time.sleep(max(0, start + i / 3000 - time.monotonic()))
    sockets[i % 30].sendto(kinds[i % 4], ("127.0.0.1", 69))
PY
sleep 1.5 && raw_get inside.bin >/dev/null
grep -qF "$line" "$QUILLET_LOG.bak" || fail "the earlier lines are gone: $(head -3 "$QUILLET_LOG.bak")"
flood_lines=$(grep -cE "client 127\.0\.0\.[0-9]+ \([0-9]+\): (Invalid|missing-m|a\.\.b|Write)" "$QUILLET_LOG")
echo "15,000 refused requests: $flood_lines lines, $(grep -c " more " "$QUILLET_LOG") count lines"
((flood_lines <= 200 * 7)) || fail "$flood_lines lines about the flood"
echo "PASS: $e2e_name"
