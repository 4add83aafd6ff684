#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer + UBSan) in
# build-fuzz/ and runs each for a bounded time from its seed corpus, with a
# fixed seed. Fails on any finding; the input that found it is kept in
# build-fuzz/artifacts/.
#
#   scripts/fuzz.sh                      every target, 15 seconds each
#   scripts/fuzz.sh --time 600 cycle     one target, ten minutes
#   scripts/fuzz.sh --seed 7 --time 60   another seed
#   scripts/fuzz.sh --keep --time 600    go on from the inputs of earlier runs
#
# New inputs found along the way go to build-fuzz/corpus/<target>/, never into
# the repository's seed corpus (tests/fuzz/corpus/<target>/). Without --keep
# that directory starts empty, so that a run is the same every time.
set -euo pipefail

usage() { echo "usage: $0 [--time SECONDS] [--seed N] [--keep] [settings|worktxt|register|cycle]..." >&2; }

seconds=15
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

# The daemon's files go to a private directory in memory when there is one.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
mkdir -p "$build/artifacts"
status=0
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t"
    ((keep)) || rm -rf "$corpus"
    mkdir -p "$corpus"
    dict=()
    [ -f "tests/fuzz/$t.dict" ] && dict=("-dict=tests/fuzz/$t.dict")
    echo "== fuzzing $t for ${seconds}s (seed $seed)"
    log="$build/artifacts/$t.log"
    if "$build/tests/fuzz/${t}_fuzz" -seed="$seed" -max_total_time="$seconds" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" "${dict[@]}" \
        "$corpus" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
        grep -E '^Done [0-9]+ runs' "$log" | sed "s/^/   $t: /"
    else
        status=1
        echo "!! $t found a fault; its output:"
        tail -n 60 "$log"
        ls "$build/artifacts/$t-"* 2>/dev/null | sed 's/^/!! input: /'
    fi
done
exit "$status"
