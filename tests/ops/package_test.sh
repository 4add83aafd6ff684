#!/usr/bin/env bash
# Builds the Debian package from a configured build tree and checks it:
# file list, conffiles, module-directory links, maintainer scripts, lintian
# (no errors or warnings), the unit file (systemd-analyze verify), and that
# the packaged program runs with the packaged settings.
#   package_test.sh <build dir> <source dir> <simulator library>
set -euo pipefail
build="$1" src="$2" sim="$3"
tmp="$(mktemp -d "${TMPDIR:-/tmp}/kestrun-pkg.XXXXXX")"
pid=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

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
for s in postinst postrm; do
    [ -x "$tmp/control/$s" ] || fail "$s not executable"
    sh -n "$tmp/control/$s" || fail "$s syntax"
done
commands="$(grep -v '^[[:space:]]*echo' "$tmp/control/postinst")"
! grep -Eq 'systemctl|deb-systemd' <<<"$commands" || fail "postinst must enable nothing"
[[ "$(dpkg-deb -f "$deb" Depends)" == libc6* ]] || fail "Depends"

# purge keeps what protects the drives and removes only what is left over:
# run the packaged postrm on scratch copies of its directories.
for keep in yes no; do
    scratch="$tmp/purge-$keep"
    mkdir -p "$scratch/var/lib/kestrun" "$scratch/etc/kestrun"
    touch "$scratch/var/lib/kestrun/Work.txt"
    [ "$keep" = no ] || printf '0,5\n' >"$scratch/var/lib/kestrun/PdState_Flag.dat"
    sed -e "s#/var/lib/kestrun#$scratch/var/lib/kestrun#g" -e "s#/etc/kestrun#$scratch/etc/kestrun#g" \
        "$tmp/control/postrm" >"$tmp/postrm-$keep"
    sh "$tmp/postrm-$keep" purge >/dev/null || fail "postrm purge failed"
    sh "$tmp/postrm-$keep" remove >/dev/null || fail "postrm remove failed"
    [ ! -e "$scratch/var/lib/kestrun/Work.txt" ] && [ ! -e "$scratch/etc/kestrun" ] || fail "purge left files"
    if [ "$keep" = yes ]; then
        [ "$(cat "$scratch/var/lib/kestrun/PdState_Flag.dat")" = "0,5" ] || fail "purge lost the register"
    else
        [ ! -e "$scratch/var/lib/kestrun" ] || fail "purge left an empty module directory"
    fi
done

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
