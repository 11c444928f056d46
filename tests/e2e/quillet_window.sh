#!/bin/bash
# Guards: the window program quillet, run for real (offscreen) on port 69, serves a file
# byte for byte to curl, logs the transfer's Connected and Served lines to "Quillet.log", and
# ends within a few seconds with status 0 on SIGTERM (idle) and SIGINT (a transfer open). With
# port 69 taken it logs the bind failure and, once its message box is dismissed (here by
# SIGTERM), ends with status 3.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

QUILLET=${QUILLET:?QUILLET must name the quillet program}

# Starts quillet in the namespace on $SERVED, with its settings under $WORK/home; sets
# QUILLET_PID.
start_quillet() {
    mkdir -p "$WORK/home" "$WORK/runtime"
    chmod 700 "$WORK/runtime"
    (cd "$SERVED" && HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" \
        XDG_RUNTIME_DIR="$WORK/runtime" QT_QPA_PLATFORM=offscreen \
        exec ip netns exec "$NS" "$QUILLET" 2>>"$WORK/quillet.stderr") &
    QUILLET_PID=$!
    E2E_PIDS+=("$QUILLET_PID")
}

# Sends signal $1 to quillet and waits up to $2 seconds for it to end (killing it after that),
# with lib.sh's stop_quilletd, which works on any process of ours. Sets QUILLET_STATUS and
# STOP_MILLISECONDS.
stop_quillet() {
    QUILLETD_PID=$QUILLET_PID
    stop_quilletd "$@"
    QUILLET_STATUS=$QUILLETD_STATUS
}

make_file "$SERVED/boot.img" 300000  # 586 blocks, the last one short

# 1. A fetch with curl, then SIGTERM while idle.
start_quillet
expect_log "Quillet Server Ready..." 10
fetch curl boot.img "$FETCHED/boot.img" || fail "curl could not fetch boot.img"
same_bytes "$SERVED/boot.img" "$FETCHED/boot.img"
expect_log ": boot.img, Connected."
expect_log ": boot.img, Served with 586 blocks."
stop_quillet TERM 10
[[ $QUILLET_STATUS -eq 0 ]] || fail "SIGTERM: exit status $QUILLET_STATUS"
((STOP_MILLISECONDS <= 4000)) || fail "SIGTERM: took $STOP_MILLISECONDS ms"
echo "SIGTERM (idle): ended in $STOP_MILLISECONDS ms"

# 2. SIGINT while a client holds a transfer open (it took block 1 and went silent).
start_quillet
wait_for_count "$QUILLET_LOG" "Quillet Server Ready..." 2 10 || fail "no second start"
raw_tftp <<'PY'
from tftp_raw import Client, rrq
client = Client()
client.send(rrq("boot.img"))
client.expect_data(1)
PY
wait_for_count "$QUILLET_LOG" ": boot.img, Connected." 2 5 || fail "the open transfer was not logged"
stop_quillet INT 10
[[ $QUILLET_STATUS -eq 0 ]] || fail "SIGINT: exit status $QUILLET_STATUS"
((STOP_MILLISECONDS <= 4000)) || fail "SIGINT: took $STOP_MILLISECONDS ms"
echo "SIGINT (transfer open): ended in $STOP_MILLISECONDS ms"

# 3. Port 69 taken: the failure is logged, and the program ends with 3 after its message box.
# Run directly (not through in_ns) so that \$! is the holder itself.
ip netns exec "$NS" python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 69))
time.sleep(30)  # a bound: it is killed long before
' &
holder=$!
E2E_PIDS+=("$holder")
sleep 0.5
start_quillet
expect_log "Bind failed, Maybe Port 69 already in use: 0x00000062" 10
sleep 0.5  # time for the message box to come up; SIGTERM dismisses it (or ends the dialog)
stop_quillet TERM 10
[[ $QUILLET_STATUS -eq 3 ]] || fail "port in use: exit status $QUILLET_STATUS, not 3"
kill "$holder" 2>/dev/null || true

echo "PASS: $e2e_name"
