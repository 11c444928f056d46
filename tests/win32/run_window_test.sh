#!/usr/bin/env bash
# Runs the window test under Wine at 96 dpi (or DPI) on an X display of its own, whose number
# the server picks (-displayfd), for CTest: [DPI=192] run_window_test.sh WINE_RUN TEST.exe [ARGS]
# Wine's desktop process belongs to a display: the prefix's server stops before and after. With
# no window manager, unmanaged windows spare Wine's two-second wait for one at each hide.
set -uo pipefail
wine_run=$1
shift
display=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$display" >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k 2>/dev/null; wineserver -w; kill "$xvfb"; rm -f "$display"' EXIT
for ((i = 0; i < 100; i++)); do [[ -s $display ]] && break; sleep 0.1; done
export DISPLAY=":$(cat "$display")"
wineserver -k 2>/dev/null
wineserver -w
"$wine_run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
"$wine_run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "${DPI:-96}" /f >/dev/null
"$wine_run" "$@"
