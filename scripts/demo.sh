#!/usr/bin/env bash
# Installs what is missing, builds, starts the built-in simulated handset on a
# pseudo-terminal and takes it through the boot handshake with the command-line
# downloader: boot ROM, pre-loader, rate change to 921600, boot-loader, flash ID.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"

work=$(mktemp -d)
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The simulator prints "ready PATH" once its port is there.
mkfifo "$work/ready"
"$root/build/sim/oriel/oriel_handset_sim" --link "$work/COM1" >"$work/ready" &
sim_pid=$!
read -r line <"$work/ready"
echo "simulated handset: $line"

"$root/build/cli/oriel_cli" --port "$work/COM1" --speed 921600 --mode normal identify
