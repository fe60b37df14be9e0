#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) in build-fuzz/ and
# runs each for SECONDS (default 60), printing one line per target:
# executions, coverage, corpus and findings. Exits 1 when any target found
# something; its reproducer is kept under build-fuzz/findings/.
#
#   scripts/fuzz.sh [SECONDS] [--jobs N] [--only NAME] [--keep-corpus] [--no-build]
#
# Each run starts from the committed seeds (fuzz/corpus/NAME) and works in a
# copy, so the repository is not touched; --keep-corpus merges what the run
# found worth keeping back into fuzz/corpus/NAME (libFuzzer's -merge=1, which
# keeps only inputs that add coverage). --jobs runs that many targets at once
# (default: the number of processors).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}

seconds=60
jobs=$(nproc)
only=""
keep=0
do_build=1
while [ $# -gt 0 ]; do
    case "$1" in
        --jobs) jobs=$2; shift 2 ;;
        --only) only=$2; shift 2 ;;
        --keep-corpus) keep=1; shift ;;
        --no-build) do_build=0; shift ;;
        -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
        *) seconds=$1; shift ;;
    esac
done

if [ "$do_build" = 1 ]; then
    "$root/scripts/install-deps.sh" --fuzz
    if [ ! -f "$build/CMakeCache.txt" ]; then
        launcher=()
        if command -v ccache >/dev/null 2>&1; then
            launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        fi
        gen=()
        if command -v ninja >/dev/null 2>&1; then
            gen=(-G Ninja)
        fi
        CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${gen[@]}" "${launcher[@]}" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
            -DORIEL_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
    fi
    # Only the fuzz targets and what they link.
    cmake --build "$build" --target fuzz -j "$(nproc)"
fi

targets=$(cat "$build/fuzz/targets.txt")
if [ -n "$only" ]; then
    targets=$only
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/oriel_fuzz_run.XXXXXX")
trap 'rm -rf "$work"' EXIT
findings_dir="$build/findings"
mkdir -p "$findings_dir"

# One target: its own working corpus and artifact folder, libFuzzer's log.
run_one() {
    local name=$1
    local seeds="$root/fuzz/corpus/$name"
    local corpus="$work/$name/corpus"
    local artifacts="$work/$name/artifacts"
    mkdir -p "$corpus" "$artifacts"
    local dict=()
    if [ -f "$root/fuzz/dict/$name.dict" ]; then
        dict=(-dict="$root/fuzz/dict/$name.dict")
    fi
    # A whole job of the worker target takes a while; any other input that
    # runs for seconds is a hang.
    local timeout=10
    [ "$name" = fuzz_worker ] && timeout=60
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/fuzz/$name" "$corpus" "$seeds" "${dict[@]}" -max_total_time="$seconds" \
        -timeout="$timeout" -rss_limit_mb=2560 -max_len=65536 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" >"$work/$name/log" 2>&1 || true
    if [ "$keep" = 1 ]; then
        "$build/fuzz/$name" -merge=1 "$seeds" "$corpus" >>"$work/$name/log" 2>&1 || true
    fi
}

# Its line: executions, coverage (edges), features, corpus size, findings.
report_one() {
    local name=$1
    local log="$work/$name/log"
    local execs cov ft corpus found
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    corpus=$(grep -o 'corp: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    found=$(find "$work/$name/artifacts" -type f | wc -l)
    printf '%-24s %9s executions  cov %5s  ft %6s  corpus %5s  findings %s\n' "$name" \
        "${execs:-0}" "${cov:-?}" "${ft:-?}" "${corpus:-?}" "$found"
    if [ "$found" != 0 ]; then
        mkdir -p "$findings_dir/$name"
        cp "$work/$name/artifacts/"* "$findings_dir/$name/"
        cp "$log" "$findings_dir/$name/log.txt"
        for f in "$work/$name/artifacts/"*; do
            echo "    reproduce: $build/fuzz/$name $findings_dir/$name/$(basename "$f")"
        done
        grep -m3 -E 'ERROR|invariant failed|runtime error|deadly signal' "$log" | sed 's/^/    /'
    fi
    [ "$found" = 0 ]
}

echo "fuzzing each target for ${seconds}s, $jobs at a time"
running=0
for name in $targets; do
    run_one "$name" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

status=0
for name in $targets; do
    report_one "$name" || status=1
done
if [ "$status" != 0 ]; then
    echo "FINDINGS: see $findings_dir"
fi
exit $status
