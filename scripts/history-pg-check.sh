#!/usr/bin/env bash
# CI's flash-history step: the history on a real PostgreSQL server, started
# here in a temporary folder (local socket only) and removed afterwards.
#   1. an eight-handset batch of the packed fleet_cli records 8 jobs with the
#      hashes of the images it wrote;
#   2. a second batch during which the server is stopped and started again:
#      the running fleet_cli sends what waited, and every job is there once;
#   3. an oriel_cli job while the server is down waits in the spool; a later
#      "fleet_cli history" sends it, and it is there once.
# Uses the build tree scripts/test.sh built.  scripts/history-pg-check.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
"$root/scripts/install-deps.sh" --postgres

pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$pgbin/pg_ctl" ] || { echo "history-pg-check: no PostgreSQL server found" >&2; exit 1; }
fleet_cli="$build/cli/fleet_cli"
oriel_cli="$build/cli/oriel_cli"

work=$(mktemp -d /tmp/oriel_history_pg.XXXXXX)
chmod 755 "$work"
pids=()
server_up=0
# The server runs as "postgres" when this runs as root (initdb refuses root).
as_server() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}
pg_ctl() {
    as_server "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg/server.log" -w "$@" >/dev/null
}
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ "$server_up" = 1 ]; then
        pg_ctl stop -m immediate || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "history-pg-check: $*" >&2
    for f in "$work"/*.err "$work/pg/server.log"; do
        [ -f "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
    done
    exit 1
}
step() {
    echo "== $* ($(date +%T))"
}
start_server() {
    pg_ctl start -o "-k $work/sock -c listen_addresses= -p $port -c fsync=off"
    server_up=1
}
stop_server() {
    pg_ctl stop -m fast
    server_up=0
}
sql() {
    "$pgbin/psql" -X -A -t -q -h "$work/sock" -p "$port" -U oriel -d history -c "$1"
}

step "PostgreSQL server in $work"
port=$((20000 + RANDOM % 20000))
if [ "$(id -u)" -eq 0 ]; then
    install -d -o postgres -g postgres -m 700 "$work/pg"
    install -d -o postgres -g postgres -m 755 "$work/sock"
else
    install -d -m 700 "$work/pg"
    install -d -m 755 "$work/sock"
fi
as_server "$pgbin/initdb" -D "$work/pg" -A trust -U oriel -E UTF8 --no-sync >/dev/null
start_server
"$pgbin/createdb" -h "$work/sock" -p "$port" -U oriel history
url="postgresql://oriel@/history?host=$work/sock&port=$port"

# The programs' own data and settings (the spool among them) are the test's.
export XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config"
export QT_QPA_PLATFORM=offscreen

step "images and the line tool"
mkimg="$build/fleet/tools/fleet_mkimg"
"$mkimg" b000ff --out "$work/pda.bin" --records 4 --seed 3 >/dev/null
"$mkimg" flat --out "$work/eboot.nb0" --size 196608 --seed 4 >/dev/null
"$mkimg" flat --out "$work/phone.bin" --size 1400000 --seed 5 >/dev/null
"$build/fleet/tools/fleet_pack" --program "$fleet_cli" --eboot "$work/eboot.nb0" \
    --pda "$work/pda.bin" --profile 2 --out "$work/line_tool" >/dev/null

# Eight fresh handsets for each batch.
sim=""
start_sim() {
    rm -rf "$work/dev" "$work/store" "$work/sim.out"
    "$build/sim/fleet/fleet_handset_sim" --dir "$work/dev" --count 8 --store "$work/store" \
        >"$work/sim.out" 2>"$work/sim.err" &
    sim=$!
    pids+=("$sim")
    for _ in $(seq 200); do
        grep -qx "ready 8" "$work/sim.out" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "the simulated handsets did not start"
}
stop_sim() {
    kill "$sim"
    wait "$sim" || true
}
line_tool() {
    "$work/line_tool" --watch "$work/dev" --slots 8 --count 8 --container \
        --phone-image "$work/phone.bin" --phone --timeout 300 --history "$url" --json "$@"
}
# Slots that have ended, from the JSON events so far.
ended_slots() {
    { grep -E '"state":"(finished|failed)"' "$1" 2>/dev/null || true; } |
        sed 's/^{"slot":\([0-9]*\),.*/\1/' | sort -u | wc -l
}

