#!/bin/bash
# Benchmarks quilletd against the TFTP servers it is measured with: tftpd-hpa (in.tftpd), atftpd,
# and dnsmasq in its normal and its --tftp-single-port mode. Every server runs on port 69 in a
# network namespace of its own, pinned with its threads and children to one core, its CPU time
# taken from a control group of its own (so forked or threaded transfers count too). The load
# generator, bench/tftp_load, runs on the other core. Scenarios are interleaved across the servers
# and repeated; the script prints one table of medians, then quilletd's scale figures: resident
# memory with 10,000 transfers that started and went quiet, and the time of one sweep over them.
# Four scenarios run lock-step with 512-byte blocks and no option; two ask every server for blksize
# 1468, tsize and a windowsize (one client with 32 MiB files, and a storm of 256 clients at once),
# and the table shows the options each server took (quilletd runs with TFTP_OPTIONS=1; a server
# that does not take windowsize runs lock-step with the larger blocks). The table also counts the
# datagrams the kernel dropped in each server's namespace because a receive queue was full.
#
#   sudo bench/run.sh [BUILD_DIR]        BUILD_DIR defaults to ./build of the source tree
#
# Environment: REPETITIONS (3), SERVER_CPU (1), LOAD_CPU (0), SERVERS (all five, by label),
# QUICK=1 (fewer transfers, for development), SCENARIOS (a pattern, grep -E, that picks scenarios
# by name: 'windowsize' runs the two with options), SCALE_TRANSFERS (10000), SCALE_HOLD (25 s,
# long enough for one sweep to resend to every quiet transfer), ATFTPD (the atftpd binary; by
# default unpacked from Debian's package into /var/cache/quillet-bench when missing, since that
# package conflicts with tftpd-hpa's), QUILLETD_BASE (another quilletd binary, run as the label
# quilletd-base in the same rounds: an earlier build to compare with; not counted as a peer).
#
# Needs root (namespaces, control groups). Every run is bounded: tftp_load stops after its
# transfers or after its -s limit and is killed by timeout(1) beyond that; each server is stopped
# by its own PID, and what is left in its control group afterwards (forked transfers) by theirs.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build}
quilletd=${QUILLETD:-$build_dir/src/quilletd}
load=${TFTP_LOAD:-$build_dir/bench/tftp_load}
sweep=${SESSION_SWEEP:-$build_dir/bench/session_sweep}
atftpd_cache=/var/cache/quillet-bench
atftpd=${ATFTPD:-$(command -v atftpd || echo $atftpd_cache/atftpd/usr/sbin/atftpd)}
quilletd_base=${QUILLETD_BASE:-}
repetitions=${REPETITIONS:-3}
server_cpu=${SERVER_CPU:-1}
load_cpu=${LOAD_CPU:-0}
scale_transfers=${SCALE_TRANSFERS:-10000}
scale_hold=${SCALE_HOLD:-25}
quick=${QUICK:-0}

if [[ $(id -u) -ne 0 ]]; then
    echo "run.sh needs root for its network namespaces and control groups" >&2
    exit 1
fi
for program in "$quilletd" "$load"; do
    [[ -x $program ]] || { echo "missing $program: build first (cmake --build build)" >&2; exit 1; }
done

# CPU time per server: a cgroup v2 directory (cpu.stat's usage_usec is kept in every v2 group,
# whatever controllers are enabled), else a cgroup v1 cpuacct directory, else none.
cgroup_kind=none
cgroup_root=
for candidate in /sys/fs/cgroup /sys/fs/cgroup/unified; do
    if [[ -f $candidate/cgroup.controllers && -w $candidate ]]; then
        cgroup_kind=v2
        cgroup_root=$candidate
        break
    fi
done
if [[ $cgroup_kind == none && -w /sys/fs/cgroup/cpuacct ]]; then
    cgroup_kind=v1
    cgroup_root=/sys/fs/cgroup/cpuacct
fi

work=$(mktemp -d /tmp/quillet-bench.XXXXXX)
chmod 755 "$work"  # the peers drop to unprivileged users
declare -A server_pid=() server_namespace=() server_cgroup=()

