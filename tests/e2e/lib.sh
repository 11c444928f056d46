# shellcheck shell=bash
# Shared helpers for the end-to-end tests, sourced first thing: a network namespace and a work
# directory of the test's own, both removed at exit after every background process it started.
set -euo pipefail

e2e_name=$(basename "$0" .sh)
if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: $e2e_name needs root for its network namespace"
    exit 77
fi

QUILLETD=${QUILLETD:?QUILLETD must name the quilletd program}
E2E_DIR=$(dirname "${BASH_SOURCE[0]}")
NS="quillet-e2e-$e2e_name-$$"
WORK=$(mktemp -d "/tmp/quillet-e2e-$e2e_name.XXXXXX")
SERVED="$WORK/served"    # what the server serves, and where it writes its log
FETCHED="$WORK/fetched"  # what the clients fetch
QUILLET_LOG="$SERVED/Quillet.log"
QUILLET_SETTINGS="$WORK/home/.config/Carrowmore/Quillet.conf"
mkdir -p "$SERVED" "$FETCHED" "$(dirname "$QUILLET_SETTINGS")"
mkdir -m 700 "$WORK/runtime"
E2E_PIDS=()

e2e_cleanup() {
    local pid
    for pid in "${E2E_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${E2E_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    ip netns del "$NS" 2>/dev/null || true
    rm -rf "$WORK"
}
trap e2e_cleanup EXIT
ip netns add "$NS"
ip netns exec "$NS" ip link set lo up

in_ns() { ip netns exec "$NS" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
make_file() { head -c "$2" /dev/urandom >"$1"; }
count_lines() { local n && n=$(grep -cF -- "$2" "$1" 2>/dev/null || true) && echo "${n:-0}"; }
settings() { printf '[General]\n%s\n' "$@" >"$QUILLET_SETTINGS"; }
# Waits up to $3 seconds for file $1 to hold at least ${4:-1} lines with the fixed text $2.
wait_for() {
    local i
    for ((i = 0; i < $3 * 10; i++)); do (($(count_lines "$1" "$2") >= ${4:-1})) && return 0; sleep 0.1; done
    return 1
}
expect_log() { wait_for "$QUILLET_LOG" "$1" "${2:-5}" || fail "no log line \"$1\" in: $(tail -5 "$QUILLET_LOG")"; }

# Starts program $1 (quilletd by default) in the namespace in the background, serving $SERVED,
# standard error appended to ${SERVER_STDERR:-$WORK/stderr}; sets SERVER_PID. Unless $2 is
# "nowait", waits until it has logged that it is ready.
start_server() {
    local ready
    ready=$(count_lines "$QUILLET_LOG" "Quillet Server Ready...")
    (cd "$SERVED" && HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" \
        XDG_RUNTIME_DIR="$WORK/runtime" QT_QPA_PLATFORM=offscreen \
        exec ip netns exec "$NS" "${1:-$QUILLETD}" 2>>"${SERVER_STDERR:-$WORK/stderr}") &
    SERVER_PID=$!
    E2E_PIDS+=("$SERVER_PID")
    [[ ${2:-} == nowait ]] || wait_for "$QUILLET_LOG" "Quillet Server Ready..." 10 $((ready + 1)) ||
        fail "the server did not report ready: $(cat "$WORK/stderr" "$QUILLET_LOG")"
}

# Waits up to $1 seconds for the server to end (killing it after that); sets STATUS to its exit
# status and MS to the milliseconds since $2 (date +%s%N, now by default).
await_exit() {
    local started=${2:-$(date +%s%N)} i
    # An ended child stays a zombie (state Z) until it is waited for.
    for ((i = 0; i < $1 * 100; i++)); do
        [[ $(cut -d' ' -f3 "/proc/$SERVER_PID/stat" 2>/dev/null || echo Z) == Z ]] && break
        sleep 0.01
    done
    MS=$((($(date +%s%N) - started) / 1000000))
    kill -KILL "$SERVER_PID" 2>/dev/null || true
    STATUS=0
    wait "$SERVER_PID" || STATUS=$?
}

# Waits up to $1 seconds for the server to end with status $2.
expect_exit() { await_exit "$1"; [[ $STATUS -eq $2 ]] || fail "exit status $STATUS, expected $2"; }

# Sends signal $1 to the server and expects it to end with status 0 within $2 milliseconds.
stop_server() {
    local started
    started=$(date +%s%N)
    kill -s "$1" "$SERVER_PID"
    await_exit 10 "$started"
    [[ $STATUS -eq 0 ]] || fail "SIG$1: exit status $STATUS"
    ((MS <= $2)) || fail "SIG$1: ended only after $MS ms"
    echo "SIG$1: ended in $MS ms"
}

# Fetches remote file $2 into local file $3 with client $1 from ${HOST:-127.0.0.1} (or ::1) within
# ${FETCH_SECONDS:-60} seconds; returns the client's status. hpa, curl, atftp and busybox ask for no
# option (curl for tsize and blksize 512 of its own); curl1468 and busybox1468 ask for blocks of
# 1468, atftp8 for those and windows of 8.
fetch() {
    local t=(in_ns timeout "${FETCH_SECONDS:-60}") host=${HOST:-127.0.0.1} url=${HOST:-127.0.0.1} six=()
    [[ $host != *:* ]] || url="[$host]" six=(-6)
    case $1 in
        hpa) "${t[@]}" tftp "${six[@]}" -m binary "$host" 69 -c get "$2" "$3" ;;
        curl) "${t[@]}" curl -sS -o "$3" "tftp://$url:69/$2" ;;
        curl1468) "${t[@]}" curl -sS --tftp-blksize 1468 -o "$3" "tftp://$url:69/$2" ;;
        atftp) "${t[@]}" atftp -g -r "$2" -l "$3" "$host" 69 ;;
        atftp8) "${t[@]}" atftp --option "blksize 1468" --option "windowsize 8" --tftp-timeout 1 \
            -g -r "$2" -l "$3" "$host" 69 ;;
        busybox) "${t[@]}" busybox tftp -g -r "$2" -l "$3" "$host" 69 ;;
        busybox1468) "${t[@]}" busybox tftp -b 1468 -g -r "$2" -l "$3" "$host" 69 ;;
        *) fail "unknown client $1" ;;
    esac
}

