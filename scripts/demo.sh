#!/usr/bin/env bash
# Installs what is missing, builds, starts the built-in simulated handset on a
# pseudo-terminal and runs the main job with the command-line downloader: the
# boot handshake (boot ROM, pre-loader, rate change to 921600, boot-loader,
# flash ID), a Main Binary download, and a dump of the same sectors to check it.
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

head -c 262144 /dev/urandom >"$work/demo.cla"
"$root/build/cli/oriel_cli" --port "$work/COM1" --speed 921600 --mode normal \
    download main "$work/demo.cla" dump 4-5 "$work/readback.hex"
if cmp -s "$work/demo.cla" "$work/readback.hex"; then
    echo "demo: the 256 KB image read back from NOR matches what was downloaded"
else
    echo "demo: the read-back differs from the image" >&2
    exit 1
fi
