# Shared helpers for the end-to-end tests. Source it first thing:
#   source "${E2E_LIB:-$(dirname "$0")/lib.sh}"
# It makes a network namespace and a work directory of the test's own and removes both, and stops
# every process the test started in the background, when the script exits.
set -euo pipefail

e2e_name=$(basename "$0" .sh)

if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: $e2e_name needs root for its network namespace"
    exit 77
fi

QUILLETD=${QUILLETD:?QUILLETD must name the quilletd program}
NS="quillet-e2e-$e2e_name-$$"
WORK=$(mktemp -d "/tmp/quillet-e2e-$e2e_name.XXXXXX")
E2E_PIDS=()

e2e_cleanup() {
    local pid
    for pid in "${E2E_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${E2E_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    ip netns del "$NS" 2>/dev/null || true
    if [[ ${E2E_KEEP_WORK:-0} != 1 ]]; then
        rm -rf "$WORK"
    else
        echo "work directory kept: $WORK"
    fi
}
trap e2e_cleanup EXIT

ip netns add "$NS"
ip netns exec "$NS" ip link set lo up

# Runs a command inside the test's namespace.
in_ns() {
    ip netns exec "$NS" "$@"
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Starts quilletd in the namespace, serving directory $1, with its settings under $WORK/home.
# Sets QUILLETD_PID and waits until the server reports that it is ready.
start_quilletd() {
    local root=$1
    mkdir -p "$WORK/home"
    (cd "$root" && HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" \
        exec ip netns exec "$NS" "$QUILLETD" 2>"$WORK/quilletd.stderr") &
    QUILLETD_PID=$!
    E2E_PIDS+=("$QUILLETD_PID")
    wait_for_line "$WORK/quilletd.stderr" "Quillet Server Ready..." 10 ||
        fail "quilletd did not report ready: $(cat "$WORK/quilletd.stderr")"
}

# Waits up to $3 seconds for file $1 to contain the fixed text $2.
wait_for_line() {
    local file=$1 text=$2 seconds=$3 i
    for ((i = 0; i < seconds * 10; i++)); do
        if [[ -f $file ]] && grep -qF -- "$text" "$file"; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Makes file $1 of $2 random bytes.
make_file() {
    head -c "$2" /dev/urandom >"$1"
}

# --- Helpers for the quilletd scripts: real clients, raw UDP, stopping, and the files to look at.

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export E2E_DIR

# Where a script keeps the files it serves and what its clients fetch.
SERVED="$WORK/served"
FETCHED="$WORK/fetched"
mkdir -p "$SERVED" "$FETCHED"

# The log file and the settings file of a quilletd started by start_quilletd on $SERVED.
QUILLET_LOG="$SERVED/Quillet.log"
QUILLET_SETTINGS="$WORK/home/.config/Carrowmore/Quillet.conf"

# Fetches remote file $2 into local file $3 from the server in the namespace with client $1:
# hpa (tftp-hpa, binary), netascii (tftp-hpa, netascii), curl, atftp or busybox. Returns the
# client's exit status; every client is given at most ${FETCH_SECONDS:-60} seconds.
fetch() {
    local client=$1 remote=$2 local=$3 limit=${FETCH_SECONDS:-60}
    case $client in
        hpa) in_ns timeout "$limit" tftp -m binary 127.0.0.1 69 -c get "$remote" "$local" ;;
        netascii) in_ns timeout "$limit" tftp 127.0.0.1 69 -c get "$remote" "$local" ;;
        curl) in_ns timeout "$limit" curl -sS -o "$local" "tftp://127.0.0.1:69/$remote" ;;
        atftp) in_ns timeout "$limit" atftp -g -r "$remote" -l "$local" 127.0.0.1 69 ;;
        busybox) in_ns timeout "$limit" busybox tftp -g -r "$remote" -l "$local" 127.0.0.1 69 ;;
        *) fail "unknown client $client" ;;
    esac
}

# Fails unless local file $2 holds exactly the bytes of served file $1.
same_bytes() {
    cmp -s "$1" "$2" || fail "$2 differs from $1 ($(stat -c %s "$1") bytes served, $(stat -c %s "$2" 2>/dev/null || echo no) bytes fetched)"
}

# Runs the Python program on standard input in the namespace, with tftp_raw importable. It may
# run for at most ${RAW_SECONDS:-60} seconds.
raw_tftp() {
    in_ns env PYTHONPATH="$E2E_DIR" PYTHONDONTWRITEBYTECODE=1 QUILLET_LOG="$QUILLET_LOG" \
        timeout "${RAW_SECONDS:-60}" python3 - "$@"
}

# Runs quilletd in the namespace on directory $1 in the foreground, for at most $2 seconds, with
# its standard error in $WORK/quilletd.stderr; sets QUILLETD_STATUS to its exit status.
run_quilletd() {
    local root=$1 seconds=$2
    mkdir -p "$WORK/home"
    QUILLETD_STATUS=0
    (cd "$root" && HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" \
        exec timeout "$seconds" ip netns exec "$NS" "$QUILLETD" 2>"$WORK/quilletd.stderr") ||
        QUILLETD_STATUS=$?
}

# Sends signal $1 to the quilletd of start_quilletd and waits for it to end, killing it after $2
# seconds. Sets QUILLETD_STATUS to its exit status and STOP_MILLISECONDS to how long it took.
stop_quilletd() {
    local signal=$1 seconds=$2 started state i
    started=$(date +%s%N)
    kill -s "$signal" "$QUILLETD_PID"
    # An ended child is a zombie (state Z) until bash reaps it, and then gone.
    for ((i = 0; i < seconds * 100; i++)); do
        if ! read -r _ _ state _ 2>/dev/null <"/proc/$QUILLETD_PID/stat"; then
            state=gone
        fi
        [[ $state == Z || $state == gone ]] && break
        sleep 0.01
    done
    STOP_MILLISECONDS=$((($(date +%s%N) - started) / 1000000))
    if [[ $state != Z && $state != gone ]]; then
        kill -KILL "$QUILLETD_PID" 2>/dev/null || true
    fi
    QUILLETD_STATUS=0
    wait "$QUILLETD_PID" || QUILLETD_STATUS=$?
}

# Counts the lines of file $1 that contain the fixed text $2.
count_lines() {
    grep -cF -- "$2" "$1" || true
}

# Fails unless the log file holds a line with the fixed text $1 within $2 (default 5) seconds.
expect_log() {
    wait_for_line "$QUILLET_LOG" "$1" "${2:-5}" || fail "no log line \"$1\" in: $(cat "$QUILLET_LOG")"
}

# Waits up to $4 seconds for file $1 to hold at least $3 lines that contain the fixed text $2.
wait_for_count() {
    local file=$1 text=$2 count=$3 seconds=$4 i
    for ((i = 0; i < seconds * 10; i++)); do
        if [[ -f $file && $(count_lines "$file" "$text") -ge $count ]]; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}
