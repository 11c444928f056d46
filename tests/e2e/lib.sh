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
