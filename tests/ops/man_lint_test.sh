#!/usr/bin/env bash
# Both manual pages lint clean (mandoc, every warning level) and name every
# settings key the program reads.
set -euo pipefail
src="$1"
status=0
for page in "$src"/docs/man/Kestrun.8 "$src"/docs/man/Kestrun.ini.5; do
    out="$(mandoc -T lint -W all "$page" 2>&1)" || true
    if [ -n "$out" ]; then
        echo "$out"
        status=1
    fi
done
# Plain keys as "KEY=", numbered ones as "KEY n" (how the page writes them).
keys="$({ grep -o '"[A-Z_]\+="' "$src/config/settings.cpp" | tr -d '"'
    grep -o 'iIndexedKey([^,]*, "[A-Z_]*"' "$src/config/settings.cpp" | sed 's/.*"\([A-Z_]*\)"/\1 n/'
} | sort -u)"
[ "$(wc -l <<<"$keys")" -ge 17 ] || { echo "found only: $keys"; status=1; }
while read -r key; do
    grep -q "^\.BI\? $key" "$src/docs/man/Kestrun.ini.5" || { echo "Kestrun.ini.5 lacks $key"; status=1; }
done <<<"$keys"
exit "$status"
