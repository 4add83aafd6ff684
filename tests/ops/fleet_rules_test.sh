#!/usr/bin/env bash
# The fleet's alert rules and dashboard: both load in Prometheus, every alert
# and every dashboard query is unit-tested with promtool (fleet_rules_test.yml),
# and the test's series have the names and labels of a metrics file the
# daemon really wrote, against the simulator.
#   fleet_rules_test.sh <source dir> <Kestrun> <simulator library> <test shim>
set -euo pipefail
src="$1" daemon="$2" sim="$3" shim="$4"
. "$(dirname "${BASH_SOURCE[0]}")/ops_common.sh" fleet
rules="$src/packaging/fleet/kestrun-alerts.yml"
tests="$src/tests/ops/fleet_rules_test.yml"

promtool check rules "$rules" >"$tmp/check.txt" 2>&1 || { cat "$tmp/check.txt"; fail "alert rules"; }
# promtool compares annotations whole; they are text only, so they are left out.
awk '/^        annotations:/ { skip = 1; next } skip && /^          / { next } { skip = 0; print }' \
    "$rules" >"$tmp/alerts.yml"
! grep -q annotations "$tmp/alerts.yml" || fail "annotations not stripped"
python3 - "$src/packaging/fleet/kestrun-dashboard.json" >"$tmp/dashboard.yml" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
rules = [{"record": "kestrun_dashboard:panel%d_%s" % (p["id"], t["refId"].lower()), "expr": t["expr"]}
         for p in d["panels"] for t in p.get("targets", [])]
print(json.dumps({"groups": [{"name": "dashboard", "rules": rules}]}, indent=1))
PY
promtool check rules "$tmp/dashboard.yml" >"$tmp/check.txt" 2>&1 || { cat "$tmp/check.txt"; fail "dashboard queries"; }
for name in $(sed -n 's/^ *- alert: //p' "$rules") $(grep -o 'kestrun_dashboard:panel[0-9a-z_]*' "$tmp/dashboard.yml"); do
    grep -q "$name\b" "$tests" || fail "$name is not tested"
done
cp "$tests" "$tmp/fleet_rules_test.yml"
promtool test rules "$tmp/fleet_rules_test.yml" >"$tmp/test.txt" 2>&1 || { cat "$tmp/test.txt"; fail "promtool test rules"; }

# A real file: a member kept in service, a spare removed, every family.
module="$tmp/module"
mkdir "$module"
cp "$daemon" "$sim" "$module/"
printf '[WAIT]\nLWAIT_TIME=1000\n[METRICS]\nMETRICS_FILE=%s\n' "$tmp/kestrun.prom" >"$module/Kestrun.ini"
printf '%s\n' 'controller 0 model="MODEL-4000"' 'drive c=0 id=4 state=online pfail=1' \
    'drive c=0 id=5 state=online' 'ld c=0 n=0 raid=0 state=optimal members=4,5' \
    'drive c=0 id=7 state=spare pfail=1' >"$tmp/scenario"
KESTRUN_SIM_SCENARIO="$tmp/scenario" KESTRUN_TEST_SYSLOG="$tmp/syslog" KESTRUN_TEST_SLEEP_MS=0 \
    LD_PRELOAD="$shim" "$module/Kestrun" >/dev/null 2>&1 &
pid=$!
for _ in $(seq 100); do
    grep -Eq '^kestrun_cycles_total ([2-9]|[1-9][0-9]+)$' "$tmp/kestrun.prom" 2>/dev/null && break
    sleep 0.1
done
kill -TERM "$pid"
wait "$pid" || true
pid=
real="$tmp/kestrun.prom"
grep -q 'kestrun_drive_kept_in_service{' "$real" || { cat "$real"; fail "no kept drive in the real file"; }

# Each kestrun_ series of the test: its family is in the real file, and its
# labels, but for the scrape's (instance, job) and the drive's bay (enclosure,
# slot), are those of a real sample of the family.
python3 - "$real" "$tests" <<'PY' || fail "test series unlike the daemon's file"
import re, sys
keys = lambda labels: frozenset(re.findall(r'(\w+)="', labels or "")) - {"instance", "job", "enclosure", "slot"}
real = {}
for m in re.finditer(r'^(kestrun_\w+)(?:\{(.*)\})? ', open(sys.argv[1]).read(), re.M):
    real.setdefault(m.group(1), set()).add(keys(m.group(2)))
bad = [s for s, f, l in re.findall(r"series: '((kestrun_\w+)\{(.*)\})'", open(sys.argv[2]).read())
       if keys(l) not in real.get(f, ())]
bad and print("\n".join(bad))
sys.exit(1 if bad else 0)
PY
echo "fleet rules ok"
