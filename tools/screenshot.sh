#!/bin/bash
# Makes docs/screenshot.png and docs/screenshot-scale2.png: the real quillet window under Xvfb, in
# a network namespace of its own, after a few transfers: some finished (curl, tftp-hpa, atftp),
# one cancelled by its client, two still running with partial bars (slow raw clients that stop
# acknowledging part way), and a refused request in the log. The clients come from addresses of
# every length, 10.0.0.7 to 192.168.100.203 (65535), and the namespace's own address 192.0.2.10
# is the one the log names to type. The first picture is at scale 1 on a 1280 x 900 screen, the
# second at QT_SCALE_FACTOR=2 on a 1280 x 800 screen, where the window shrinks to fit.
# With --windows it makes docs/screenshot-windows.png instead: quillet.exe, the Windows window,
# under Wine (in a Wine prefix of its own, which draws the window's frame itself) after the same
# transfers.
#
#   sudo tools/screenshot.sh [QUILLET [OUTPUT_FOLDER]]
#   sudo tools/screenshot.sh --windows [QUILLET_EXE [OUTPUT_FOLDER]]
#
# QUILLET defaults to build/src/ui/quillet, QUILLET_EXE to build-windows/src/win32/quillet.exe,
# OUTPUT_FOLDER to docs. Needs root (for the namespace), xvfb-run, ImageMagick's import and
# convert, openbox (for the Linux window's frame), Wine for --windows, and the TFTP clients;
# missing X tools are installed with apt-get. Every client and the whole run are bounded in time.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WINDOWS=
if [[ ${1:-} == --windows ]]; then
    WINDOWS=1
    shift
fi
default=$ROOT/build/src/ui/quillet
[[ -z $WINDOWS ]] || default=$ROOT/build-windows/src/win32/quillet.exe
QUILLET=$(realpath "${1:-$default}")
OUTPUT=$(realpath -m "${2:-$ROOT/docs}")

[[ $(id -u) -eq 0 ]] || { echo "screenshot.sh needs root for its network namespace" >&2; exit 1; }
[[ -x $QUILLET ]] || { echo "no quillet program at $QUILLET (build it first)" >&2; exit 1; }
if ! command -v xvfb-run >/dev/null || ! command -v xwininfo >/dev/null ||
    ! command -v openbox >/dev/null || ! /usr/bin/convert -version 2>/dev/null | grep -q ImageMagick; then
    apt-get install -y -qq xvfb x11-utils imagemagick openbox >/dev/null
fi

NS="quillet-shot-$$"
WORK=$(mktemp -d /tmp/quillet-shot.XXXXXX)
cleanup() {
    # The namespace may be gone already.
    { ip netns pids "$NS" 2>/dev/null || true; } | while read -r pid; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$NS" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

SERVED="$WORK/served"
mkdir -p "$SERVED" "$WORK/fetched" "$WORK/home/.config" "$WORK/runtime"
chmod 700 "$WORK/runtime"
head -c 300000 /dev/urandom >"$SERVED/pxelinux.0"
head -c 1536 /dev/urandom >"$SERVED/pxelinux.cfg"
head -c 4718592 /dev/urandom >"$SERVED/vmlinuz"
head -c 64000 /dev/urandom >"$SERVED/ldlinux.c32"
head -c 2097152 /dev/urandom >"$SERVED/initrd.img"
head -c 9000000 /dev/urandom >"$SERVED/rootfs.squashfs"

# A client at address $1 and port $2 that acknowledges every block until block $4, then stops
# answering, so that the transfer stays open (and says so by creating file $6); or, with
# $5 = cancel, sends an ERROR there instead. At most 60 s.
cat >"$WORK/slow_client.py" <<'PY'
import socket, struct, sys, time
source, port, name, last, how = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5]
holding = sys.argv[6] if len(sys.argv) > 6 else None
deadline = time.time() + 60
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((source, port))
s.settimeout(5)
s.sendto(struct.pack("!H", 1) + name.encode() + b"\0octet\0", ("127.0.0.1", 69))
while time.time() < deadline:
    data, server = s.recvfrom(4096)
    opcode, block = struct.unpack("!HH", data[:4])
    if opcode != 3:
        break
    if block == last:
        if how == "cancel":
            s.sendto(struct.pack("!HH", 5, 0) + b"cancelled by user\0", server)
            break
        open(holding, "w").close()
        time.sleep(max(0, deadline - time.time()))
        break
    s.sendto(struct.pack("!HH", 4, block), server)
