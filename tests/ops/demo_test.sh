#!/usr/bin/env bash
# The README's first command: scripts/demo.sh runs on the suite's own build
# and ends with a summary naming every drive the demo scenario condemns, with
# its role, reason, message, syslog copy and register line.
set -euo pipefail
src="$1" build="$2"
tmp="$(mktemp -d "${TMPDIR:-/tmp}/kestrun-demo-test.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
status=0
TMPDIR="$tmp" KESTRUN_DEMO_BUILD="$build" bash "$src/scripts/demo.sh" >"$tmp/out.txt" 2>&1 || status=$?
summary="$(sed -n '/^== Summary/,$p' "$tmp/out.txt" | tr -s ' ')"
fail() { echo "FAIL: $*"; cat "$tmp/out.txt"; exit 1; }
[ "$status" -eq 0 ] || fail "demo.sh exited with $status"
grep -q 'Kestrun exited with status 0' "$tmp/out.txt" || fail "daemon exit status"
for want in \
    '^== Summary: 4 drive\(s\) taken out of service$' \
    '^ 14 hot spare SMART \(predictive failure\) 4000 yes 0,14 -$' \
    '^ 18 array member SMART \(predictive failure\) 4502 yes 0,18 -$' \
    '^ 1 array member MEDIUM \(media errors grew\) 4800 yes 0,1 ' \
    '^ 12 array member AERROR \(command timeouts, check conditions\) 4500 yes 0,12 AERROR_Cnt0_Id12_[0-9]{8}_[0-9]{6}\.dat$' \
    '^ 2 x SMART \(predictive failure\)$' \
    '^ 3 x array member$' \
    '^ 1 x hot spare$' \
    '^ removals that failed \(drive still in service\): 0$'; do
    grep -qE "$want" <<<"$summary" || fail "summary lacks: $want"
done
echo "demo ok"
