#!/usr/bin/env bash
# Installs what is missing, builds, starts the built-in simulated handset on a
# pseudo-terminal and runs the main job with the command-line downloader: the
# boot handshake (boot ROM, pre-loader, rate change to 921600, boot-loader,
# flash ID), a Main Binary download, and a dump of the same sectors to check it.
# Then the fleet: eight simulated handsets served at once by a one-file line
# tool (fleet_cli with the images packed into it), each checked byte for byte.
# scripts/demo.sh --installed does the same with the installed programs (the
# ones on PATH) and neither installs nor builds anything.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
installed=""
if [ "${1:-}" = "--installed" ]; then
    installed=1
else
    "$root/scripts/install-deps.sh"
    "$root/scripts/build.sh" "$root/build"
fi

# Where each program is: on PATH, or in the build tree.
prog() {
    if [ -n "$installed" ]; then
        command -v "$1" || { echo "demo: $1 is not installed" >&2; exit 1; }
        return
    fi
    case $1 in
        oriel_cli | fleet_cli) echo "$root/build/cli/$1" ;;
        oriel_handset_sim) echo "$root/build/sim/oriel/$1" ;;
        fleet_handset_sim) echo "$root/build/sim/fleet/$1" ;;
        fleet_pack | fleet_mkimg) echo "$root/build/fleet/tools/$1" ;;
    esac
}
oriel_cli=$(prog oriel_cli)
oriel_handset_sim=$(prog oriel_handset_sim)
fleet_cli=$(prog fleet_cli)
fleet_handset_sim=$(prog fleet_handset_sim)
fleet_pack=$(prog fleet_pack)
fleet_mkimg=$(prog fleet_mkimg)

work=$(mktemp -d)
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
stop_sim() {
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
}
trap cleanup EXIT

# The simulator prints "ready PATH" once its port is there.
mkfifo "$work/ready"
"$oriel_handset_sim" --link "$work/COM1" >"$work/ready" &
sim_pid=$!
read -r line <"$work/ready"
echo "simulated handset: $line"

head -c 262144 /dev/urandom >"$work/demo.cla"
"$oriel_cli" --port "$work/COM1" --speed 921600 --mode normal \
    download main "$work/demo.cla" dump 4-5 "$work/readback.hex"
if cmp -s "$work/demo.cla" "$work/readback.hex"; then
    echo "demo: the 256 KB image read back from NOR matches what was downloaded"
else
    echo "demo: the read-back differs from the image" >&2
    exit 1
fi
stop_sim

# The fleet: an EBOOT of the partition's length, a B000FF PDA image, a modem image.
"$fleet_mkimg" flat --out "$work/eboot.nb0" --size 196608 --seed 1 >/dev/null
"$fleet_mkimg" b000ff --out "$work/pda.bin" --records 4 --seed 2 >/dev/null
"$fleet_mkimg" flat --out "$work/phone.bin" --size 1400000 --seed 3 >/dev/null
"$fleet_pack" --program "$fleet_cli" --eboot "$work/eboot.nb0" \
    --pda "$work/pda.bin" --profile 2 --out "$work/line_tool" >/dev/null
mkdir -p "$work/dev" "$work/store"
mkfifo "$work/fleet_ready"
"$fleet_handset_sim" --dir "$work/dev" --count 8 --store "$work/store" \
    >"$work/fleet_ready" 2>"$work/fleet_sim.log" &
sim_pid=$!
# One "handset N ..." line per handset, then "ready N" once all are published.
exec 3<"$work/fleet_ready"
while read -r line <&3; do
    case $line in
        ready*) break ;;
    esac
done
echo "simulated fleet: ${line#ready } handsets in $work/dev"
# Keep the pipe drained for anything the simulator prints later.
cat <&3 >/dev/null &
exec 3<&-
"$work/line_tool" --watch "$work/dev" --count 8 --container --phone-image "$work/phone.bin" \
    --phone --log-dir "$work/logs" --timeout 300 | tail -n 10
for store in "$work"/store/*/; do
    cmp -s "$store/eboot.bin" "$work/eboot.nb0" && cmp -s "$store/pda_flash.bin" "$work/pda.bin" || {
        echo "demo: $(basename "$store") does not hold the images" >&2
        exit 1
    }
done
echo "demo: eight handsets hold EBOOT and the PDA image byte for byte ($(ls "$work/logs" | wc -l) slot logs written)"
