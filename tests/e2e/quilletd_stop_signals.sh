#!/bin/bash
# Guards: SIGTERM and SIGINT each stop quilletd within about 2 s with exit status 0, idle or with
# a transfer open, and the stopped server has let go of port 69 (the next one binds it).
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

make_file "$SERVED/big.bin" 100000
for signal in TERM INT; do
    for situation in idle transfer-open; do
        start_quilletd "$SERVED"
        if [[ $situation == transfer-open ]]; then
            # A client that takes block 1 and then stays silent keeps its session open.
            raw_tftp <<'PY'
from tftp_raw import Client, rrq
client = Client()
client.send(rrq("big.bin"))
client.expect_data(1)
PY
            expect_log ": big.bin, Connected."
        else
            sleep 1
        fi
        stop_quilletd "$signal" 10
        [[ $QUILLETD_STATUS -eq 0 ]] || fail "SIG$signal ($situation): exit status $QUILLETD_STATUS"
        ((STOP_MILLISECONDS <= 2500)) || fail "SIG$signal ($situation): took $STOP_MILLISECONDS ms"
        echo "SIG$signal ($situation): stopped in $STOP_MILLISECONDS ms"
    done
done
[[ $(count_lines "$QUILLET_LOG" "Quillet Server Ready...") -eq 4 ]] ||
    fail "a restart could not bind port 69: $(cat "$QUILLET_LOG")"
echo "PASS: $e2e_name"
