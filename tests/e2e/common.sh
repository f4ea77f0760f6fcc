# Shared by the shell tests of bytora.exe under Wine: ROOT, EXE, a work
# folder WORK removed at the end (after the caller's e2e_cleanup, when it
# defines one), the pass and fail counting, and win (a Unix path as Wine
# names it). Sourced with NAME set; needs a built tree (BUILD_DIR).
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/tools/buildenv.sh"
EXE="$BUILD_DIR/bin/bytora.exe"
[ -f "$EXE" ] || { echo "$NAME: $EXE is not built" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bytora-$NAME.XXXXXX")
cleanup() {
    declare -F e2e_cleanup >/dev/null && e2e_cleanup
    rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP

source "$ROOT/tests/support/checks.sh"
win() { winepath -w "$1" 2>/dev/null; }
