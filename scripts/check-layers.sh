#!/usr/bin/env bash
# Keeps the daemon's folders in one line: a folder may include only folders at
# or below itself. Reads the `#include "folder/..."` lines of every source in
# the daemon's folders; fails, naming each offending line, if one reaches up
# the line or outside the daemon.
#
#   scripts/check-layers.sh           check
#   scripts/check-layers.sh --graph   also print which folder includes which
set -euo pipefail

# Lowest first. A folder not yet in the tree is simply skipped.
layers=(process config service alert log metrics storage isolate detect core)

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

graph=0
case "${1:-}" in
--graph) graph=1 ;;
"") ;;
*) echo "usage: $0 [--graph]" >&2; exit 2 ;;
esac

declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

status=0
declare -A edges
for from in "${layers[@]}"; do
    [ -d "$from" ] || continue
    while IFS=: read -r file line text; do
        to="$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")"
        [ "$to" != "$from" ] && edges[$from]+=" $to"
        if [ -z "${rank[$to]+x}" ]; then
            echo "$file:$line: $from/ includes $to/, which is not a folder of the daemon" >&2
            status=1
        elif ((rank[$to] > rank[$from])); then
            echo "$file:$line: $from/ includes $to/, which is above it" >&2
            status=1
        fi
    done < <(grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' \
        --include='*.h' --include='*.cpp' --include='*.in' -r "$from" || true)
done

if ((graph)); then
    for from in "${layers[@]}"; do
        [ -n "${edges[$from]:-}" ] || continue
        echo "$from → $(tr ' ' '\n' <<<"${edges[$from]}" | sort -u | paste -sd, - | sed 's/^,//; s/,/, /g')"
    done
fi
if ((status != 0)); then
    echo "folders must include only folders at or below them: ${layers[*]}" >&2
fi
exit "$status"
