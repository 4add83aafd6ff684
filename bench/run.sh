#!/bin/sh
# Builds the benchmarks if needed (Release) and runs them all:
#
#   bench/run.sh [memory|storm|scan|metrics|all]
#
# KESTRUN_BENCH_BUILD names the build directory (default: build-bench in the
# repository). See bench/README.md for what the figures mean.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTRUN_BENCH_BUILD:-$src/build-bench}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRUN_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target kestrun_bench >/dev/null
exec "$build/bench/kestrun_bench" "$@"
