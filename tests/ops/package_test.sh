#!/usr/bin/env bash
# Builds the Debian package from a configured build tree and checks it:
# file list, conffiles, module-directory links, maintainer scripts and the
# service calls of install, upgrade, remove and purge, lintian
# (no errors or warnings), the unit file (systemd-analyze verify), and that
# the packaged program runs with the packaged settings.
#   package_test.sh <build dir> <source dir> <simulator library>
set -euo pipefail
build="$1" src="$2" sim="$3"
. "$(dirname "${BASH_SOURCE[0]}")/ops_common.sh" pkg

(cd "$build" && cpack -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; }
deb=("$tmp"/out/kestrun_*_*.deb)
[ -f "${deb[0]}" ] || fail "no package built"
deb="${deb[0]}"

# --- file list ------------------------------------------------------------
expected="./etc/kestrun/Kestrun.ini
./etc/logrotate.d/kestrun
./lib/systemd/system/kestrun.service
./opt/kestrun/Kestrun
./opt/kestrun/lib/
./usr/share/doc/kestrun/changelog.gz
./usr/share/doc/kestrun/copyright
./usr/share/doc/kestrun/messages.md
./usr/share/kestrun/kestrun-alerts.yml
./usr/share/kestrun/kestrun-dashboard.json
./usr/share/lintian/overrides/kestrun
./usr/share/man/man5/Kestrun.ini.5.gz
./usr/share/man/man8/Kestrun.8.gz
./var/lib/kestrun/
./var/lib/kestrun/Kestrun -> /opt/kestrun/Kestrun
./var/lib/kestrun/Kestrun.ini -> /etc/kestrun/Kestrun.ini
./var/lib/kestrun/libstorelib.so.2.52-0 -> /opt/kestrun/lib/libstorelib.so.2.52-0"
# Leaf entries only: files, links, and the two directories that must exist empty.
actual="$(dpkg-deb -c "$deb" | awk '{ $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }' |
    grep -Ev '/$' | sort)
./opt/kestrun/lib/
./var/lib/kestrun/"
actual="$(sort <<<"$actual")"
diff <(echo "$expected") <(echo "$actual") || fail "file list differs (- expected, + built)"
listing="$(dpkg-deb -c "$deb")"
grep -q '^-rwxr-xr-x root/root .* \./opt/kestrun/Kestrun$' <<<"$listing" || fail "program mode/owner"

# --- control files ----------------------------------------------------------
dpkg-deb -e "$deb" "$tmp/control"
diff <(printf '/etc/kestrun/Kestrun.ini\n/etc/logrotate.d/kestrun\n') "$tmp/control/conffiles" ||
    fail "conffiles"
for s in prerm postinst postrm; do
    [ -x "$tmp/control/$s" ] || fail "$s not executable"
    sh -n "$tmp/control/$s" || fail "$s syntax"
done
commands="$(grep -v '^[[:space:]]*echo' "$tmp/control/postinst")"
! grep -Eq '(systemctl|deb-systemd-[a-z]+) .*[[:space:]](enable|start|restart)[[:space:]]' <<<"$commands" ||
    fail "postinst must enable and start nothing"
[[ "$(dpkg-deb -f "$deb" Depends)" == libc6* ]] || fail "Depends"

# Fake service manager: records every call, with whether the program was
# still installed, so that the host's own is never touched.
fakebin="$tmp/bin"
mkdir "$fakebin"
for tool in systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*$([ -e "$DPKG_ROOT/opt/kestrun/Kestrun" ] || echo " (program gone)")" >>"$KESTRUN_SERVICE_LOG"\n' \
        "$tool" >"$fakebin/$tool"
    chmod +x "$fakebin/$tool"
done
export KESTRUN_SERVICE_LOG="$tmp/service.log"
: >"$KESTRUN_SERVICE_LOG"

