#!/usr/bin/env bash
# Renders the operator console offscreen in three situations (fresh start,
# after identification, during a download against the simulated handset) into
# docs/console-*.png, and the fleet window serving eight simulated handsets
# (during the batch and after it) into docs/fleet-*.png:
# scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
if [ ! -f "$dir/CMakeCache.txt" ]; then
    gen=()
    if command -v ninja >/dev/null 2>&1; then
        gen=(-G Ninja)
    fi
    cmake -S "$root" -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$dir" -j "$(nproc)" --target oriel_console_screenshots fleet_window_screenshots
mkdir -p "$root/docs"
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
    "$dir/tests/oriel/ui/oriel_console_screenshots" "$root/docs"
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
    "$dir/tests/fleet/fleet_window_screenshots" "$root/docs"
