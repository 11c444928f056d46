#!/usr/bin/env bash
# Cross-builds quillet.exe and quilletd.exe for 64-bit Windows with mingw-w64
# (build-windows/src/win32/quillet.exe, build-windows/src/quilletd.exe) and their installer
# (build-windows/quillet-VERSION-x64.msi), and runs their tests under Wine: the unit tests, the
# window test on an X display of its own (xvfb-run), and (as root, for their network namespaces)
# the end-to-end tests with real clients, the installer's among them. Needs
# g++-mingw-w64-x86-64-posix, wine, wine64, xvfb, x11-utils, wixl and msitools.
#
#   tools/test-windows.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

cmake --preset windows
cmake --build --preset windows
ctest --preset windows
