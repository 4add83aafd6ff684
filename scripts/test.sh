#!/usr/bin/env bash
# Builds Kestrun and runs its whole test suite, installing what a fresh
# Debian 12 machine lacks. Safe to run again: it reuses the build directory.
#
#   scripts/test.sh              plain build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-asan/
set -euo pipefail

usage() { echo "usage: $0 [--sanitize]" >&2; }

sanitize=0
for arg in "$@"; do
    case "$arg" in
    --sanitize) sanitize=1 ;;
    -h | --help) usage; exit 0 ;;
    *) usage; exit 2 ;;
    esac
done

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# --- tools and libraries -----------------------------------------------------
# ldd and the shell come with every Debian system (libc-bin, bash); the rest
# may be missing on a fresh machine. The operations tests use the real
# rsyslogd, logrotate, lintian, mandoc, dpkg-deb/cpack and systemd-analyze;
# the metrics tests check the file with promtool (package prometheus) and a
# real node exporter; the register's crash test kills the daemon through
# strace; clang, valgrind and gcovr serve the other steps of .ci/run.
packages=(cmake g++ make libgtest-dev libgmock-dev googletest file
    rsyslog logrotate lintian mandoc dpkg-dev systemd prometheus prometheus-node-exporter
    clang-14 libclang-rt-14-dev valgrind gcovr python3 strace)
source "$root/scripts/common.sh"
need_packages "${packages[@]}"

# --- configure ----------------------------------------------------------------
if ((sanitize)); then
    build="$root/build-asan"
    options=(-DKESTRUN_SANITIZE=ON -DKESTRUN_BENCH=OFF)
else
    build="$root/build"
    options=()
fi
own_build_dir "$build" "$root"
echo "== configuring $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}"

# --- build and test -----------------------------------------------------------
echo "== building"
cmake --build "$build" -j"$(nproc)"

echo "== testing"
ctest --test-dir "$build" --output-on-failure -j2