# purge keeps what protects the drives and removes only what is left over:
# run the packaged postrm on scratch copies of its directories.
for keep in yes no; do
    scratch="$tmp/purge-$keep"
    mkdir -p "$scratch/var/lib/kestrun" "$scratch/etc/kestrun"
    touch "$scratch/var/lib/kestrun/Work.txt"
    [ "$keep" = no ] || printf '0,5\n' >"$scratch/var/lib/kestrun/PdState_Flag.dat"
    DPKG_ROOT="$scratch" PATH="$fakebin:$PATH" sh "$tmp/control/postrm" purge >/dev/null ||
        fail "postrm purge failed"
    DPKG_ROOT="$scratch" PATH="$fakebin:$PATH" sh "$tmp/control/postrm" remove >/dev/null ||
        fail "postrm remove failed"
    [ ! -e "$scratch/var/lib/kestrun/Work.txt" ] && [ ! -e "$scratch/etc/kestrun" ] || fail "purge left files"
    if [ "$keep" = yes ]; then
        [ "$(cat "$scratch/var/lib/kestrun/PdState_Flag.dat")" = "0,5" ] || fail "purge lost the register"
    else
        [ ! -e "$scratch/var/lib/kestrun" ] || fail "purge left an empty module directory"
    fi
done
[ ! -s "$KESTRUN_SERVICE_LOG" ] || fail "service manager called without systemd running in the root"

# --- life cycle: install, upgrade, remove, purge ------------------------------
# dpkg on a private root, its maintainer scripts run outside a chroot with
# DPKG_ROOT set; the root looks as if systemd ran in it. The newer version is
# the same package relabelled.
life="$tmp/life"
mkdir -p "$life/var/lib/dpkg/info" "$life/var/lib/dpkg/updates" "$life/run/systemd/system"
touch "$life/var/lib/dpkg/status" "$life/var/lib/dpkg/available"
dpkg-deb -R "$deb" "$tmp/newer"
version="$(dpkg-deb -f "$deb" Version)"
sed -i "s/^Version: .*/Version: $version.1/" "$tmp/newer/DEBIAN/control"
dpkg-deb -b --root-owner-group "$tmp/newer" "$tmp/newer.deb" >/dev/null
step() { # step NAME dpkg-arguments...: runs dpkg, then compares the calls recorded
    local name="$1" expected="$2"
    shift 2
    : >"$KESTRUN_SERVICE_LOG"
    PATH="$fakebin:$PATH" dpkg --root="$life" --log="$tmp/dpkg.log" --force-script-chrootless \
        --force-depends "$@" >"$tmp/$name.out" 2>&1 || { cat "$tmp/$name.out"; fail "dpkg $name"; }
    diff <(printf '%s' "$expected") "$KESTRUN_SERVICE_LOG" || fail "$name: service calls differ (- expected)"
}
step install $'systemctl --system daemon-reload\n' -i "$deb"
grep -q "put the controller vendor's library" "$tmp/install.out" || fail "install: no word about the library"
echo "SMART_MODE=OFF" >>"$life/etc/kestrun/Kestrun.ini"
cp "$sim" "$life/opt/kestrun/lib/libstorelib.so.2.52-0"
printf '0,5\n' >"$life/var/lib/kestrun/PdState_Flag.dat"
echo log >"$life/var/lib/kestrun/PredictiveFailure.log"
mkdir -p "$life/etc/systemd/system/multi-user.target.wants"
ln -s /lib/systemd/system/kestrun.service "$life/etc/systemd/system/multi-user.target.wants/kestrun.service"
step upgrade $'systemctl --system daemon-reload\ndeb-systemd-invoke try-restart kestrun.service\n' \
    -i "$tmp/newer.deb"
[ "$(dpkg-query --admindir="$life/var/lib/dpkg" -W -f='${Version}' kestrun)" = "$version.1" ] || fail "upgrade"
tail -n1 "$life/etc/kestrun/Kestrun.ini" | grep -qx SMART_MODE=OFF || fail "upgrade lost the edited settings"
step remove $'deb-systemd-invoke stop kestrun.service\nsystemctl --system daemon-reload (program gone)\n' \
    -r kestrun
