#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 root with apt and checks what it promises:
# the service's way and the menu's way serve on port 69 (the capability dropped once serving), and
# the desktop entry, man pages and unit pass their checkers. Needs root and Debian's archive; the
# base system is cached as a debootstrap tarball in /var/cache/quillet-tests.
set -euo pipefail

if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: the install test needs root"
    exit 77
fi
CPACK_CONFIG=${CPACK_CONFIG:?CPACK_CONFIG must name CPackConfig.cmake in the build tree}
CACHE=/var/cache/quillet-tests
TARBALL="$CACHE/bookworm-minbase.tgz"
NS="quillet-install-$$"
WORK=$(mktemp -d /var/tmp/quillet-install.XXXXXX)
ROOT="$WORK/root"
PIDS=()

mounts_under_root() { awk -v r="$ROOT" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/mounts | sort -r; }
cleanup() {
    local pid mount
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    ip netns del "$NS" 2>/dev/null || true
    for mount in $(mounts_under_root); do umount "$mount" || umount -l "$mount"; done
    # Never remove a tree that still has the host's /dev or /sys mounted in it.
    if [[ -z $(mounts_under_root) ]]; then rm -rf --one-file-system "$WORK"; else echo "left $WORK mounted" >&2; fi
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
in_root() { chroot "$ROOT" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }
# Runs command $4 as user $1 in folder $2 of the root, on port 69 of the namespace, standard error
# to $WORK/$1.err; expects it to serve folder $3, where curl must fetch a file of $5 bytes byte for
# byte, and no thread of it may hold a capability; then SIGTERM must end it with status 0.
serve_and_fetch() {
    local home log="$ROOT$3/Quillet.log"
    home=$(in_root getent passwd "$1" | cut -d: -f6)
    ip netns exec "$NS" chroot "$ROOT" setpriv --reuid="$1" --regid="$1" --init-groups \
        env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR=/tmp QT_QPA_PLATFORM=offscreen \
        sh -c "cd \"$2\" && exec $4" 2>>"$WORK/$1.err" &
    PIDS+=($!)
    timeout 20 sh -c "until grep -qF 'Quillet Server Ready...' '$log'; do sleep 0.1; done" 2>/dev/null ||
        fail "$1: not ready: $(cat "$log" "$WORK/$1.err" 2>/dev/null)"
    for status in "/proc/${PIDS[-1]}"/task/*/status; do
        [[ $(grep -cE '^Cap(Prm|Eff|Amb):\s+0+$' "$status") -eq 3 ]] ||
            fail "$1: a thread holds a capability: $(grep -E '^Cap' "$status")"
    done
    head -c "$5" /dev/urandom >"$ROOT$3/served.bin"
    ip netns exec "$NS" timeout 60 curl -sS -o "$WORK/fetched" "tftp://127.0.0.1/served.bin" || fail "curl: $1"
    cmp "$ROOT$3/served.bin" "$WORK/fetched" || fail "served.bin arrived changed ($1)"
    kill -TERM "${PIDS[-1]}"
    wait "${PIDS[-1]}" || fail "the server ended with status $? on SIGTERM"
    unset 'PIDS[-1]'
}

started=$SECONDS
cpack -G DEB --config "$CPACK_CONFIG" -B "$WORK/package" >/dev/null
deb=$(echo "$WORK"/package/quillet_*.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
(($(dpkg-deb -c "$WORK"/package/quillet-dbgsym_*.ddeb | grep -c '/usr/lib/debug/.build-id/.*\.debug$') == 2)) ||
    fail "quillet-dbgsym lacks the two programs' symbols"

# The archive this machine installs from; Debian's own when it names none.
mirror=$(cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
    awk '/^URIs:/ { print $2; exit } /^deb / { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' || true)
mirror=${mirror:-http://deb.debian.org/debian}
mkdir -p "$CACHE"
(
    flock 9 # one maker of the tarball at a time
    if [[ ! -s $TARBALL ]]; then
        debootstrap --variant=minbase --make-tarball="$TARBALL.part" bookworm "$WORK/make" "$mirror"
        mv "$TARBALL.part" "$TARBALL"
    fi
) 9>"$CACHE/lock"
debootstrap --variant=minbase --unpack-tarball="$TARBALL" bookworm "$ROOT" "$mirror" >"$WORK/debootstrap.log" ||
    fail "debootstrap: $(tail -n 20 "$WORK/debootstrap.log")"
mount -t proc proc "$ROOT/proc"
mount --bind /dev "$ROOT/dev"
mount --bind -o ro /sys "$ROOT/sys"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
cp "$deb" "$ROOT/tmp/"

# The package's dependencies come from the archive; systemd and man-db only for the checks.
in_root apt-get update -qq >"$WORK/apt.log" 2>&1 || fail "apt-get update: $(tail -n 20 "$WORK/apt.log")"
in_root apt-get install -y -qq --no-install-recommends "/tmp/$(basename "$deb")" systemd man-db >>"$WORK/apt.log" 2>&1 ||
    fail "apt-get install: $(tail -n 20 "$WORK/apt.log")"

(($(in_root getcap /usr/bin/quillet /usr/bin/quilletd | grep -c cap_net_bind_service) == 2)) ||
    fail "the programs lack cap_net_bind_service: $(in_root getcap /usr/bin/quillet /usr/bin/quilletd)"
[[ -s $ROOT/usr/share/doc/quillet/copyright && -s $ROOT/usr/share/doc/quillet/changelog.Debian.gz ]] ||
    fail "no copyright or changelog in /usr/share/doc/quillet"
[[ $(in_root stat -c %U:%G /srv/tftp) == quillet:quillet ]] || fail "/srv/tftp is not the service user's"
[[ $(in_root systemctl is-enabled quilletd.service || true) == disabled ]] || fail "the service is not disabled"
in_root systemd-analyze verify /lib/systemd/system/quilletd.service || fail "systemd-analyze verify"
desktop-file-validate "$ROOT/usr/share/applications/quillet.desktop" || fail "desktop-file-validate"
for page in man1/quillet.1 man8/quilletd.8; do
    warnings=$(in_root man --warnings -l "/usr/share/man/$page" 2>&1 >"$WORK/page") || fail "man -l $page"
    [[ -z $warnings ]] || fail "man -l $page: $warnings"
    grep -q 'EXIT STATUS' "$WORK/page" || fail "man -l $page rendered no EXIT STATUS section"
done

ip netns add "$NS"
ip netns exec "$NS" ip link set lo up

# The service's way: user quillet, /srv/tftp, settings under /var/lib/quillet.
serve_and_fetch quillet /srv/tftp /srv/tftp "env XDG_CONFIG_HOME=/var/lib/quillet quilletd" 300000
grep -qx 'LOG_FILE_LEVEL=6' "$ROOT/var/lib/quillet/Carrowmore/Quillet.conf" || fail "no level in the service's settings"
# The menu's way: a normal user runs the desktop entry's command, which serves ~/TFTP.
in_root useradd --create-home tester
serve_and_fetch tester /home/tester /home/tester/TFTP "$(sed -n 's/^Exec=//p' "$ROOT/usr/share/applications/quillet.desktop")" 70000

in_root apt-get purge -y -qq quillet >>"$WORK/apt.log" 2>&1 || fail "apt-get purge: $(tail -n 20 "$WORK/apt.log")"
[[ ! -e $ROOT/usr/bin/quilletd && ! -e $ROOT/var/lib/quillet ]] || fail "purge left the program or its settings"
echo "PASS after $((SECONDS - started)) s"
