#!/usr/bin/env bash
# Time-boxed exploration with the fuzz targets: each runs for a wall-clock
# time, with comparison tracing and every libFuzzer check on, so what it finds
# depends on the machine's speed. Not part of .ci/run (scripts/fuzz.sh is).
#
#   scripts/fuzz_explore.sh                       every target, 15 minutes each
#   scripts/fuzz_explore.sh --time 3600 cycle     one target, an hour
#   scripts/fuzz_explore.sh --seed 7 --keep       go on from earlier runs' inputs
#
# New inputs collect in build-fuzz/explore/<target>/ (emptied first without
# --keep). A finding is kept in build-fuzz/artifacts/<target>-crash-…: once
# fixed, copy it into tests/fuzz/corpus/<target>/ under a name that says what
# it found, so that every CI run replays it from then on.
set -euo pipefail

usage() { echo "usage: $0 [--time SECONDS] [--seed N] [--keep] [settings|worktxt|register|cycle]..." >&2; }

seconds=900
seed=1
keep=0
targets=()
while (($# > 0)); do
    case "$1" in
    --time) seconds="${2:?}"; shift 2 ;;
    --seed) seed="${2:?}"; shift 2 ;;
    --keep) keep=1; shift ;;
    settings | worktxt | register | cycle) targets+=("$1"); shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage; exit 2 ;;
    esac
done
((${#targets[@]} > 0)) || targets=(settings worktxt register cycle)

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/fuzz.sh" --build-only "${targets[@]}"
build="$root/build-fuzz"
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
mkdir -p "$build/artifacts"
status=0
for t in "${targets[@]}"; do
    corpus="$build/explore/$t"
    ((keep)) || rm -rf "$corpus"
    mkdir -p "$corpus"
    dict=()
    [ -f "$root/tests/fuzz/$t.dict" ] && dict=("-dict=$root/tests/fuzz/$t.dict")
    echo "== exploring $t for ${seconds}s (seed $seed)"
    log="$build/artifacts/$t-explore.log"
    if "$build/tests/fuzz/${t}_fuzz" -seed="$seed" -max_total_time="$seconds" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" "${dict[@]}" \
        "$corpus" "$root/tests/fuzz/corpus/$t" >"$log" 2>&1; then
        grep -E '^Done [0-9]+ runs' "$log" | sed "s/^/   $t: /"
    else
        status=1
        echo "!! $t found a fault; its output:"
        tail -n 60 "$log"
        ls "$build/artifacts/$t-"* 2>/dev/null | grep -v '\.log$' | sed 's/^/!! input: /'
        echo "!! once fixed, copy the input into tests/fuzz/corpus/$t/"
    fi
done
exit "$status"
