#!/bin/bash
# Guards: a client that takes block 1 and then falls silent gets block 1 again, unchanged and from
# port 69, once more than 10 s have passed: at the first tick that finds it silent that long (ticks
# come 11 to 13 s apart, so within about 26 s however the request fell between two ticks). The rest of the
# resend schedule, and giving up at the sixth tick, are unit tests with a clock the test sets.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/big.bin" 5000
start_server

in_ns timeout 45 python3 - <<'PY' || fail "see above"
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(5)
s.sendto(b"\0\1big.bin\0octet\0", ("127.0.0.1", 69))
first, server = s.recvfrom(600)
start = time.monotonic()
s.settimeout(30)
again, source = s.recvfrom(600)
after = time.monotonic() - start
print("block 1 again after %.1f s" % after)
if again != first or source != server or not 10 < after < 27:
    sys.exit("expected block 1 again from port 69 after more than 10 s, by the second tick")
PY
echo "PASS: $e2e_name"
