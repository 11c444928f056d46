#!/usr/bin/env bash
# Runs a Windows program under Wine, for CTest and the end-to-end tests:
#   tests/wine/run.sh PROGRAM.exe [ARGUMENTS...]
# The prefix is WINEPREFIX, or wine-prefix in the build folder that holds the program; it is
# created on first use. A wineserver whose output goes to /dev/null is started first: one that
# Wine starts by itself inherits the caller's output and keeps CTest waiting for it. It stays for
# 60 s after its last program ends, unless stopped sooner with `WINEPREFIX=... wineserver -k`, as
# the end-to-end test and CTest's fixture "wine" do. Without a UTF-8 locale in the environment it
# runs Wine with LC_ALL=C.UTF-8.
set -euo pipefail

if [[ -z ${WINEPREFIX:-} ]]; then
    build=$(cd "$(dirname "$1")" && pwd)
    while [[ $build != / && ! -e $build/CMakeCache.txt ]]; do build=$(dirname "$build"); done
    WINEPREFIX=$build/wine-prefix
fi
export WINEPREFIX WINEDEBUG=-all
# Wine maps Unix file names through the locale's character set: in the C locale (no LANG, as on a
# fresh machine or in a container) a UTF-8 name such as grüße.bin would not be found.
if [[ ! ${LC_ALL:-${LC_CTYPE:-${LANG:-}}} =~ [Uu][Tt][Ff]-?8 ]]; then
    export LC_ALL=C.UTF-8
fi

mkdir -p "$WINEPREFIX"
# Tests run in parallel: one of them starts the server (and sets the prefix up) while the others
# wait for the lock, which the server must not inherit. Wine's helper processes (services,
# devices) start with the first program and live as long as the server: started here, they keep
# /dev/null rather than the caller's output. wineserver -p fails when a server already runs.
flock --close "$WINEPREFIX.lock" sh -c 'if wineserver -p60; then wineboot; fi' </dev/null >/dev/null 2>&1
exec wine "$@"
