#!/usr/bin/env bash
# Installs what is missing, builds, and runs the most complete end-to-end job
# the suite has today: the serial link and engine driven over pseudo-terminals.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
"$root/build/tests/oriel/oriel_link_tests" --gtest_brief=1
"$root/build/tests/oriel/oriel_engine_tests" --gtest_brief=1
