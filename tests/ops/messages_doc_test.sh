#!/usr/bin/env bash
# Every message number the daemon's sources can log ("<NNNN:Severity>") has an
# entry ("### NNNN") in the operator message reference, and the reference
# lists no number the daemon no longer has.
set -euo pipefail
src="$1"
doc="$src/docs/messages.md"
used="$(find "$src" -path "$src/tests" -prune -o -path "$src/sim" -prune -o -path "$src/bench" -prune \
    -o -path "$src/build*" -prune -o -path "$src/.git" -prune \
    -o \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 grep -ohE '<[0-9]{4}:(Information|Warning|Error)>' | cut -c2-5 | sort -u)"
# Entries are headings "### NNNN ..." (or "####" inside a range's section);
# range headings such as "### 6000–6009" are not entries.
documented="$(grep -E '^#{3,4} [0-9]{4}( |$)' "$doc" | sed -E 's/^#+ ([0-9]{4}).*/\1/' | sort -u)"
[ "$(wc -l <<<"$used")" -ge 25 ] || { echo "found too few messages in the sources: $used"; exit 1; }
status=0
while read -r n; do
    grep -qx "$n" <<<"$documented" || { echo "message $n has no entry in docs/messages.md"; status=1; }
done <<<"$used"
while read -r n; do
    grep -qx "$n" <<<"$used" || { echo "docs/messages.md documents $n, which no source logs"; status=1; }
done <<<"$documented"
exit "$status"
