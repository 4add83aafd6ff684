#!/usr/bin/env bash
# Runs Kestrun against the controller simulator on the demo scenario
# (sim/demo.scenario) and shows what it logged. Installs what a fresh Debian 12
# machine lacks, builds, runs the daemon for a few cycles in a throw-away
# module directory, stops it with SIGTERM and prints its log, the syslog
# messages it sent, the register of removed drives and the event history.
#
# The daemon runs in real time (each removal of an array member pauses
# 5 seconds), so the demo takes about fifteen seconds. Syslog messages are
# captured by a small preload library instead of reaching the host's logger.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

source "$root/scripts/common.sh"
need_packages cmake g++ make

# A build directory of its own, so the demo never disturbs a test build.
# KESTRUN_DEMO_BUILD names an already configured one instead (the test suite
# runs the demo on its own build).
build="${KESTRUN_DEMO_BUILD:-$root/build-demo}"
if [ -z "${KESTRUN_DEMO_BUILD:-}" ]; then
    own_build_dir "$build" "$root"
    echo "== building"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUN_TESTS=OFF -DKESTRUN_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target Kestrun kestrun_sim kestrun_test_shim >/dev/null

run="$(mktemp -d "${TMPDIR:-/tmp}/kestrun-demo.XXXXXX")"
module="$run/module"
mkdir -p "$module"
cp "$build/Kestrun" "$module/"
cp "$build/sim/libstorelib.so.2.52-0" "$module/"
cp "$root/demo/Kestrun.ini" "$module/"
cp "$root/sim/demo.scenario" "$run/scenario"

echo "== module directory: $module"
echo "== running Kestrun (stopped with SIGTERM after the demo's events)"
KESTRUN_SIM_SCENARIO="$run/scenario" \
    KESTRUN_TEST_SYSLOG="$run/syslog.txt" \
    KESTRUN_TEST_SLEEP_MS=1000 \
    LD_PRELOAD="$build/shim/libkestrun_test_shim.so" \
    "$module/Kestrun" &
pid=$!

log="$module/PredictiveFailure.log"
deadline=$((SECONDS + 90))
# The last act of the scenario: drive 1 removed for its media errors.
until grep -q "<4800:" "$log" 2>/dev/null || ((SECONDS > deadline)); do
    sleep 1
done
sleep 2
kill -TERM "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
echo "== Kestrun exited with status $status"

echo
echo "== PredictiveFailure.log"
cat "$log"
echo
echo "== syslog messages (identity, priority, text)"
sed -E 's/^ident=([^ ]*) option=[0-9]+ facility=[0-9]+ priority=([0-9]+) open=[01] text=/\1 [\2] /' "$run/syslog.txt"
echo
echo "== PdState_Flag.dat (removed drives: controller,device)"
cat "$module/PdState_Flag.dat" 2>/dev/null || echo "(none)"
echo
for f in "$module"/AERROR_Cnt*.dat; do
    [ -e "$f" ] || continue
    echo "== $(basename "$f")"
    cat "$f"
done
echo
echo "== files left in $module:"
ls "$module"
echo
bash "$root/scripts/demo_summary.sh" "$module" "$run/syslog.txt" "$root/sim/demo.scenario"
