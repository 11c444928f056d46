#!/bin/bash
# Benchmarks quilletd under load and, when it is installed, tftpd-hpa's in.tftpd for comparison.
# Each server runs on port 69 in a network namespace of its own, serving the same files, and
# bench/tftp_load (raw UDP lock-step clients) fetches from it over loopback in a few scenarios.
# Prints the load generator's numbers per scenario, the server's CPU time, and its peak resident
# memory.
#
#   sudo bench/run.sh [BUILD_DIR]        BUILD_DIR defaults to ./build of the source tree
#
# Needs root (network namespaces). Every run is bounded: tftp_load stops after its transfers or
# after 120 s, and each server is stopped by its own PID at the end.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build}
quilletd=${QUILLETD:-$build_dir/src/quilletd}
load=${TFTP_LOAD:-$build_dir/bench/tftp_load}

if [[ $(id -u) -ne 0 ]]; then
    echo "run.sh needs root for its network namespaces" >&2
    exit 1
fi
for program in "$quilletd" "$load"; do
    [[ -x $program ]] || { echo "missing $program: build first (cmake --build build)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/quillet-bench.XXXXXX)
chmod 755 "$work"  # in.tftpd serves as user tftp
namespaces=()
server_pid=

cleanup() {
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    local namespace
    for namespace in "${namespaces[@]}"; do
        ip netns del "$namespace" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

files="$work/files"
mkdir -p "$files" "$work/home"
head -c 1048576 /dev/urandom >"$files/1m.bin"
head -c 1000 /dev/urandom >"$files/1k.bin"
chmod -R a+rX "$files"
chmod a+w "$files"  # quilletd writes its log here

# name | file | concurrent clients | transfers
scenarios=(
    "1 client, 1 MiB files|1m.bin|1|20"
    "20 clients, 1 MiB files|1m.bin|20|200"
    "100 clients, 1 MiB files|1m.bin|100|300"
    "64 clients, 1000-byte files|1k.bin|64|5000"
)

clock_ticks=$(getconf CLK_TCK)

# CPU seconds used so far by process $1 and the children it has reaped.
cpu_seconds() {
    local fields
    read -r -a fields <"/proc/$1/stat"
    # utime, stime, cutime, cstime are fields 14 to 17 (1-based).
    echo "scale=2; (${fields[13]} + ${fields[14]} + ${fields[15]} + ${fields[16]}) / $clock_ticks" | bc
}

# The resident memory (kB) of process $1 and its children, now.
family_rss_kb() {
    local total=0 pid key value
    for pid in "$1" $(pgrep -P "$1" || true); do
        while read -r key value _; do
            if [[ $key == VmRSS: ]]; then
                total=$((total + value))
            fi
        done 2>/dev/null <"/proc/$pid/status" || true  # a child may end meanwhile
    done
    echo "$total"
}

# Runs every scenario against one server: $1 is its label, $2 "one-process" or "forking" (a
# process per transfer, whose CPU time cannot be read from the server's own counters), the rest
# its command line, which runs in $files inside a namespace of its own.
benchmark() {
    local label=$1 kind=$2
    shift 2
    local namespace="quillet-bench-$label-$$"
    namespaces+=("$namespace")
    ip netns add "$namespace"
    ip netns exec "$namespace" ip link set lo up

    (cd "$files" && HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
        exec ip netns exec "$namespace" "$@" 2>"$work/$label.stderr") &
    server_pid=$!
    local i
    for ((i = 0; i < 100; i++)); do
        if [[ -n $(ip netns exec "$namespace" ss -Hlun 'sport = :69') ]]; then
            break
        fi
        sleep 0.1
    done
    [[ -n $(ip netns exec "$namespace" ss -Hlun 'sport = :69') ]] ||
        { echo "$label did not bind port 69: $(cat "$work/$label.stderr")" >&2; exit 1; }

    echo "=== $label ($*)"
    local scenario name file concurrency transfers cpu_before peak sampler
    for scenario in "${scenarios[@]}"; do
        IFS='|' read -r name file concurrency transfers <<<"$scenario"
        echo "--- $name: $transfers transfers, $concurrency at a time"
        cpu_before=$(cpu_seconds "$server_pid")
        # Sample the memory of the server and its children while the load runs.
        (
            peak=0
            while kill -0 "$server_pid" 2>/dev/null; do
                rss=$(family_rss_kb "$server_pid")
                ((rss > peak)) && peak=$rss
                echo "$peak" >"$work/peak"
                sleep 0.2
            done
        ) &
        sampler=$!
        ip netns exec "$namespace" "$load" 127.0.0.1 69 "$file" -c "$concurrency" -n "$transfers" \
            -s 120 || echo "(tftp_load reported failed or unfinished transfers)"
        kill "$sampler" 2>/dev/null || true
        wait "$sampler" 2>/dev/null || true
        if [[ $kind == one-process ]]; then
            echo "server CPU:      $(echo "$(cpu_seconds "$server_pid") - $cpu_before" | bc) s"
        fi
        echo "server memory:   $(cat "$work/peak" 2>/dev/null || echo "?") kB peak RSS, sampled every 0.2 s (with its children)"
    done
    echo "--- peak RSS of the server process (VmHWM): $(awk '/^VmHWM:/ {print $2, $3}' "/proc/$server_pid/status")"

    kill -TERM "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    server_pid=
    echo
}

benchmark quilletd one-process "$quilletd"
if command -v in.tftpd >/dev/null; then
    # Standalone in the foreground, serving the same directory (chrooted) as user tftp.
    benchmark in.tftpd forking in.tftpd --foreground --secure --user tftp "$files"
else
    echo "in.tftpd (tftpd-hpa) is not installed: no comparison"
fi
