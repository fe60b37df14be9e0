#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
export QT_QPA_PLATFORM=offscreen
# The chaos campaign (label chaos) runs apart: .ci/run gives it a step of its own.
ctest --test-dir "$root/build" --output-on-failure -j "$(nproc)" -LE chaos
