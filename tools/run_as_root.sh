# shellcheck shell=bash
# The scripts' one way to run a command as root: directly when already root, else through sudo.
#   source "$repo/tools/run_as_root.sh"; run_as_root apt-get update
run_as_root() {
    if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}
