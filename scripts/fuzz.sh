#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer + UBSan) in
# build-fuzz/ and checks them the same way on any machine:
#   1. every input of the repository's corpus (tests/fuzz/corpus/<target>/) is
#      replayed once, with leak detection per input;
#   2. a fixed number of new inputs is run from that corpus with a fixed seed.
# Fails on any finding; the input that found it is kept in build-fuzz/artifacts/.
#
#   scripts/fuzz.sh                      every target, its default number of runs
#   scripts/fuzz.sh --runs 100000 cycle  one target, more runs
#   scripts/fuzz.sh --seed 7             another seed
#   scripts/fuzz.sh --build-only         only build (scripts/fuzz_explore.sh)
#
# Nothing here depends on the machine's speed: no time limit (a run per input
# takes milliseconds; only a hang would meet the guard of `timeout`), no
# memory watch sampled by the clock, no comparison operands (they include
# addresses, which differ from run to run), no per-input leak check while
# fuzzing (a leak is still reported when the target exits), no corpus reload
# by the clock. The targets see the same module directory path, a fixed wall
# clock and file times taken from the names everywhere. Time-boxed
# exploration is scripts/fuzz_explore.sh; what it finds goes into the corpus.
set -euo pipefail

usage() { echo "usage: $0 [--runs N] [--seed N] [--build-only] [settings|worktxt|register|cycle]..." >&2; }

# Runs per target: about a minute for all four on an idle 2-core machine.
declare -A default_runs=([settings]=25000 [worktxt]=25000 [register]=15000 [cycle]=15000)
runs=""
seed=1
build_only=0
targets=()
while (($# > 0)); do
    case "$1" in
    --runs) runs="${2:?}"; shift 2 ;;
    --seed) seed="${2:?}"; shift 2 ;;
    --build-only) build_only=1; shift ;;
    settings | worktxt | register | cycle) targets+=("$1"); shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage; exit 2 ;;
    esac
done
((${#targets[@]} > 0)) || targets=(settings worktxt register cycle)

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

source "$root/scripts/common.sh"
need_packages cmake make clang-14 libclang-rt-14-dev

build="$root/build-fuzz"
own_build_dir "$build" "$root"
echo "== configuring $build"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRUN_FUZZ=ON -DKESTRUN_TESTS=OFF -DKESTRUN_BENCH=OFF >/dev/null
echo "== building"
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/%/_fuzz}"
((build_only)) && exit 0

# The daemon's files go to a private directory in memory when there is one;
# local time is UTC everywhere.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
export TZ=UTC
mkdir -p "$build/artifacts"
status=0
failed() {
    status=1
    echo "!! $1 found a fault; its output:"
    tail -n 60 "$2"
    ls "$build/artifacts/$1-"* 2>/dev/null | sed 's/^/!! input: /'
}
for t in "${targets[@]}"; do
    seeds="$root/tests/fuzz/corpus/$t"
    fuzzer="$build/tests/fuzz/${t}_fuzz"
    log="$build/artifacts/$t.log"
    n="${runs:-${default_runs[$t]}}"
    inputs=("$seeds"/*)
    echo "== $t: replaying ${#inputs[@]} corpus inputs"
    if ! timeout 600 "$fuzzer" -artifact_prefix="$build/artifacts/$t-" "${inputs[@]}" >"$log" 2>&1; then
        failed "$t" "$log"
        continue
    fi
    # New inputs go to a scratch directory that starts empty, never into the
    # repository's corpus.
    scratch="$build/corpus/$t"
    rm -rf "$scratch"
    mkdir -p "$scratch"
    dict=()
    [ -f "tests/fuzz/$t.dict" ] && dict=("-dict=$root/tests/fuzz/$t.dict")
    echo "== $t: $n runs (seed $seed)"
    if timeout 1800 "$fuzzer" -seed="$seed" -runs="$n" -use_cmp=0 -timeout=0 -reload=0 -rss_limit_mb=0 \
        -malloc_limit_mb=2048 -detect_leaks=0 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "${dict[@]}" "$scratch" "$seeds" >"$log" 2>&1; then
        grep -E '^Done [0-9]+ runs|^#[0-9]+ +DONE' "$log" | sed "s/^/   $t: /"
    else
        failed "$t" "$log"
    fi
done
exit "$status"