# Stops one server by its PID, then anything it left in its control group, by PID too.
stop_server() {
    local label=$1 pid
    pid=${server_pid[$label]:-}
    if [[ -n $pid ]]; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    local group=${server_cgroup[$label]:-}
    if [[ -n $group && -d $group ]]; then
        for pid in $(cat "$group/cgroup.procs" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null || true
        done
        for _ in $(seq 50); do
            rmdir "$group" 2>/dev/null && break
            sleep 0.1
        done
    fi
    if [[ -n ${server_namespace[$label]:-} ]]; then
        ip netns del "${server_namespace[$label]}" 2>/dev/null || true
    fi
    unset "server_pid[$label]" "server_cgroup[$label]" "server_namespace[$label]"
}

cleanup() {
    local label
    for label in "${!server_pid[@]}"; do
        stop_server "$label"
    done
    rm -rf "$work"
}
trap cleanup EXIT

files="$work/files"
mkdir -p "$files" "$work/home/.config/Carrowmore"
head -c 1048576 /dev/urandom >"$files/1m.bin"
head -c 4194304 /dev/urandom >"$files/4m.bin"
head -c 33553919 /dev/urandom >"$files/32m.bin"  # one byte short of the largest file at 512 bytes
head -c 33554432 /dev/urandom >"$files/32mib.bin"  # 22,858 blocks of 1468 bytes
chmod -R a+rX "$files"
chmod a+w "$files"  # quilletd writes its log here
# quilletd takes transfer options only when told to; requests without options are served as before.
printf '[General]\nTFTP_OPTIONS=1\n' >"$work/home/.config/Carrowmore/Quillet.conf"

# name | file | concurrent clients | transfers | tftp_load's options (what the client asks for)
# The storm's clients wait two seconds before they resend, as a booting machine's firmware does.
scenarios=(
    "1 client, 32 x 1 MiB|1m.bin|1|32|"
    "8 clients, 64 x 1 MiB|1m.bin|8|64|"
    "64 clients, 128 x 1 MiB|1m.bin|64|128|"
    "1 client, 33,553,919 B|32m.bin|1|1|"
    "1 client, 8 x 32 MiB, blksize 1468 windowsize 16|32mib.bin|1|8|-b 1468 -w 16"
    "256 clients at once, 256 x 4 MiB, blksize 1468 windowsize 8|4m.bin|256|256|-b 1468 -w 8 -t 2000"
)
if [[ $quick == 1 ]]; then
    scenarios=(
        "1 client, 4 x 1 MiB|1m.bin|1|4|"
        "8 clients, 16 x 1 MiB|1m.bin|8|16|"
        "64 clients, 64 x 1 MiB|1m.bin|64|64|"
        "1 client, 2 x 32 MiB, blksize 1468 windowsize 16|32mib.bin|1|2|-b 1468 -w 16"
        "256 clients at once, 256 x 1 MiB, blksize 1468 windowsize 8|1m.bin|256|256|-b 1468 -w 8 -t 2000"
    )
fi
# SCENARIOS, a pattern (grep -E), keeps the scenarios whose names match it.
if [[ -n ${SCENARIOS:-} ]]; then
    mapfile -t scenarios < <(printf '%s\n' "${scenarios[@]}" | awk -F'|' -v pattern="$SCENARIOS" '$1 ~ pattern')
    [[ ${#scenarios[@]} -gt 0 ]] || { echo "no scenario matches SCENARIOS=$SCENARIOS" >&2; exit 1; }
fi
# Each scenario once more over IPv6 (::1), for quilletd alone: its one socket serves both families,
# interleaved in the same rounds, so that the two compare within one run's spread.
for scenario in "${scenarios[@]}"; do
    IFS='|' read -r name rest <<<"$scenario"
    scenarios+=("$name over ::1|$rest|::1")
done

# CPU microseconds used so far by everything in the server's control group (or by the process
# and the children it has reaped, without control groups).
cpu_usec() {
    local label=$1 group=${server_cgroup[$1]:-}
    case $cgroup_kind in
        v2) awk '$1 == "usage_usec" { print $2 }' "$group/cpu.stat" ;;
        v1) echo $(($(cat "$group/cpuacct.usage") / 1000)) ;;
        *)
            local fields
            read -r -a fields <"/proc/${server_pid[$label]}/stat"
            echo $(((fields[13] + fields[14] + fields[15] + fields[16]) * 1000000 / $(getconf CLK_TCK)))
            ;;
    esac
}

# Datagrams that the kernel dropped in the server's namespace so far because a socket's receive
# queue was full (UDP and UDP over IPv6): the server's and its clients' sockets alike.
queue_drops() {
    # shellcheck disable=SC2016 # awk's fields, not the shell's
    ip netns exec "${server_namespace[$1]}" awk '
        /^Udp6RcvbufErrors/ { sum += $2 }
        /^Udp:/ { if (++seen == 2) sum += $6 }
        END { print sum + 0 }' /proc/net/snmp /proc/net/snmp6
}

# Starts one server: $1 its label, the rest its command line, run in $files inside a namespace
# of its own, pinned to the server core, inside a control group of its own.
start_server() {
    local label=$1
    shift
    local namespace="quillet-bench-$label-$$"
    ip netns add "$namespace"
    server_namespace[$label]=$namespace
    ip netns exec "$namespace" ip link set lo up
    local group=
    if [[ $cgroup_kind != none ]]; then
        group="$cgroup_root/quillet-bench-$label-$$"
        mkdir "$group"
        server_cgroup[$label]=$group
    fi
    (
        [[ -z $group ]] || echo "$BASHPID" >"$group/cgroup.procs"
        ulimit -n "$(ulimit -Hn)"  # quilletd holds a file open per transfer
        cd "$files"
        export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
        exec ip netns exec "$namespace" taskset -c "$server_cpu" "$@"
    ) >"$work/$label.log" 2>&1 &
    server_pid[$label]=$!
    for _ in $(seq 100); do
        [[ -n $(ip netns exec "$namespace" ss -Hlun 'sport = :69') ]] && return 0
        sleep 0.1
    done
    echo "$label did not bind port 69: $(tail -3 "$work/$label.log")" >&2
    exit 1
}

start_peer() {
    case $1 in
        tftpd-hpa) start_server "$1" in.tftpd --foreground --secure --user tftp "$files" ;;
        atftpd)
            start_server "$1" "$atftpd" --daemon --no-fork --port 69 --user nobody --group nogroup \
                --maxthread 1000 --logfile - "$files"
            ;;
        dnsmasq | dnsmasq-single)
            local single=()
            [[ $1 == dnsmasq-single ]] && single=(--tftp-single-port)
            start_server "$1" dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 \
                --pid-file= --log-facility=- --enable-tftp --tftp-root="$files" --tftp-max=1000 \
                "${single[@]}"
            ;;
        quilletd | quilletd-scale) start_server "$1" "$quilletd" ;;
        quilletd-base) start_server "$1" "$quilletd_base" ;;
    esac
}

