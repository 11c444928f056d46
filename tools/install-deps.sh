#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Quillet need, if any are missing.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ clang-format qt6-base-dev libgl-dev libcap-dev
    libgtest-dev libgmock-dev
    # sanitizer and fuzzer builds
    clang libclang-rt-14-dev
    # running on port 69 without root
    libcap2-bin
    # end-to-end tests: network namespaces, real TFTP clients
    iproute2 python3 curl tftp-hpa atftp busybox
    # packet loss in a namespace (the transfer-options test)
    nftables
    # window tests and the screenshot
    xvfb xauth x11-apps imagemagick fonts-dejavu-core
    # the Debian package (dpkg-shlibdeps) and its install test: a fresh Debian 12 root and the
    # desktop entry's checker (man and systemd-analyze run inside that root)
    dpkg-dev debootstrap desktop-file-utils
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
# shellcheck source=run_as_root.sh
source "$(dirname "$0")/run_as_root.sh"
run_as_root apt-get update
run_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
