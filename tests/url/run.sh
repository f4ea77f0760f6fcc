#!/usr/bin/env bash
# The address tests: starts the loopback servers (HTTP, HTTPS trusted and
# untrusted, FTP; they make their own test authorities), runs the test
# executable under Wine against them, then Ctrl-C during a download in a real
# terminal, a download ended from outside and the default silence limit, and
# stops the servers again.
# Usage: run.sh path/to/test_url.exe [GoogleTest arguments]
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/tools/buildenv.sh"
EXE=$1
shift
source "$ROOT/tests/url/servers.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bytora-url.XXXXXX")
cleanup() {
    url_servers_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP

# Two RSA keys each for two authorities take a moment.
url_servers_for_tests "$WORK" || { echo "url: the servers did not start" >&2; exit 1; }
# The test program reads it through the Z: drive, where Wine shows the root.
CA=$WORK/trusted-ca.der
export BYTORA_TEST_CA="Z:${CA//\//\\}"

# The 30 s silence limit runs beside everything else (skipped, like the
# shell tests below, when only some tests were asked for).
if [ $# -eq 0 ]; then
    touch "$WORK/silence.started"
    bash "$ROOT/tests/url/silence.sh" >"$WORK/silence.log" 2>&1 &
    SILENCE=$!
    # Its download lasts the whole wait; the tests below count only the
    # downloads made after they started, so it must exist before they do.
    for ((i = 0; i < 200; i++)); do
        find "$WINEPREFIX"/drive_c/users/*/Temp -maxdepth 1 -name 'MMF*.tmp' -newer "$WORK/silence.started" \
            2>/dev/null | grep -q . && break
        sleep 0.1
    done
    sleep 1
fi
wine "$EXE" "$@"
status=$?
# Ctrl-C needs a real console: tmux gives one.
if [ $# -eq 0 ]; then
    bash "$ROOT/tests/url/ctrlc.sh" || status=1
    bash "$ROOT/tests/url/kill.sh" || status=1
    wait "$SILENCE" || status=1
    cat "$WORK/silence.log"
fi
exit $status
