#!/usr/bin/env bash
# The service unit's sandbox: systemd-analyze's exposure score stays at 5.5 or
# less, and nothing the daemon, the controller library or the alert program
# needs is taken away.
#   unit_security_test.sh <unit file>
set -euo pipefail
unit="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }

# Offline: the score depends on the unit file and the systemd version only.
report="$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1)" ||
    { echo "$report"; fail "systemd-analyze security"; }
score="$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")"
[ -n "$score" ] || { echo "$report"; fail "no exposure level"; }
awk -v s="$score" 'BEGIN { exit !(s <= 5.5) }' || { echo "$report"; fail "exposure $score above 5.5"; }

# Lines that must be there (^) or must not (!): a removed capability or a
# device allow-list would cut the library off its controller; a filtered
# execve would stop the alert program and a re-executing reload.
while read -r kind line; do
    if [ "$kind" = "^" ]; then
        grep -q "^$line" "$unit" || fail "unit lacks $line"
    else
        ! grep -Eq "^($line)" "$unit" || fail "unit must not set $line"
    fi
done <<'RULES'
^ ReadWritePaths=/var/lib/kestrun$
^ CapabilityBoundingSet=.*CAP_SYS_ADMIN CAP_SYS_RAWIO CAP_MKNOD CAP_CHOWN CAP_FOWNER CAP_DAC_OVERRIDE
^ RestrictAddressFamilies=.*AF_UNIX
^ SystemCallErrorNumber=EPERM
! User=|DynamicUser=|PrivateUsers=|PrivateDevices=|DeviceAllow=|ProtectClock=|ProcSubset=|MemoryDenyWriteExecute=
! SystemCallFilter=[^~]|SystemCallFilter=.*(@process|@default|execve|@privileged|@raw-io|@resources)
RULES
echo "unit ok: exposure $score"
