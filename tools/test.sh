#!/usr/bin/env bash
# Installs what the tests need when it is missing (tools/install-deps.sh), builds Quillet and runs
# every test: the unit, window, end-to-end and install tests in the default build (release with
# debug info); the unit tests again in Release (-O3) built with g++ and with clang++ (the presets
# release-gcc and release-clang, which build the unit tests alone); then the unit and window tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, with the end-to-end test labelled asan-e2e
# (quilletd's signals, its resend and its stop under load) against that build. The end-to-end
# tests make network namespaces, and the install test builds the Debian package and installs it
# into a fresh Debian 12 root (from Debian's package archive, the base cached in
# /var/cache/quillet-tests): both need root and report themselves skipped without it. Then the
# fuzzer for two minutes, and quillet.exe and quilletd.exe cross-built with mingw-w64 with
# their tests under Wine (the mingw-w64 and Wine packages are installed first when missing). Every
# build turns warnings into errors (QUILLET_WERROR).
#
#   sudo tools/test.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
# shellcheck source=run_as_root.sh
source "$repo/tools/run_as_root.sh"

"$repo/tools/install-deps.sh"

export QT_QPA_PLATFORM=offscreen

cmake --preset default
cmake --build build
ctest --preset default
# The soak benchmark holds its own checks (descriptors, memory, the log's bounds); 77: no root.
bench/soak.sh build || [[ $? -eq 77 ]]

# What a packager's plain Release build compiles, with both compilers: configure, build the unit
# tests, run them.
cmake --workflow --preset release-gcc
cmake --workflow --preset release-clang

cmake --preset asan
cmake --build build-asan
ctest --preset asan
ctest --preset asan-e2e

# The fuzzer, built with clang, starts from its committed corpus; new inputs go to a scratch
# corpus and a crashing input to build-fuzz/tests/fuzz/. A crash, a sanitizer report or a failed
# check ends the fuzzer with a non-zero status, and so the run.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLET_FUZZ=ON -DQUILLET_BUILD_UI=OFF -DQUILLET_BUILD_BENCH=OFF -DQUILLET_WERROR=ON
cmake --build build-fuzz --target packet_fuzzer
# Absolute paths: the fuzzer serves from a scratch directory that it changes into. Undefined
# behaviour stops it as a crash does.
fuzz="$repo/build-fuzz/tests/fuzz"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
rm -rf "$fuzz/corpus"
mkdir "$fuzz/corpus"
"$fuzz/packet_fuzzer" -max_total_time=120 -dict="$repo/tests/fuzz/packet.dict" \
    -artifact_prefix="$fuzz/" "$fuzz/corpus" "$repo/tests/fuzz/seeds"

# The Windows build: quillet.exe and quilletd.exe cross-built with mingw-w64 and packaged by
# wixl (msitools, which also reads the package's tables), their tests run under Wine (the
# window's on Xvfb; xwininfo finds its windows).
windows_packages=(g++-mingw-w64-x86-64-posix wine wine64 xvfb x11-utils wixl msitools)
for package in "${windows_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        run_as_root apt-get update
        run_as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y --no-install-recommends "${windows_packages[@]}"
        break
    fi
done
"$repo/tools/test-windows.sh"