# atftpd's package conflicts with tftpd-hpa: unpack it (never install it) when it is missing.
if [[ -z ${ATFTPD:-} && ! -x $atftpd ]]; then
    (mkdir -p "$atftpd_cache" && cd "$atftpd_cache" &&
        { ls atftpd_*.deb >/dev/null 2>&1 || timeout 120 apt-get download atftpd >/dev/null 2>&1; } &&
        dpkg-deb -x atftpd_*.deb atftpd) || true
fi

available=()
for label in ${SERVERS:-tftpd-hpa atftpd dnsmasq dnsmasq-single quilletd}; do
    case $label in
        tftpd-hpa) command -v in.tftpd >/dev/null || { echo "skipping tftpd-hpa: in.tftpd not installed" >&2; continue; } ;;
        atftpd) [[ -x $atftpd ]] || { echo "skipping atftpd: no $atftpd" >&2; continue; } ;;
        quilletd-base) [[ -x $quilletd_base ]] || { echo "skipping quilletd-base: QUILLETD_BASE is no program" >&2; continue; } ;;
        dnsmasq*) command -v dnsmasq >/dev/null || { echo "skipping $label: dnsmasq not installed" >&2; continue; } ;;
    esac
    available+=("$label")
done

echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), kernel $(uname -r)"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the start"
echo "servers on core $server_cpu, load generator on core $load_cpu; CPU time from: cgroup $cgroup_kind${cgroup_root:+ ($cgroup_root)}"
echo "$repetitions repetitions, scenarios interleaved across: ${available[*]}"
echo

for label in "${available[@]}"; do
    start_peer "$label"
done

