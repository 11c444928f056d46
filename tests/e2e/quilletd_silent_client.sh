#!/bin/bash
# Guards (slow, about 90 s): a client that takes block 1 and then falls silent gets block 1 again,
# unchanged, at five ticks about 11 to 13 s apart, and at the sixth the server gives up with the
# level-4 line "client %s: NAME, Closed with Socket Error, 1 blocks sent." (in the log and on
# standard error) within about 100 s, sending nothing more.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/big.bin" 5000
start_quilletd "$SERVED"

RAW_SECONDS=150 raw_tftp <<'PY'
import time
from tftp_raw import DATA, Client, check, log_text, rrq
client = Client()
client.send(rrq("big.bin"))
first = client.expect_data(1)
start = time.monotonic()
gave_up = "client %s: big.bin, Closed with Socket Error, 1 blocks sent." % client.text

resends = []
closed_at = None
deadline = start + 110
while time.monotonic() < deadline:
    packet = client.receive(0.2)
    now = time.monotonic() - start
    if packet is not None:
        check(packet == (DATA, 1, first), "expected block 1 again, got %r" % (packet,))
        resends.append(now)
    if closed_at is None and gave_up in log_text():
        closed_at = now
        deadline = time.monotonic() + 3  # anything after the end would still be seen
print("block 1 again after %s s; gave up after %s s"
      % (", ".join("%.1f" % t for t in resends), closed_at))

check(closed_at is not None, "the server never gave up:\n" + log_text())
check(len(resends) == 5, "block 1 came again %d times, expected 5" % len(resends))
check(10.0 < resends[0] < 26.0, "first resend after %.1f s" % resends[0])
ticks = resends + [closed_at]
for earlier, later in zip(ticks, ticks[1:]):
    check(10.0 < later - earlier < 14.5, "ticks %.1f s and %.1f s apart" % (earlier, later))
check(closed_at < 100, "gave up only after %.1f s" % closed_at)
PY
grep -qF "big.bin, Closed with Socket Error, 1 blocks sent." "$WORK/quilletd.stderr" ||
    fail "standard error lacks the socket error: $(cat "$WORK/quilletd.stderr")"
echo "PASS: $e2e_name"
