#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [extra cmake args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
gen=()
if command -v ninja >/dev/null 2>&1; then
    gen=(-G Ninja)
fi
# A compiler cache, where one is installed, makes rebuilds of other trees cheap.
if command -v ccache >/dev/null 2>&1; then
    gen+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
else
    cmake -S "$root" -B "$dir" "$@" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
