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
# real node exporter; clang, valgrind and gcovr serve the other steps of
# .ci/run.
packages=(cmake g++ make libgtest-dev libgmock-dev googletest file
    rsyslog logrotate lintian mandoc dpkg-dev systemd prometheus prometheus-node-exporter
    clang-14 libclang-rt-14-dev valgrind gcovr python3)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if ((${#missing[@]} > 0)); then
    echo "== installing: ${missing[*]}"
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
    export DEBIAN_FRONTEND=noninteractive
    # Installing rsyslog, systemd or prometheus must not start the host's services (the
    # tests start their own logger): forbid service starts while installing.
    policy=/usr/sbin/policy-rc.d
    made_policy=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
        made_policy=1
    fi
    status=0
    "${sudo[@]}" apt-get update && 
        "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" </dev/null || status=$?
    if ((made_policy)); then "${sudo[@]}" rm -f "$policy"; fi
    ((status == 0)) || exit "$status"
fi

# --- configure ----------------------------------------------------------------
if ((sanitize)); then
    build="$root/build-asan"
    options=(-DKESTRUN_SANITIZE=ON -DKESTRUN_BENCH=OFF)
else
    build="$root/build"
    options=()
fi
# A build directory made for another source tree (a moved clone) cannot be reused.
if [ -f "$build/CMakeCache.txt" ] &&
    ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$build/CMakeCache.txt"; then
    echo "== $build belongs to another source tree: starting afresh"
    rm -rf "$build"
fi
echo "== configuring $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}"

# --- build and test -----------------------------------------------------------
echo "== building"
cmake --build "$build" -j"$(nproc)"

echo "== testing"
ctest --test-dir "$build" --output-on-failure -j2
