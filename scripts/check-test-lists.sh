#!/usr/bin/env bash
# The test executables list their sources by name; a test file missing from
# its folder's CMakeLists.txt would silently never be built. Fails naming it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

status=0
for file in tests/*/*_test.cpp; do
    list="$(dirname "$file")/CMakeLists.txt"
    if ! grep -qE "(^|[[:space:]])$(basename "$file")([[:space:]]|\)|$)" "$list"; then
        echo "$file is not listed in $list" >&2
        status=1
    fi
done
exit "$status"
