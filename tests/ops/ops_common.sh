# Sourced by the ops tests: a fresh directory $tmp (named after $1), removed
# at exit together with the process $pid when one is set, and fail().
tmp="$(mktemp -d "${TMPDIR:-/tmp}/kestrun-$1.XXXXXX")"
pid=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
