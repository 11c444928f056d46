#!/bin/bash
# Benchmarks the transfer options: one atftp client fetches the same file in 512-byte lock-step,
# with blksize 1468, and with blksize 1468 and windowsize 16, from quilletd (TFTP_OPTIONS=1) and
# from the peers that are installed (tftpd-hpa's in.tftpd, dnsmasq), each on port 69 in a network
# namespace of its own. Each runs twice: over bare loopback, and through bench/udp_delay holding
# every datagram DELAY_US (250) microseconds each way, the half-millisecond round trip of a LAN.
# Prints MB/s (10^6 bytes) per client setting, the best of RUNS (3), and the options each server
# acknowledged in its OACK (from a traced fetch). A peer that does not acknowledge windowsize runs
# that case in lock-step with blocks of 1468.
#
#   sudo bench/options.sh [BUILD_DIR]     SIZE_MB (8), RUNS (3), DELAY_US (250) in the environment
#
# Needs root (network namespaces). Bounded: each fetch ends within 120 s, the relay after 600 s,
# and every process started here is stopped by its own PID at the end.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build}
quilletd=$build_dir/src/quilletd
relay=$build_dir/bench/udp_delay
size_mb=${SIZE_MB:-8}
runs=${RUNS:-3}
delay_us=${DELAY_US:-250}
[[ $(id -u) -eq 0 ]] || { echo "options.sh needs root for its network namespaces" >&2; exit 1; }
for program in "$quilletd" "$relay" "$(command -v atftp)"; do
    [[ -x $program ]] || { echo "missing $program" >&2; exit 1; }
done

work=$(mktemp -d /tmp/quillet-bench-options.XXXXXX)
chmod 755 "$work"
namespace="quillet-bench-options-$$"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    ip netns del "$namespace" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/served" "$work/config/Carrowmore" "$work/peer"
chmod 755 "$work/served"
printf '[General]\nTFTP_OPTIONS=1\n' >"$work/config/Carrowmore/Quillet.conf"
head -c $((size_mb * 1000000)) /dev/urandom >"$work/served/bench.bin"
head -c 100000 /dev/urandom >"$work/served/probe.bin"
chmod 644 "$work/served/bench.bin" "$work/served/probe.bin"
ip netns add "$namespace"
ip netns exec "$namespace" ip link set lo up
in_ns() { ip netns exec "$namespace" "$@"; }

# Starts a server (the command line) in the namespace and waits until port 69 is bound.
start_server() {
    (cd "$work/served" && XDG_CONFIG_HOME="$work/config" exec ip netns exec "$namespace" "$@" \
        >"$work/server.out" 2>&1) &
    server_pid=$!
    pids+=("$server_pid")
    for _ in $(seq 50); do
        [[ -n $(in_ns ss -Hlun 'sport = :69') ]] && return 0
        sleep 0.1
    done
    echo "the server did not bind port 69: $(cat "$work/server.out")" >&2
    exit 1
}
stop_server() {
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    for _ in $(seq 50); do
        [[ -z $(in_ns ss -Hlun 'sport = :69') ]] && return 0
        sleep 0.1
    done
}

# Prints the best MB/s of $runs fetches through port $1 with the atftp options that follow.
best_rate() {
    local port=$1 best=0 run started ns rate
    shift
    for ((run = 0; run < runs; run++)); do
        rm -f "$work/fetched"
        started=$(date +%s%N)
        in_ns timeout 120 atftp "$@" -g -r bench.bin -l "$work/fetched" 127.0.0.1 "$port" \
            >"$work/atftp.out" 2>&1 || true
        ns=$(($(date +%s%N) - started))
        cmp -s "$work/served/bench.bin" "$work/fetched" || { echo "failed"; return; }
        rate=$((size_mb * 1000000 * 1000 / (ns / 1000)))  # bytes per millisecond = kB/s
        ((rate > best)) && best=$rate
    done
    printf '%d.%02d' $((best / 1000)) $((best % 1000 / 10))
}

settings=("lock-step 512" "blksize 1468" "blksize 1468 windowsize 16")
servers=(quilletd)
command -v in.tftpd >/dev/null && servers+=(in.tftpd)
command -v dnsmasq >/dev/null && servers+=(dnsmasq)
printf 'atftp fetching %d MB; MB/s, best of %d\n' "$size_mb" "$runs"
printf '%-10s %-28s %12s %16s   %s\n' server client "loopback" "RTT $((2 * delay_us)) us" \
    "acknowledged"
for server in "${servers[@]}"; do
    case $server in
        quilletd) start_server "$quilletd" ;;
        in.tftpd) start_server in.tftpd --foreground --secure --user root "$work/served" ;;
        dnsmasq) start_server dnsmasq --keep-in-foreground --port=0 --enable-tftp \
            --tftp-root="$work/served" --user=root --pid-file="$work/peer/dnsmasq.pid" ;;
    esac
    ip netns exec "$namespace" "$relay" 6969 127.0.0.1 69 "$delay_us" 600 &
    relay_pid=$!
    pids+=("$relay_pid")
    for setting in "${settings[@]}"; do
        case $setting in
            "lock-step 512") options=() ;;
            "blksize 1468") options=(--option "blksize 1468") ;;
            *) options=(--option "blksize 1468" --option "windowsize 16") ;;
        esac
        bare=$(best_rate 69 "${options[@]}")
        # What the server's OACK said, from a traced fetch of a small file.
        acknowledged=$(in_ns timeout 20 atftp --trace "${options[@]}" -g -r probe.bin \
            -l "$work/probe" 127.0.0.1 69 2>&1 | grep -m1 -oE 'OACK <[^>]*>' || true)
        delayed=$(best_rate 6969 "${options[@]}")
        printf '%-10s %-28s %12s %16s   %s\n' "$server" "$setting" "$bare" "$delayed" \
            "${acknowledged:-none}"
    done
    kill "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
    stop_server
done
