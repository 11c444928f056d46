#!/bin/bash
# Profiles quilletd per DATA block: runs it on port 69 in a network namespace of its own, pinned to
# one core, and drives tftp_load against it three times:
#   1. under `strace -c -f`: the system calls, counted and divided by the blocks sent;
#   2. under `perf stat` (software counters; hardware ones where the machine has them): CPU per
#      block and per MB;
#   3. under `perf record -e cpu-clock -g`: the functions the CPU time went to (top entries).
#
#   sudo bench/profile.sh [BUILD_DIR]     env: SCENARIO, CLIENTS, TRANSFERS, SERVER_CPU (1), LOAD_CPU (0)
#
# SCENARIO=lockstep (the default): CLIENTS (8) clients, TRANSFERS (64) x 1 MiB, no options, 512-byte
# blocks. SCENARIO=e: CLIENTS (1) client, TRANSFERS (8) x 32 MiB asking blksize 1468 and windowsize
# 16 (quilletd runs with TFTP_OPTIONS=1), as run.sh's scenario of that name.
#
# strace slows the server down many times over, so its run gives counts, not times. Every run is
# bounded by tftp_load's -s limit and timeout(1); the server is stopped by its PID.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build}
quilletd=$build_dir/src/quilletd
load=$build_dir/bench/tftp_load
scenario=${SCENARIO:-lockstep}
case $scenario in
    lockstep)
        clients=${CLIENTS:-8} transfers=${TRANSFERS:-64} file_size=1048576 block_size=512 asks=()
        ;;
    e)
        clients=${CLIENTS:-1} transfers=${TRANSFERS:-8} file_size=33554432 block_size=1468
        asks=(-b 1468 -w 16)
        ;;
    *) echo "SCENARIO is lockstep or e" >&2; exit 1 ;;
esac
server_cpu=${SERVER_CPU:-1}
load_cpu=${LOAD_CPU:-0}

[[ $(id -u) -eq 0 ]] || { echo "profile.sh needs root for its network namespace" >&2; exit 1; }
for program in "$quilletd" "$load" strace perf; do
    command -v "$program" >/dev/null || { echo "missing $program" >&2; exit 1; }
done

work=$(mktemp -d /tmp/quillet-profile.XXXXXX)
chmod 755 "$work"
namespace="quillet-profile-$$"
server_pid=
cleanup() {
    if [[ -n $server_pid ]]; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    ip netns del "$namespace" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$namespace"
ip netns exec "$namespace" ip link set lo up
mkdir -p "$work/files" "$work/home/.config/Carrowmore"
head -c "$file_size" /dev/urandom >"$work/files/load.bin"
if [[ $scenario == e ]]; then
    printf '[General]\nTFTP_OPTIONS=1\n' >"$work/home/.config/Carrowmore/Quillet.conf"
fi
# The full blocks and the shorter (perhaps empty) one that ends the file.
blocks=$((transfers * (file_size / block_size + 1)))
megabytes=$(echo "scale=6; $transfers * $file_size / 1000000" | bc)

# Runs quilletd under the given tool (its PID is the tool's), drives the load, stops the server.
profiled_run() {
    (
        cd "$work/files"
        export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
        exec ip netns exec "$namespace" taskset -c "$server_cpu" "$@" "$quilletd"
    ) 2>"$work/server.err" &
    server_pid=$!
    for _ in $(seq 100); do
        [[ -n $(ip netns exec "$namespace" ss -Hlun 'sport = :69') ]] && break
        sleep 0.1
    done
    timeout 200 ip netns exec "$namespace" taskset -c "$load_cpu" "$load" 127.0.0.1 69 load.bin \
        -c "$clients" -n "$transfers" -s 150 "${asks[@]}" |
        grep -E '^(transfers|throughput|retransmissions|options|failed)' || true
    # Stop quilletd itself (the tool's child, by its PID); the tool then reports and ends.
    local child
    for child in $(pgrep -P "$server_pid" || true); do
        kill -INT "$child" 2>/dev/null || true
    done
    for _ in $(seq 100); do
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

echo "=== system calls ($clients clients, $transfers x $file_size B, ${asks[*]:-no options}: $blocks DATA blocks)"
profiled_run strace -c -f -o "$work/strace.txt"
awk -v blocks="$blocks" -v megabytes="$megabytes" '
    /^[ ]*[0-9.]+[ ]+[0-9.]+/ && $NF != "total" {
        calls = ($4 ~ /^[0-9]+$/) ? $4 : 0
        printf "%-16s %10d calls  %6.3f per block\n", $NF, calls, calls / blocks
        sum += calls
    }
    END {
        printf "%-16s %10d calls  %6.3f per block\n", "all", sum, sum / blocks
        printf "%-16s %10d calls  %6.1f per MB\n", "all", sum, sum / megabytes
    }' \
    "$work/strace.txt"

echo
echo "=== CPU"
profiled_run perf stat -e task-clock,context-switches,instructions,cycles -o "$work/stat.txt"
grep -E 'task-clock|context-switches|instructions|cycles|elapsed' "$work/stat.txt" || true
task_ms=$(awk '/task-clock/ { gsub(",", "", $1); print $1 }' "$work/stat.txt")
echo "CPU per block: $(echo "scale=3; $task_ms * 1000 / $blocks" | bc) microseconds"
echo "CPU per MB:    $(echo "scale=3; $task_ms / $megabytes" | bc) milliseconds"

echo
echo "=== where the CPU time goes (perf record -e cpu-clock -g: samples by the system call they fell in)"
profiled_run perf record -q -e cpu-clock -g -o "$work/perf.data"
# Each sample is charged to the outermost system call on its stack, known by its kernel function
# (the __x64_sys_ entry points may be inlined), or to user space when the sample is there; the
# kernel's own time outside any call (interrupts, the scheduler) goes to "other kernel".
perf script -i "$work/perf.data" -F ip,sym 2>/dev/null | awk '
    BEGIN {
        n = split("__sys_sendto sendto __sys_sendmsg sendmsg __sys_sendmmsg sendmmsg do_sys_poll poll ___sys_recvmsg recvmsg " \
                  "do_recvmmsg recvmmsg ksys_read read ksys_pread64 pread64 __x64_sys_pread64 pread64 " \
                  "do_epoll_wait epoll_wait do_sys_openat2 openat __x64_sys_close close ksys_write write", pairs, " ")
        for (i = 1; i < n; i += 2) name[pairs[i]] = pairs[i + 1]
    }
    function charge() {
        if (!started) return
        where = syscall != "" ? syscall : (user ? "user space" : "other kernel")
        count[where]++; total++
    }
    NF == 0 { charge(); started = 0; syscall = ""; user = 0; next }
    {
        if (!started) { started = 1; user = ($1 !~ /^ffff/) }
        symbol = $2; sub(/\+0x[0-9a-f]+$/, "", symbol)
        if (symbol in name) syscall = name[symbol]
    }
    END {
        charge()
        for (where in count) printf "%-16s %5.1f%%\n", where, 100 * count[where] / total
    }' | sort -k2 -rn
echo
echo "top functions (self time):"
perf report -i "$work/perf.data" --no-children --percent-limit 2 --stdio -g none --sort dso,symbol \
    2>/dev/null | grep -E '^ +[0-9]' | cut -c1-100 | head -20
