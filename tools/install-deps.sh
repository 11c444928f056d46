#!/usr/bin/env bash
# Installs the Debian 12 packages that Quillet needs, if any are missing:
#   tools/install-deps.sh          building, running and every test (the test command, CI)
#   tools/install-deps.sh --run    building and running only (tools/setup.sh)
# The Windows stage's mingw-w64 and Wine are installed by tools/test.sh when it gets there.
set -euo pipefail

# Building the programs and running them on port 69 without root; making the Debian package
# (dpkg-shlibdeps, and file for CPack's scan of the programs).
run_packages=(
    cmake ninja-build g++ qt6-base-dev libgl-dev libcap-dev
    libcap2-bin
    dpkg-dev file
)
# The tests and CI on top of that.
test_packages=(
    # the unit tests, the layer and format checks of .ci/run
    libgtest-dev libgmock-dev git clang-format
    # Release, sanitizer and fuzzer builds with clang
    clang libclang-rt-14-dev
    # end-to-end tests: network namespaces, real TFTP clients
    iproute2 python3 curl tftp-hpa atftp busybox
    # packet loss in a namespace (the transfer-options test)
    nftables
    # the window tests' font
    fonts-dejavu-core
    # the package's install test: a fresh Debian 12 root and the desktop entry's checker (man and
    # systemd-analyze run inside that root)
    debootstrap desktop-file-utils
    # the window test's German locale (generated below)
    locales
)

case ${1:-} in
    --run) packages=("${run_packages[@]}") ;;
    "") packages=("${run_packages[@]}" "${test_packages[@]}") ;;
    *) echo "usage: $0 [--run]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
# shellcheck source=run_as_root.sh
source "$(dirname "$0")/run_as_root.sh"
if [[ ${#missing[@]} -gt 0 ]]; then
    echo "Installing: ${missing[*]}"
    run_as_root apt-get update
    run_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The window's texts must not follow the user's locale; a test proves it under a German one.
if [[ -z ${1:-} ]] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    echo "Generating the locale de_DE.UTF-8 for the window test"
    run_as_root sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    run_as_root locale-gen
fi
