#!/usr/bin/env bash
# Runs the window test under Wine on an X display of its own, for CTest:
#   [DPI=192] tests/win32/run_window_test.sh WINE_RUN TEST.exe [ARGUMENTS...]
# at 96 dots per inch, or DPI. Wine's desktop process belongs to the display it started on, so
# the prefix's server stops before and after. The windows are left unmanaged: with no window
# manager on the display, Wine would wait two seconds for one each time a window is hidden.
set -uo pipefail
wine_run=$1
shift
wineserver -k 2>/dev/null
wineserver -w  # until it is gone
xvfb-run -a -s "-screen 0 1280x900x24" bash -c '
    "$0" reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f >/dev/null
    "$0" reg add "HKCU\\Control Panel\\Desktop" /v LogPixels /t REG_DWORD /d "${DPI:-96}" /f >/dev/null
    "$0" "$@"
    status=$?
    wineserver -k 2>/dev/null
    wineserver -w
    exit $status' "$wine_run" "$@"
