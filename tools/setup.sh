#!/usr/bin/env bash
# Installs what building and running need on Debian 12 when it is missing (tools/install-deps.sh
# --run, with sudo when not root), builds the two programs in build/ (no tests, no benchmarks: the
# test command builds those), lets them bind port 69 without root, and starts serving DIRECTORY,
# by default the folder that you run it in (Quillet.log is written there). With a display it
# starts the window program quillet; without one, the headless quilletd.
#
#   tools/setup.sh [DIRECTORY]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
serve_dir=$(cd "${1:-$PWD}" && pwd)

# shellcheck source=run_as_root.sh
source "$repo/tools/run_as_root.sh"

"$repo/tools/install-deps.sh" --run

# The default preset's build folder, without what only the tests need; a warning does not stop a
# user's build (the test command's builds treat warnings as errors).
cmake -S "$repo" --preset default -DBUILD_TESTING=OFF -DQUILLET_BUILD_BENCH=OFF -DQUILLET_WERROR=OFF
cmake --build "$repo/build"

# Port 69 is a privileged port: give the programs the one capability they need rather than root.
for program in "$repo/build/src/quilletd" "$repo/build/src/ui/quillet"; do
    if [[ -x $program ]]; then
        run_as_root setcap cap_net_bind_service=+ep "$program"
    fi
done

cd "$serve_dir"
if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
    echo "Serving $serve_dir with the window program (close the window to stop)."
    exec "$repo/build/src/ui/quillet"
else
    echo "No display: serving $serve_dir with quilletd (Ctrl+C to stop)."
    exec "$repo/build/src/quilletd"
fi
