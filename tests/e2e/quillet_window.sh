#!/bin/bash
# Guards: the window program quillet, run for real (offscreen) on port 69, serves a file byte for
# byte to curl, logs the transfer's Connected and Served lines to "Quillet.log", and ends with
# status 0 on SIGTERM (idle) and SIGINT (a transfer open). With port 69 held it logs the bind
# failure and, once its message box is dismissed (here by SIGTERM), ends with status 3.
# shellcheck source=lib.sh
source "${E2E_LIB:-$(dirname "$0")/lib.sh}"

QUILLET=${QUILLET:?QUILLET must name the quillet program}
make_file "$SERVED/boot.img" 300000  # 586 blocks, the last one short

start_server "$QUILLET"
fetch curl boot.img "$FETCHED/boot.img" || fail "curl could not fetch boot.img"
same_bytes "$SERVED/boot.img" "$FETCHED/boot.img"
expect_log ": boot.img, Connected."
expect_log ": boot.img, Served with 586 blocks."
stop_server TERM 4000

start_server "$QUILLET"
[[ $(raw_get boot.img "" silent) == DATA ]] || fail "no block 1 of boot.img"
wait_for "$QUILLET_LOG" ": boot.img, Connected." 5 2 || fail "the open transfer was not logged"
stop_server INT 4000

hold_port_69
start_server "$QUILLET" nowait
expect_log "Bind failed, Maybe Port 69 already in use: 0x00000062" 10
sleep 0.5  # time for the message box to come up; SIGTERM dismisses it (or ends the dialog)
kill -TERM "$SERVER_PID"
await_exit 10
[[ $STATUS -eq 3 ]] || fail "port 69 held: exit status $STATUS, expected 3"
echo "PASS: $e2e_name"
