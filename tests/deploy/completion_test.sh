#!/usr/bin/env bash
# The shell completion of oriel_cli and fleet_cli against the built programs'
# own --help: options, commands, operands by kind, sector lists, values.
# tests/deploy/completion_test.sh BIN_DIR COMPLETION_SCRIPT
set -uo pipefail
PATH=$1:$PATH
# shellcheck source=/dev/null
source "$2"
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/image.cla" "$work/image.bin" "$work/pack.mfx"
mkdir "$work/logs"

expect() {
    local want=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _oriel_suite 2>/dev/null
    local got="${COMPREPLY[*]}"
    if [ "$got" != "$want" ]; then
        echo "FAILED: [$*] gave [$got], wanted [$want]"
        failures=$((failures + 1))
    fi
}

expect "--speed" oriel_cli --sp
expect "--list-ports" oriel_cli --list
expect "921600" oriel_cli --speed 9
expect "normal tat" oriel_cli --mode ""
expect "2 20" oriel_cli --com 2
expect "download download-all" oriel_cli do
expect "boot main bp" oriel_cli download ""
expect "$work/image.cla" oriel_cli download main "$work/image.c"
# After a command's operands, the next command.
expect "erase" oriel_cli --port /dev/x download main x.bin era
expect "dump" oriel_cli --timeout 5 info du
expect "2,5,13 2,5,130 2,5,131 2,5,132 2,5,133" oriel_cli erase 2,5,13
expect "4-13 4-130 4-131 4-132 4-133" oriel_cli dump 4-13
expect "$work/logs" oriel_cli dump 4 "$work/lo"
expect "--yes" oriel_cli nand-format ""
expect "" oriel_cli ls ""
expect "$work/pack.mfx" oriel_cli bin-mfx-download main x.cla "$work/pa"
expect "--slots" fleet_cli --sl
expect "1 2 3 4 5 6 7 8" fleet_cli --slots ""
expect "1 2 3 4" fleet_cli --watch /dev --platform ""
expect "$work/logs" fleet_cli --log-dir "$work/l"
expect "--json" fleet_cli --container --js
expect "" fleet_cli --vendor-id ""

if [ "$failures" -ne 0 ]; then
    echo "$failures completion cases failed"
    exit 1
fi
echo "all completion cases passed"