results="$work/results"
: >"$results"
for ((rep = 1; rep <= repetitions; rep++)); do
    for index in "${!scenarios[@]}"; do
        IFS='|' read -r name file concurrency transfers asks host <<<"${scenarios[$index]}"
        # Rotate the servers' order each repetition, so that none always follows another.
        count=${#available[@]}
        for ((k = 0; k < count; k++)); do
            label=${available[$(((k + rep) % count))]}
            [[ -z $host || $label == quilletd ]] || continue
            before=$(cpu_usec "$label")
            drops_before=$(queue_drops "$label")
            # shellcheck disable=SC2086 # $asks is a list of tftp_load's flags
            output=$(timeout 360 ip netns exec "${server_namespace[$label]}" \
                taskset -c "$load_cpu" "$load" "${host:-127.0.0.1}" 69 "$file" -c "$concurrency" \
                -n "$transfers" -s 300 $asks || true)
            after=$(cpu_usec "$label")
            drops=$(($(queue_drops "$label") - drops_before))
            summary=$(grep '^summary ' <<<"$output" || echo "summary done=0 failed=$transfers bytes=0")
            summary+=" queue_drops=$drops"
            # The options the server took, as tftp_load saw them (its first transfer's).
            taken=none
            if [[ -n $asks ]]; then
                blksize=$(sed -n 's/.* blksize=\([0-9]*\).*/\1/p' <<<"$summary")
                windowsize=$(sed -n 's/.* windowsize=\([0-9]*\).*/\1/p' <<<"$summary")
                taken="blksize ${blksize:-?}"
                [[ ${windowsize:-1} -le 1 ]] || taken+=" windowsize $windowsize"
                [[ ${blksize:-0} -ne 0 ]] || taken="no answer"
            fi
            echo "$label|$index|$rep|$((after - before))|$taken|${summary#summary }" >>"$results"
            printf '%-15s %-26s rep %d: %s\n' "$label" "$name" "$rep" "${summary#summary }"
            grep '^failed: ' <<<"$output" | sed "s/^/$label: /" || true
        done
    done
done
echo

# One table of medians over the repetitions (failures are summed).
names=$(printf '%s\n' "${scenarios[@]}" | cut -d'|' -f1)
order=$(printf '%s\n' "${available[@]}")
awk -F'|' -v names="$names" -v order="$order" '
    function median(list,    n, values, i, j, x) {
        n = split(list, values, " ")
        for (i = 2; i <= n; i++) {
            x = values[i] + 0
            for (j = i - 1; j >= 1 && values[j] + 0 > x; j--) values[j + 1] = values[j]
            values[j + 1] = x
        }
        if (n == 0) return 0
        return n % 2 ? values[(n + 1) / 2] : (values[n / 2] + values[n / 2 + 1]) / 2
    }
    function field(text, key,    parts, n, i) {
        n = split(text, parts, " ")
        for (i = 1; i <= n; i++) if (index(parts[i], key "=") == 1) return substr(parts[i], length(key) + 2)
        return 0
    }
    {
        key = $2 SUBSEP $1
        if (!(key in taken)) taken[key] = $5
        else if (taken[key] != $5) taken[key] = "varied"
        mb = field($6, "bytes") / 1e6
        mbps[key] = mbps[key] " " field($6, "mbps")
        cpu[key] = cpu[key] " " (mb > 0 ? $4 / 1e6 / mb : 0)
        med[key] = med[key] " " field($6, "median_ms")
        p99[key] = p99[key] " " field($6, "p99_ms")
        cres[key] = cres[key] " " field($6, "client_resends")
        dup[key] = dup[key] " " field($6, "duplicate_data")
        drop[key] = drop[key] " " field($6, "queue_drops")
        failed[key] += field($6, "failed")
    }
    END {
        scenario_count = split(names, scenario, "\n")
        server_count = split(order, server, "\n")
        print "| scenario | server | options taken | MB/s | server CPU s/MB | per transfer median ms | p99 ms | resends (client / server) | receive queue drops | failures |"
        print "|---|---|---|---|---|---|---|---|---|---|"
        for (s = 1; s <= scenario_count; s++) {
            for (v = 1; v <= server_count; v++) {
                key = (s - 1) SUBSEP server[v]
                if (!(key in mbps)) continue
                printf "| %s | %s | %s | %.1f | %.4f | %.1f | %.1f | %g / %g | %g | %d |\n", scenario[s], server[v],
                    taken[key], median(mbps[key]), median(cpu[key]), median(med[key]), median(p99[key]),
                    median(cres[key]), median(dup[key]), median(drop[key]), failed[key]
                m[s, server[v]] = median(mbps[key]); c[s, server[v]] = median(cpu[key])
                p[s, server[v]] = median(p99[key])
            }
        }
        print ""
        for (s = 1; s <= scenario_count; s++) {
            if (!((s, "quilletd") in m)) continue
            best = 0; bestName = ""; cheapest = 0; cheapestName = ""; quickest = 0; quickestName = ""
            for (v = 1; v <= server_count; v++) {
                if (server[v] ~ /^quilletd/ || !((s, server[v]) in m)) continue
                if (m[s, server[v]] > best) { best = m[s, server[v]]; bestName = server[v] }
                if (c[s, server[v]] > 0 && (cheapestName == "" || c[s, server[v]] < cheapest)) {
                    cheapest = c[s, server[v]]; cheapestName = server[v]
                }
                if (p[s, server[v]] > 0 && (quickestName == "" || p[s, server[v]] < quickest)) {
                    quickest = p[s, server[v]]; quickestName = server[v]
                }
            }
            line = sprintf("%s: quilletd", scenario[s])
            # Over ::1, beside the same scenario over 127.0.0.1.
            for (t = 1; t <= scenario_count; t++)
                if (scenario[t] " over ::1" == scenario[s] && m[t, "quilletd"] > 0)
                    line = line sprintf(" %.2fx its MB/s over 127.0.0.1", m[s, "quilletd"] / m[t, "quilletd"])
            if (best > 0) line = line sprintf(" %.2fx the MB/s of the best peer (%s)", m[s, "quilletd"] / best, bestName)
            if ((s, "dnsmasq") in m && m[s, "dnsmasq"] > 0 && c[s, "dnsmasq"] > 0)
                line = line sprintf(", %.2fx dnsmasq'\''s MB/s, %.2fx its CPU per MB", m[s, "quilletd"] / m[s, "dnsmasq"], c[s, "quilletd"] / c[s, "dnsmasq"])
            if (cheapest > 0) line = line sprintf("; CPU per MB %.2fx the lowest peer'\''s (%s)", c[s, "quilletd"] / cheapest, cheapestName)
            if (quickest > 0) line = line sprintf(", p99 %.2fx the lowest peer'\''s (%s)", p[s, "quilletd"] / quickest, quickestName)
            print line
        }
    }' "$results"

echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"

for label in "${available[@]}"; do
    stop_server "$label"
done

# Scale: a fresh quilletd holds transfers that took DATA 1 and went quiet. Its resident memory is
# read while it holds them all; the sweep's time is the span over which one sweep's resends reach
# the clients (kernel receive stamps), so it includes the sends.
if [[ $scale_transfers -gt 0 ]]; then
    echo
    echo "=== scale: $scale_transfers transfers that start and go quiet"
    start_peer quilletd-scale
    pid=${server_pid[quilletd-scale]}
    timeout $((scale_hold + 180)) ip netns exec "${server_namespace[quilletd-scale]}" \
        taskset -c "$load_cpu" "$load" 127.0.0.1 69 1m.bin -q "$scale_hold" -n "$scale_transfers" \
        -c 64 -a 2 -s 150 >"$work/scale.out" 2>&1 &
    scale_load=$!
    for _ in $(seq 1500); do
        grep -qs '^elapsed:' "$work/scale.out" && break
        kill -0 "$scale_load" 2>/dev/null || break
        sleep 0.1
    done
    sleep 1
    rss_holding=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
    descriptors=$(ls "/proc/$pid/fd" | wc -l)
    wait "$scale_load" || echo "(tftp_load reported failed quiet transfers)"
    cat "$work/scale.out"
    peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
    echo "quilletd holding them: RSS $rss_holding kB, $descriptors open descriptors; peak RSS (VmHWM) $peak kB (target < 32 MiB = 32768 kB)"
    sweep_ms=$(sed -n 's/^summary quiet .*sweep_ms=\([0-9.]*\).*/\1/p' "$work/scale.out")
    echo "one sweep resending to the quiet transfers: ${sweep_ms:-?} ms (target < 20 ms)"
    stop_server quilletd-scale
    if [[ -x $sweep ]]; then
        echo
        echo "--- the engine's sweep alone (bench/session_sweep: its dispatcher and sessions, one loopback socket)"
        (ulimit -n "$(ulimit -Hn)" && taskset -c "$server_cpu" "$sweep" "$scale_transfers")
    fi
fi
