#!/usr/bin/env bash
# Times a 4 MB NOR download and a 4 MB NOR dump through oriel_cli against the
# simulated handset with line pacing at 921600 baud, and prints each rate
# beside the wire limit: 92160 bytes/s at 8N1, less the protocol's own bytes
# (per 128 KB sector: 5 command bytes, 64 chunk acknowledgements and the sum;
# per 8 KB dump block: the 5-byte request and the check byte). Then the same
# download with --verify: what the read-back adds to a download.
#
#   bench/oriel_nor_bench.sh [BUILD_DIR]     (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
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

head -c $((4 * 1024 * 1024)) /dev/urandom >"$work/image.bin"
mkfifo "$work/ready"
"$build/sim/oriel/oriel_handset_sim" --link "$work/COM1" --nor "$work/nor.bin" \
    >"$work/ready" 2>"$work/sim.log" &
sim_pid=$!
read -r _ <"$work/ready"

# Sectors 4-35 are the 32 x 128 KB the image was written to.
"$build/cli/oriel_cli" --port "$work/COM1" --speed 921600 --mode tat --quiet --log "$work/run.log" \
    download main "$work/image.bin" dump 4-35 "$work/dump.bin" 2>"$work/cli.err" || {
    cat "$work/cli.err" >&2
    exit 1
}
cmp -s "$work/image.bin" "$work/dump.bin" || {
    echo "the dump does not match the image" >&2
    exit 1
}

"$build/cli/oriel_cli" --port "$work/COM1" --speed 921600 --mode tat --quiet --log "$work/verify.log" \
    download main "$work/image.bin" --verify 2>"$work/cli.err" || {
    cat "$work/cli.err" >&2
    exit 1
}

# The log holds one "<op>: done, N bytes in T s (R bytes/s)" line per operation.
rate() { grep -o "$1: done, .* (\([0-9]*\) bytes/s)" "$2" | sed 's/.*(\([0-9]*\) bytes\/s)/\1/'; }
seconds() { grep -o "$1: done, [0-9]* bytes in [0-9.]* s" "$2" | sed 's/.* in \([0-9.]*\) s/\1/'; }
download=$(rate "download main" "$work/run.log")
dump=$(rate "dump" "$work/run.log")
t_download=$(seconds "download main" "$work/run.log")
t_verified=$(seconds "download main" "$work/verify.log")
awk -v dl="$download" -v du="$dump" -v td="$t_download" -v tv="$t_verified" 'BEGIN {
    line = 92160.0
    dl_limit = line * 131072 / (131072 + 5 + 64 + 1)
    du_limit = line * 8192 / (8192 + 5 + 1)
    printf "%-30s %12s %12s %7s\n", "4 MB at 921600 baud, paced", "bytes/s", "wire limit", "ratio"
    printf "%-30s %12d %12d %7.3f %s\n", "NOR download", dl, dl_limit, dl / dl_limit, (dl / dl_limit >= 0.97 ? "ok" : "BELOW 0.97")
    printf "%-30s %12d %12d %7.3f %s\n", "NOR dump", du, du_limit, du / du_limit, (du / du_limit >= 0.97 ? "ok" : "BELOW 0.97")
    # The read-back is a dump of the image range: its time against the dump limit.
    vr = 4194304 / (tv - td)
    printf "%-30s %12d %12d %7.3f %s\n", "verify (read-back)", vr, du_limit, vr / du_limit, (vr / du_limit >= 0.97 ? "ok" : "BELOW 0.97")
    printf "download %.1f s, download --verify %.1f s: verification adds %.1f s (%.0f%%)\n", td, tv, tv - td, 100 * (tv - td) / td
    exit (dl / dl_limit >= 0.97 && du / du_limit >= 0.97 && vr / du_limit >= 0.97) ? 0 : 1
}'
