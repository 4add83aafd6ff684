# Sourced by the scripts: what more than one of them needs.

# need_packages NAME... installs the Debian packages among NAME... that are
# missing (apt-get, through sudo when not root). Installing rsyslog, systemd or
# prometheus must not start the host's services (the tests start their own):
# service starts are forbidden while installing.
need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    ((${#missing[@]} > 0)) || return 0
    echo "== installing: ${missing[*]}"
    local sudo=() policy=/usr/sbin/policy-rc.d made_policy=0 status=0
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
        made_policy=1
    fi
    "${sudo[@]}" apt-get update &&
        "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" </dev/null || status=$?
    if ((made_policy)); then "${sudo[@]}" rm -f "$policy"; fi
    return "$status"
}

# own_build_dir DIR ROOT removes DIR when it was configured for another source
# tree (a moved clone): such a build directory cannot be reused.
own_build_dir() {
    if [ -f "$1/CMakeCache.txt" ] && ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$2" "$1/CMakeCache.txt"; then
        echo "== $1 belongs to another source tree: starting afresh"
        rm -rf "$1"
    fi
}
