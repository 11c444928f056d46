#!/usr/bin/env bash
# Builds Quillet and runs every test: the unit, window and end-to-end tests in the release build,
# then the unit and window tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
# with the end-to-end tests labelled asan-e2e (quilletd stopped under load) against that build.
# The end-to-end tests make network namespaces and so need root (they report themselves skipped
# without it).
#
#   tools/test.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

export QT_QPA_PLATFORM=offscreen

cmake --preset default
cmake --build build
ctest --preset default

cmake --preset asan
cmake --build build-asan
ctest --preset asan
ctest --preset asan-e2e
