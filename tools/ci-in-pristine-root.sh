#!/usr/bin/env bash
# Proves that a fresh clone builds and passes CI on a fresh Debian 12 machine. It makes a Debian 12
# minbase root with debootstrap (from the base tarball that the install test caches in
# /var/cache/quillet-tests, made first when missing), with the archive's bookworm, -updates and
# -security suites as an installed system has them; clones this repository's committed HEAD into
# /root/quillet there (uncommitted changes are not part of the proof); and runs there, as root
# with an empty environment (no LANG, no LC_*, no TERM: env -i PATH=... HOME=/root):
#   1. tools/install-deps.sh --run, then tools/setup.sh in a network namespace of its own: it must
#      build with only those packages and serve, and the host's curl fetches a file from it;
#   2. bash .ci/run, which installs the rest and runs every test (the end-to-end tests' namespaces
#      and the install test's nested root included).
# Everything runs in a mount namespace of its own, so the mounts (proc, sys, dev with dev/pts, a
# tmpfs on /run for `ip netns`, the root bound onto itself for `ip netns exec`) go when it ends.
# The root is removed afterwards unless --keep is given. Needs root, debootstrap and Debian's
# package archive; takes about 20 minutes on two cores. Its exit status is .ci/run's (or 1 when a
# step before it fails). To run it in the background and follow it:
#
#   sudo tools/ci-in-pristine-root.sh [--keep]
#   sudo nohup tools/ci-in-pristine-root.sh >/var/tmp/pristine.log 2>&1 &  tail -f /var/tmp/pristine.log
set -euo pipefail

[[ $(id -u) -eq 0 ]] || { echo "ci-in-pristine-root.sh needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
keep=${1:-}
[[ -z $keep || $keep == --keep ]] || { echo "usage: $0 [--keep]" >&2; exit 2; }

repo=$(cd "$(dirname "$0")/.." && pwd)
# The mounts of this run live in a private mount namespace, made here by running this script again.
if [[ -z ${QUILLET_PRISTINE_INSIDE:-} ]]; then
    exec env QUILLET_PRISTINE_INSIDE=1 unshare --mount --propagation private -- "$0" "$@"
fi

CACHE=/var/cache/quillet-tests
TARBALL="$CACHE/bookworm-minbase.tgz"
WORK=$(mktemp -d /var/tmp/quillet-pristine.XXXXXX)
ROOT="$WORK/root"
NS="quillet-pristine-$$"
SERVER=""

cleanup() {
    [[ -z $SERVER ]] || kill "$SERVER" 2>/dev/null || true
    ip netns del "$NS" 2>/dev/null || true
    # The mounts end with this mount namespace; unmount anyway, so that removing the root never
    # reaches the host's /dev or /sys.
    umount -R "$ROOT" 2>/dev/null || umount -Rl "$ROOT" 2>/dev/null || true
    if [[ $keep == --keep ]]; then
        echo "kept $ROOT"
    elif ! awk -v r="$ROOT" 'index($2, r) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
        rm -rf --one-file-system "$WORK"
    fi
}
trap cleanup EXIT
step() { echo "=== $(date +%T) $*"; }
in_root() {
    chroot "$ROOT" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root "$@"
}

started=$SECONDS
mirror=$(cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
    awk '/^URIs:/ { print $2; exit } /^deb / { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' || true)
mirror=${mirror:-http://deb.debian.org/debian}
step "the Debian 12 minbase root in $ROOT (archive $mirror)"
mkdir -p "$CACHE"
(
    flock 9 # the install test's lock: one maker of the tarball at a time
    if [[ ! -s $TARBALL ]]; then
        debootstrap --variant=minbase --make-tarball="$TARBALL.part" bookworm "$WORK/make" "$mirror"
        mv "$TARBALL.part" "$TARBALL"
    fi
) 9>"$CACHE/lock"
debootstrap --variant=minbase --unpack-tarball="$TARBALL" bookworm "$ROOT" "$mirror" >"$WORK/debootstrap.log" ||
    { tail -n 20 "$WORK/debootstrap.log"; exit 1; }
cat >"$ROOT/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
EOF
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"

mount --bind "$ROOT" "$ROOT" # `ip netns exec` makes / a slave mount, so / must be a mount point
mount -t proc proc "$ROOT/proc"
mount --rbind /sys "$ROOT/sys"
mount --rbind /dev "$ROOT/dev"
mount -t tmpfs -o mode=755 tmpfs "$ROOT/run" # /run/netns for the tests' namespaces
mkdir -p "$ROOT/run/lock"

step "the clone of $(git -C "$repo" rev-parse --short HEAD) ($(git -C "$repo" log -1 --format=%s))"
git clone --quiet --no-checkout "$repo" "$ROOT/root/quillet"
git -C "$ROOT/root/quillet" checkout --quiet -B ci "$(git -C "$repo" rev-parse HEAD)"

step "tools/install-deps.sh --run"
in_root /root/quillet/tools/install-deps.sh --run
step "tools/setup.sh, serving /root/served in the namespace $NS"
ip netns add "$NS"
ip netns exec "$NS" ip link set lo up
mkdir "$ROOT/root/served"
head -c 70000 /dev/urandom >"$ROOT/root/served/boot.bin"
ip netns exec "$NS" chroot "$ROOT" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    /root/quillet/tools/setup.sh /root/served </dev/null &
SERVER=$!
for ((i = 0; i < 1800; i++)); do # the build takes a few minutes
    grep -qF "Quillet Server Ready..." "$ROOT/root/served/Quillet.log" 2>/dev/null && break
    kill -0 "$SERVER" 2>/dev/null || { echo "tools/setup.sh ended before serving" >&2; exit 1; }
    sleep 1
done
ip netns exec "$NS" timeout 30 curl -sS -o "$WORK/fetched" tftp://127.0.0.1/boot.bin
cmp "$ROOT/root/served/boot.bin" "$WORK/fetched"
kill -TERM "$SERVER"
wait "$SERVER" || { echo "quilletd ended with status $? on SIGTERM" >&2; exit 1; }
SERVER=""
ip netns del "$NS"
echo "setup.sh built and served boot.bin byte for byte after $((SECONDS - started)) s"

step "bash .ci/run"
status=0
in_root bash -c 'cd /root/quillet && exec bash .ci/run' </dev/null || status=$?
step ".ci/run ended with status $status after $((SECONDS - started)) s in all"
exit "$status"
