#!/usr/bin/env bash
# Runs a part of the end-to-end suite that touches every subsystem (start,
# each mode's removal, the register rewrite, history pruning, stops) with the
# daemon under valgrind memcheck, and fails on any error or on any byte
# definitely or indirectly lost. Uses the plain build in build/.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

source "$root/scripts/common.sh"
need_packages valgrind

build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target Kestrun kestrun_e2e kestrun_sim kestrun_test_shim

tests=(
    Startup.StartMessageThenEveryStopSignalSequenceExitsCleanly
    Startup.StopDuringALongWaitEndsTheWaitAtOnce
    Loader.EachEndOfTheRunUnloadsTheLibraryExactlyOnce
    Register.StartupSetsReturnedDrivesBadAgainAndKeepsOnlyTheirLines
    Register.RemovedDrivesAreListedOnceAndSetBadAgainAfterARestart
    Removal.HotSpareLosesItsRoleAndIsSetBad
    Removal.OnlineMemberIsSetFailedAndRecheckedAfterAPause
    Removal.RebuildingDriveHasItsRebuildCancelledWhenItCannotBeFailed
    HealthScan.SmartRemovesMemberSpareAndRebuildingDriveOnlyWhileTheyServe
    HealthScan.TimeModeComparesWithTheSampleOneWindowEarlier
    EventScan.OneFailingDriveWithDefaultSettingsIsTakenOutOfService
    EventScan.CountModeSendsTheDriveToRemovalAtTheThresholdAndForEveryLaterEvent
    History/Pruning.SecondEventOfARunDeletesTheOldestFileOfTheDriveAndNothingElse/SevenByDefault
)
filter="$(IFS=:; echo "${tests[*]}")"

logs="$(mktemp -d "${TMPDIR:-/tmp}/kestrun-valgrind-XXXXXX")"
trap '[ -n "${KESTRUN_KEEP_VALGRIND_LOGS:-}" ] || rm -rf "$logs"' EXIT
export KESTRUN_TEST_WRAPPER="$(command -v valgrind) --tool=memcheck --leak-check=full \
--show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
--child-silent-after-fork=yes --log-file=$logs/vg.%p.log"
export KESTRUN_TEST_TIMEOUT_SCALE=20

status=0
"$build/tests/e2e/kestrun_e2e" --gtest_filter="$filter" --gtest_brief=1 || status=1

# One log per daemon process; the summary lines of each.
runs=0 cut=0 errors=0 definite=0 indirect=0
for f in "$logs"/vg.*.log; do
    [ -e "$f" ] || continue
    # The daemon's forks for ldd log nothing; a daemon ended by SIGKILL (a
    # test's deliberate kill) logs no summary.
    [ -s "$f" ] || continue
    if ! grep -q "ERROR SUMMARY" "$f"; then
        cut=$((cut + 1))
        # Errors it found before the kill still count.
        k=$(grep -cE "Invalid (read|write|free)|uninitialised|Mismatched|overlap" "$f" || true)
        errors=$((errors + k))
        ((k == 0)) || { echo "!! $f:"; cat "$f"; }
        continue
    fi
    runs=$((runs + 1))
    e=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$f" | tr -d , | tail -n1)
    d=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$f" | tr -d , | tail -n1)
    i=$(sed -n 's/.*indirectly lost: \([0-9,]*\) bytes.*/\1/p' "$f" | tr -d , | tail -n1)
    errors=$((errors + ${e:-0})) definite=$((definite + ${d:-0})) indirect=$((indirect + ${i:-0}))
    if [ "${e:-0}" != 0 ] || [ "${d:-0}" != 0 ] || [ "${i:-0}" != 0 ]; then
        echo "!! $f:"
        cat "$f"
    fi
done
echo "== valgrind: $runs daemon runs, $cut killed before their summary; $errors errors, $definite bytes definitely and $indirect bytes indirectly lost"
if ((runs == 0)); then
    echo "!! no daemon ran under valgrind"
    status=1
fi
if ((errors + definite + indirect > 0)); then status=1; fi
exit "$status"
