#!/bin/bash
# Guards (slow, about 90 s): a client that takes block 1 and then falls silent gets block 1 again,
# unchanged, at five ticks about 11 to 13 s apart; at the sixth the server gives up with the
# level-4 line "client %s: NAME, Closed with Socket Error, 1 blocks sent." and sends nothing more.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/big.bin" 5000
start_server

in_ns env QUILLET_LOG="$QUILLET_LOG" timeout 150 python3 - <<'PY' || fail "see above"
import os, socket, sys, time
def log():
    with open(os.environ["QUILLET_LOG"], encoding="latin-1") as f:
        return f.read()
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
s.settimeout(5)
s.sendto(b"\0\1big.bin\0octet\0", ("127.0.0.1", 69))
first, server = s.recvfrom(600)
start = time.monotonic()
gave_up = "client 127.0.0.1 (%d): big.bin, Closed with Socket Error, 1 blocks sent." % s.getsockname()[1]
resends, closed_at, deadline = [], None, start + 110
s.settimeout(0.2)
while time.monotonic() < deadline:
    try:
        packet, source = s.recvfrom(600)
        if packet != first or source != server:
            sys.exit("expected block 1 again from port 69, got %r from %r" % (packet, source))
        resends.append(time.monotonic() - start)
    except socket.timeout:
        pass
    if closed_at is None and gave_up in log():
        closed_at = time.monotonic() - start
        deadline = time.monotonic() + 3  # anything after the end would still be seen
ticks = resends + [closed_at]
print("block 1 again after %s s; gave up after %s s" % (["%.1f" % t for t in resends], closed_at))
if closed_at is None or len(resends) != 5 or not 10 < resends[0] < 26:
    sys.exit("expected five resends, then the end:\n" + log())
if any(not 10 < later - earlier < 14.5 for earlier, later in zip(ticks, ticks[1:])):
    sys.exit("the ticks were not 11 to 13 s apart")
PY
grep -qF "big.bin, Closed with Socket Error, 1 blocks sent." "$WORK/stderr" ||
    fail "standard error lacks the socket error: $(cat "$WORK/stderr")"
echo "PASS: $e2e_name"
