#!/usr/bin/env bash
# Cross-builds quilletd.exe for 64-bit Windows with mingw-w64 (build-windows/src/quilletd.exe) and
# runs its tests under Wine: the unit tests, and (as root, for its network namespace) the
# end-to-end test with real clients. Needs g++-mingw-w64-x86-64-posix, wine and wine64.
#
#   tools/test-windows.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

cmake --preset windows
cmake --build --preset windows
ctest --preset windows