[ -s "$life/var/lib/kestrun/PdState_Flag.dat" ] && [ -e "$life/etc/kestrun/Kestrun.ini" ] || fail "remove lost files"
step purge $'systemctl --system daemon-reload (program gone)\n' -P kestrun
for word in /var/lib/kestrun PdState_Flag.dat PredictiveFailure.log /opt/kestrun/lib; do
    grep -q "$word" "$tmp/purge.out" || { cat "$tmp/purge.out"; fail "purge does not say it kept $word"; }
done
[ "$(cat "$life/var/lib/kestrun/PdState_Flag.dat")" = "0,5" ] && [ -e "$life/opt/kestrun/lib/libstorelib.so.2.52-0" ] ||
    fail "purge lost the register or the copied library"
[ ! -e "$life/etc/kestrun" ] && [ ! -L "$life/etc/systemd/system/multi-user.target.wants/kestrun.service" ] ||
    fail "purge left the settings directory or the enabling link"

# --- lintian: no errors, no warnings ------------------------------------------
lintian --allow-root --no-tag-display-limit "$deb" >"$tmp/lintian.txt" 2>&1 || true
if grep -Eq '^(E|W): ' "$tmp/lintian.txt"; then
    cat "$tmp/lintian.txt"
    fail "lintian"
fi

# --- unpacked tree: links resolve inside the tree -----------------------------
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
for link in Kestrun Kestrun.ini; do
    target="$(readlink "$root/var/lib/kestrun/$link")"
    [ -f "$root$target" ] || fail "link $link -> $target does not resolve in the package"
done

# --- the unit ---------------------------------------------------------------
# A scratch copy pointing at the unpacked program (the real paths do not exist here).
sed -e "s#^ExecStart=.*#ExecStart=$root/opt/kestrun/Kestrun#" \
    -e "s#/var/lib/kestrun#$root/var/lib/kestrun#g" \
    "$root/lib/systemd/system/kestrun.service" >"$tmp/kestrun.service"
systemd-analyze verify --man=no "$tmp/kestrun.service" >"$tmp/verify.txt" 2>&1 ||
    { cat "$tmp/verify.txt"; fail "systemd-analyze verify"; }
[ ! -s "$tmp/verify.txt" ] || { cat "$tmp/verify.txt"; fail "systemd-analyze verify reported"; }
for key in Type=notify WatchdogSec= TimeoutStopSec= 'RestartPreventExitStatus=2 3 6 255' \
    ProtectSystem=strict ReadWritePaths=/var/lib/kestrun ProtectHome=yes PrivateTmp=yes \
    NoNewPrivileges=yes ExecStart=/var/lib/kestrun/Kestrun; do
    grep -q "^$key" "$root/lib/systemd/system/kestrun.service" || fail "unit lacks $key"
done

# --- the packaged program runs with the packaged settings -----------------------
module="$tmp/module"
mkdir "$module"
cp "$root/opt/kestrun/Kestrun" "$root/etc/kestrun/Kestrun.ini" "$module/"
cp "$sim" "$module/libstorelib.so.2.52-0"
printf 'controller 0 model="MegaRAID SAS MODEL-4000"\ndrive c=0 id=0 state=online\n' >"$tmp/scenario"
KESTRUN_SIM_SCENARIO="$tmp/scenario" "$module/Kestrun" >"$tmp/stdout" 2>"$tmp/stderr" &
pid=$!
for _ in $(seq 100); do
    grep -q '<1001:' "$module/PredictiveFailure.log" 2>/dev/null && break
    sleep 0.1
done
sleep 0.5
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || fail "packaged program exited with $status"
grep -q '<1001:Information> Current Mode.  SMART Mode : ON, AERROR Mode : ON, MEDIUM Mode : ON$' \
    "$module/PredictiveFailure.log" || { cat "$module/PredictiveFailure.log"; fail "mode summary"; }
[ ! -s "$tmp/stdout" ] && [ ! -s "$tmp/stderr" ] || fail "output on stdout/stderr"
echo "package ok: $(basename "$deb")"
