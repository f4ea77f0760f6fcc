#!/usr/bin/env bash
# The soak and the faults of a long-lived host: starts the loopback servers of
# the address tests, runs the test program under Wine against them, and stops
# them again. BYTORA_SOAK_COMMANDS sets the number of commands of the soak.
# Usage: run.sh path/to/test_soak.exe [GoogleTest arguments]
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/tools/buildenv.sh"
EXE=$1
shift
source "$ROOT/tests/url/servers.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bytora-soak.XXXXXX")
cleanup() {
    url_servers_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP

url_servers_for_tests "$WORK" || { echo "soak: the servers did not start" >&2; exit 1; }
wine "$EXE" "$@"
