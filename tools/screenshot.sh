#!/bin/bash
# Makes docs/screenshot.png: the real quillet window under Xvfb, in a network namespace of its
# own, after a few transfers: some finished (curl, tftp-hpa, atftp), one cancelled by its client,
# two still running with partial bars (slow raw clients that stop acknowledging part way), and a
# refused request in the log.
#
#   sudo tools/screenshot.sh [QUILLET [OUTPUT]]
#
# QUILLET defaults to build/src/ui/quillet, OUTPUT to docs/screenshot.png. Needs root (for the
# namespace), xvfb-run, ImageMagick's import and convert, openbox (for the window's frame) and the
# TFTP clients; missing X tools are installed with apt-get. Every client and the whole run are
# bounded in time.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
QUILLET=$(realpath "${1:-$ROOT/build/src/ui/quillet}")
OUTPUT=$(realpath -m "${2:-$ROOT/docs/screenshot.png}")

[[ $(id -u) -eq 0 ]] || { echo "screenshot.sh needs root for its network namespace" >&2; exit 1; }
[[ -x $QUILLET ]] || { echo "no quillet program at $QUILLET (build it first)" >&2; exit 1; }
if ! command -v xvfb-run >/dev/null || ! command -v xwininfo >/dev/null ||
    ! command -v openbox >/dev/null || ! /usr/bin/convert -version 2>/dev/null | grep -q ImageMagick; then
    apt-get install -y -qq xvfb x11-utils imagemagick openbox >/dev/null
fi

NS="quillet-shot-$$"
WORK=$(mktemp -d /tmp/quillet-shot.XXXXXX)
cleanup() {
    ip netns pids "$NS" 2>/dev/null | while read -r pid; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$NS" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
ip netns add "$NS"
ip netns exec "$NS" ip link set lo up

SERVED="$WORK/served"
mkdir -p "$SERVED" "$WORK/fetched" "$WORK/home/.config" "$WORK/runtime"
chmod 700 "$WORK/runtime"
head -c 300000 /dev/urandom >"$SERVED/pxelinux.0"
head -c 1536 /dev/urandom >"$SERVED/pxelinux.cfg"
head -c 4718592 /dev/urandom >"$SERVED/vmlinuz"
head -c 64000 /dev/urandom >"$SERVED/ldlinux.c32"
head -c 2097152 /dev/urandom >"$SERVED/initrd.img"
head -c 9000000 /dev/urandom >"$SERVED/rootfs.squashfs"

# A client that acknowledges every block until block $2, then stops answering, so that the
# transfer stays open (and says so by creating file $4); or, with $3 = cancel, sends an ERROR
# there instead. At most 60 s.
cat >"$WORK/slow_client.py" <<'PY'
import socket, struct, sys, time
name, last, how = sys.argv[1], int(sys.argv[2]), sys.argv[3]
holding = sys.argv[4] if len(sys.argv) > 4 else None
deadline = time.time() + 60
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
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
"$QUILLET" 2>"$WORK/quillet.stderr" &
quillet=$!
wait_for Quillet.log "Quillet Server Ready..." 10
timeout 30 curl -sS -o "$WORK/fetched/a" tftp://127.0.0.1/pxelinux.0
sleep 1
timeout 30 tftp -m binary 127.0.0.1 69 -c get pxelinux.cfg "$WORK/fetched/b"
timeout 30 tftp -m binary 127.0.0.1 69 -c get missing.img "$WORK/fetched/c" >/dev/null 2>&1 || true
sleep 1
timeout 30 atftp -g -r vmlinuz -l "$WORK/fetched/d" 127.0.0.1 69
timeout 30 python3 "$WORK/slow_client.py" ldlinux.c32 60 cancel
sleep 1
timeout 70 python3 "$WORK/slow_client.py" initrd.img 2900 hold "$WORK/holding.1" &
timeout 70 python3 "$WORK/slow_client.py" rootfs.squashfs 5100 hold "$WORK/holding.2" &
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
SH

QUILLET="$QUILLET" WORK="$WORK" SERVED="$SERVED" HOME="$WORK/home" \
    XDG_CONFIG_HOME="$WORK/home/.config" XDG_RUNTIME_DIR="$WORK/runtime" \
    timeout 180 ip netns exec "$NS" xvfb-run -a -s "-screen 0 1280x900x24" bash ${SCREENSHOT_TRACE:+-x} "$WORK/inner.sh"

mkdir -p "$(dirname "$OUTPUT")"
/usr/bin/convert "$WORK/window.png" -strip "$OUTPUT"
echo "wrote $OUTPUT"