step "batch 1: eight handsets, the server up"
start_sim
line_tool >"$work/b1.json" 2>"$work/b1.err" || fail "batch 1 failed"
stop_sim
[ "$(sql 'SELECT COUNT(*) FROM jobs')" = 8 ] || fail "batch 1: $(sql 'SELECT COUNT(*) FROM jobs') jobs, not 8"
[ "$(sql "SELECT COUNT(*) FROM jobs WHERE result = 'completed' AND program = 'fleet_downloader'")" = 8 ] ||
    fail "batch 1: not every job completed"
[ "$(sql 'SELECT COUNT(DISTINCT slot) FROM jobs')" = 8 ] || fail "batch 1: not one job per slot"
for image in eboot:eboot.nb0 pda:pda.bin phone:phone.bin; do
    role=${image%%:*}
    file="$work/${image#*:}"
    sha=$(sha256sum "$file" | cut -d' ' -f1)
    # gzip keeps the CRC-32 of what it compressed in its last 8 bytes.
    crc=$(gzip -c "$file" | tail -c 8 | od -An -tx4 -N4 | tr -d ' ')
    size=$(stat -c %s "$file")
    got=$(sql "SELECT COUNT(*) FROM job_images WHERE role = '$role' AND sha256 = '$sha' AND crc32 = '$crc' AND size = $size")
    [ "$got" = 8 ] || fail "batch 1: $got of 8 jobs name $role with its SHA-256 $sha, CRC-32 $crc and size"
done
echo "8 jobs, each with the SHA-256 and CRC-32 of its EBOOT, PDA and phone images"

step "batch 2: the server stopped after the first slot ends, started after the third"
start_sim
line_tool >"$work/b2.json" 2>"$work/b2.err" &
line=$!
pids+=("$line")
phase=0
while kill -0 "$line" 2>/dev/null; do
    n=$(ended_slots "$work/b2.json")
    if [ "$phase" = 0 ] && [ "$n" -ge 1 ]; then
        stop_server
        echo "server stopped with $n slot(s) ended"
        phase=1
    elif [ "$phase" = 1 ] && [ "$n" -ge 3 ]; then
        start_server
        echo "server started again with $n slot(s) ended"
        phase=2
    fi
    sleep 0.2
done
wait "$line" || fail "batch 2: a job failed, or fleet_cli did"
stop_sim
[ "$phase" = 2 ] || fail "batch 2 ended before the server could be stopped and started (phase $phase)"
[ "$(grep -c "history: cannot write to" "$work/b2.err")" = 1 ] ||
    fail "batch 2: the outage was not said exactly once"
grep -q "history: postgresql://oriel@/history?host=.* is back" "$work/b2.err" ||
    fail "batch 2: the return of the server was not said"
[ "$(sql 'SELECT COUNT(*) FROM jobs')" = 16 ] || fail "after batch 2: $(sql 'SELECT COUNT(*) FROM jobs') jobs, not 16"
[ "$(sql 'SELECT COUNT(DISTINCT job_uid) FROM jobs')" = 16 ] || fail "after batch 2: a job twice"
echo "16 jobs, each once: the running fleet_cli sent what waited"

step "an oriel_cli job while the server is down, sent by a later fleet_cli history"
stop_server
head -c 100000 /dev/urandom >"$work/main.bin"
"$build/sim/oriel/oriel_handset_sim" --link "$work/COM1" --nor "$work/nor.bin" --no-pace \
    >"$work/osim.out" 2>"$work/osim.err" &
pids+=("$!")
for _ in $(seq 100); do
    [ -e "$work/COM1" ] && break
    sleep 0.1
done
"$oriel_cli" --port "$work/COM1" --mode tat --speed 921600 --quiet --history "$url" \
    download main "$work/main.bin" 2>"$work/oriel.err" || fail "the oriel_cli job failed"
grep -q "history: cannot write to" "$work/oriel.err" || fail "the oriel_cli job did not say the outage"
start_server
"$fleet_cli" history --history "$url" --all-programs --json >"$work/all.json" 2>"$work/query.err" ||
    fail "fleet_cli history failed"
grep -q '"operation": "download main"' "$work/all.json" || fail "the query did not send the waiting job"
[ "$(sql 'SELECT COUNT(*) FROM jobs')" = 17 ] || fail "after the query: $(sql 'SELECT COUNT(*) FROM jobs') jobs, not 17"
[ "$(sql 'SELECT COUNT(DISTINCT job_uid) FROM jobs')" = 17 ] || fail "after the query: a job twice"
[ "$(sql "SELECT sha256 FROM job_images WHERE role = 'main'")" = "$(sha256sum "$work/main.bin" | cut -d' ' -f1)" ] ||
    fail "the oriel job's image hash"
"$fleet_cli" history --history "$url" --by-slot
echo "history-pg-check: all checks passed"