# Fails unless local file $2 holds exactly the bytes of served file $1.
same_bytes() {
    cmp -s "$1" "$2" || fail "$2 differs from $1 ($(stat -c %s "$1") bytes served, $(stat -c %s "$2" 2>/dev/null || echo no) bytes fetched)"
}

# The rows of set $1 in fetches.txt, one "client size" pair a line.
fetch_rows() { awk -v set="$1" '$1 == set { for (i = 3; i <= NF; i++) print $2, $i }' "$E2E_DIR/fetches.txt"; }

# Makes file-SIZE.bin in the served folder for every size of the sets named.
make_fetch_files() {
    local set client size
    for set; do
        while read -r client size; do
            size=${size#!}
            [[ -e $SERVED/file-$size.bin ]] || make_file "$SERVED/file-$size.bin" "$size"
        done < <(fetch_rows "$set")
    done
}

# Every row of set $1: the client fetches file-SIZE.bin byte for byte, or, for a size marked
# "!", gets no such file.
fetch_set() {
    local client size
    while read -r client size <&3; do
        [[ $size == !* ]] || { fetch_one "$client" "$size" && continue; }
        ! fetch "$client" "file-${size#!}.bin" "$FETCHED/$client-$size" 2>/dev/null ||
            [[ ! -s $FETCHED/$client-$size ]] || fail "$client: ${size#!} bytes served"
    done 3< <(fetch_rows "$1")
}
fetch_one() {
    fetch "$1" "file-$2.bin" "$FETCHED/$1-$2" || fail "$1: $2 bytes"
    same_bytes "$SERVED/file-$2.bin" "$FETCHED/$1-$2"
}

# The raw client of probe.py, in the namespace.
probe() { in_ns timeout 60 python3 "$E2E_DIR/probe.py" "$@"; }
raw_get() { in_ns timeout 10 python3 "$E2E_DIR/probe.py" get "$1" "${2:-/dev/null}" "${3:-ack}"; }

# The served folder's files and links that names.txt asks for (a FIFO too, on Linux).
make_names_fixture() {
    mkdir -p "$SERVED/etc" "$SERVED/sub" "$SERVED/adir"
    echo "root:x:0:0:the served folder's copy:/:/bin/false" >"$SERVED/etc/passwd"
    make_file "$SERVED/sub/inner.bin" 700
    make_file "$SERVED/grüße.bin" 600
    make_file "$WORK/secret.bin" 300 # outside the folder
    ln -s /etc/passwd "$SERVED/abs-out"
    ln -s ../../../../../../../../etc/passwd "$SERVED/rel-out"
    ln -s /etc "$SERVED/escape-dir"
    ln -s "$WORK/secret.bin" "$SERVED/abs-secret"
    ln -s ../secret.bin "$SERVED/rel-secret"
    ln -s sub/inner.bin "$SERVED/link.bin"
    ln -s Quillet.log "$SERVED/log-link"
}

# Holds UDP port 69 in the namespace until the script ends (at most 60 s) or HOLDER_PID is ended.
hold_port_69() {
    ip netns exec "$NS" python3 "$E2E_DIR/probe.py" hold >"$WORK/holder" &
    HOLDER_PID=$!
    E2E_PIDS+=("$HOLDER_PID")
    wait_for "$WORK/holder" held 10 || fail "could not hold port 69"
}
release_port_69() { kill "$HOLDER_PID" && wait "$HOLDER_PID" 2>/dev/null || true; }

# The Windows tests: Wine in a prefix of the test's own (sockets belong to the prefix's wineserver,
# so prefixes are not shared), stopped when the script ends. wine_in_ns runs a Windows program in
# the namespace from the work folder (Wine would run a program of ours found in the current folder
# before its own), its output without CRs.
use_wine() {
    WINE_RUN=${WINE_RUN:?WINE_RUN must name tests/wine/run.sh}
    export WINEPREFIX="$WORK/prefix"
    trap 'wineserver -k 2>/dev/null || true; e2e_cleanup' EXIT
}
wine_in_ns() { (cd "$WORK" && in_ns "$WINE_RUN" "$@" 2>&1 | tr -d '\r'); }