PY

# Everything below runs inside the namespace, on one Xvfb display.
cat >"$WORK/inner.sh" <<'SH'
set -euo pipefail
cd "$SERVED"
wait_for() {  # file, text, seconds
    for ((i = 0; i < $3 * 10; i++)); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "timed out waiting for \"$2\"" >&2
    return 1
}
openbox >/dev/null 2>&1 &
sleep 0.5
if [[ -n $WINDOWS ]]; then
    # A prefix of its own, set up here: its server makes the sockets, in this namespace. Wine's
    # .NET and HTML engines are not offered.
    export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wine "$QUILLET" 2>"$WORK/quillet.stderr" &
else
    "$QUILLET" 2>"$WORK/quillet.stderr" &
fi
quillet=$!
wait_for Quillet.log "Quillet Server Ready..." 10
timeout 30 curl -sS -o "$WORK/fetched/a" tftp://127.0.0.1/pxelinux.0
sleep 1
timeout 30 tftp -m binary 127.0.0.1 69 -c get pxelinux.cfg "$WORK/fetched/b"
timeout 30 tftp -m binary 127.0.0.1 69 -c get missing.img "$WORK/fetched/c" >/dev/null 2>&1 || true
sleep 1
timeout 30 atftp -g -r vmlinuz -l "$WORK/fetched/d" 127.0.0.1 69
timeout 30 python3 "$WORK/slow_client.py" 172.16.254.1 4001 ldlinux.c32 60 cancel
sleep 1
timeout 70 python3 "$WORK/slow_client.py" 10.0.0.7 1024 initrd.img 2900 hold "$WORK/holding.1" &
timeout 70 python3 "$WORK/slow_client.py" 192.168.100.203 65535 rootfs.squashfs 5100 hold \
    "$WORK/holding.2" &
for ((i = 0; i < 300; i++)); do
    [[ -f $WORK/holding.1 && -f $WORK/holding.2 ]] && break
    sleep 0.1
done
sleep 3.5  # the running rows' elapsed time counts on
# The frame that the window manager put around the window, title bar included.
xwininfo -root -tree >"$WORK/tree.txt"
window=$(awk '/"Quillet"/ {print $1; exit}' "$WORK/tree.txt")
xwininfo -id "$window" -children >"$WORK/children.txt" || { cat "$WORK/tree.txt" >&2; exit 1; }
frame=$(awk '/Parent window id/ {print $4}' "$WORK/children.txt")
import -window "$frame" "$WORK/window.png"
kill -TERM "$quillet"
wait "$quillet" || true
if [[ -n $WINDOWS ]]; then
    wineserver -k
fi
SH

mkdir -p "$OUTPUT"
shots=(screenshot:1:1280x900 screenshot-scale2:2:1280x800)
[[ -z $WINDOWS ]] || shots=(screenshot-windows:1:1280x900)
for shot in "${shots[@]}"; do
    IFS=: read -r name scale screen <<<"$shot"
    ip netns add "$NS"
    # Client addresses of every length on the loopback device, and an address of the namespace's
    # own on a veth pair.
    ip netns exec "$NS" ip link set lo up
    for address in 10.0.0.7 172.16.254.1 192.168.100.203; do
        ip netns exec "$NS" ip addr add "$address/32" dev lo
    done
    ip netns exec "$NS" ip link add q0 type veth peer name q1
    ip netns exec "$NS" ip addr add 192.0.2.10/24 dev q0
    ip netns exec "$NS" ip link set q0 up
    ip netns exec "$NS" ip link set q1 up
    rm -rf "$SERVED"/Quillet.log* "$WORK/fetched"/* "$WORK"/holding.*
    QUILLET="$QUILLET" WINDOWS="$WINDOWS" WORK="$WORK" SERVED="$SERVED" HOME="$WORK/home" \
        QT_SCALE_FACTOR="$scale" \
        XDG_CONFIG_HOME="$WORK/home/.config" XDG_RUNTIME_DIR="$WORK/runtime" \
        timeout 180 ip netns exec "$NS" xvfb-run -a -s "-screen 0 ${screen}x24" \
        bash ${SCREENSHOT_TRACE:+-x} "$WORK/inner.sh"
    ip netns pids "$NS" 2>/dev/null | while read -r pid; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$NS"
    /usr/bin/convert "$WORK/window.png" -strip "$OUTPUT/$name.png"
    echo "wrote $OUTPUT/$name.png"
done
