#!/usr/bin/env bash
# Builds Quillet and runs every test: the unit, window, end-to-end and install tests in the
# release build, then the unit and window tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, with the end-to-end test labelled asan-e2e (quilletd's signals, its
# resend and its stop under load) against that build. The end-to-end tests make network
# namespaces, and the install test builds the Debian package and installs it into a fresh Debian
# 12 root (from Debian's package archive, the base cached in /var/cache/quillet-tests): both need
# root and report themselves skipped without it.
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
