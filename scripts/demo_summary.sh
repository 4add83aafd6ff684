#!/usr/bin/env bash
# Prints what a Kestrun run did at a glance: every drive taken out of service,
# by reason and role, and where each fact was written (log file, syslog,
# register, event history files).
#   demo_summary.sh <module dir> <syslog capture> <scenario as first written>
# The role is the drive's state in the scenario before the run.
set -euo pipefail
module="$1" syslog="$2" scenario="$3"
log="$module/PredictiveFailure.log"
register="$module/PdState_Flag.dat"

reason_of() {
    case "$1" in
    4000 | 4502) echo "SMART (predictive failure)" ;;
    4500 | 4700) echo "AERROR (command timeouts, check conditions)" ;;
    4800) echo "MEDIUM (media errors grew)" ;;
    esac
}
role_of() {
    local state
    state="$(grep -E "^drive c=[0-9]+ id=$1[[:space:]]" "$scenario" | grep -oE 'state=[a-z0-9]+' | tail -n1)"
    case "${state#state=}" in
    spare) echo "hot spare" ;;
    online) echo "array member" ;;
    rebuild) echo "rebuilding drive" ;;
    *) echo "drive (${state#state=})" ;;
    esac
}

declare -A by_reason=() by_role=()
rows=()
count=0
while IFS= read -r line; do
    n="$(grep -oE '<4(000|500|502|700|800):' <<<"$line" | tr -dc '0-9')"
    pd="$(grep -oE '\(PD:[0-9]+' <<<"$line" | head -n1 | tr -dc '0-9')"
    reason="$(reason_of "$n")"
    role="$(role_of "$pd")"
    reg="$(grep -E "^[0-9]+,$pd\$" "$register" 2>/dev/null | head -n1 || true)"
    hist="$(cd "$module" && ls AERROR_Cnt*_Id"$pd"_*.dat 2>/dev/null | paste -sd " " - || true)"
    sys="no"
    grep -qF "<$n:Error>" "$syslog" 2>/dev/null && grep -F "<$n:" "$syslog" | grep -qF "(PD:$pd" && sys="yes"
    rows+=("$(printf '  %-6s %-16s %-44s %-8s %-7s %-9s %s' "$pd" "$role" "$reason" "$n" "$sys" "${reg:-MISSING}" "${hist:--}")")
    by_reason[$reason]=$((${by_reason[$reason]:-0} + 1))
    by_role[$role]=$((${by_role[$role]:-0} + 1))
    count=$((count + 1))
done < <(grep -E '<4(000|500|502|700|800):' "$log" 2>/dev/null || true)

echo "== Summary: $count drive(s) taken out of service"
if ((count > 0)); then
    printf '  %-6s %-16s %-44s %-8s %-7s %-9s %s\n' drive role reason message syslog register "history file"
    printf '%s\n' "${rows[@]}"
    echo "  by reason:"
    for k in "${!by_reason[@]}"; do echo "    ${by_reason[$k]} x $k"; done | sort -k3
    echo "  by role:"
    for k in "${!by_role[@]}"; do echo "    ${by_role[$k]} x $k"; done | sort -k3
fi
failed="$(grep -cE '<4(001|101|501|601|801):' "$log" 2>/dev/null || true)"
echo "  removals that failed (drive still in service): ${failed:-0}"
echo "  written to: $log (one line per message);"
echo "              syslog, identity Kestrun (here captured in $syslog);"
echo "              $register (one controller,device line per removed drive);"
echo "              $(cd "$module" && ls AERROR_Cnt*.dat 2>/dev/null | wc -l) event history file(s) AERROR_Cnt*.dat (events counted for AERROR mode)"
