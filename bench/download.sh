#!/usr/bin/env bash
# Download and dump of one large resource from a loopback HTTP server:
# bytora.exe (under Wine, with /M:64 so that the dump itself is small)
# against curl -o /dev/null of the same resource in the same run. Prints
# the times (best of three), the throughput and bytora's time over curl's.
# Usage: bench/download.sh [size-in-MiB]   (default 256)
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/tools/buildenv.sh"
SIZE_MB=${1:-256}
SIZE=$((SIZE_MB * 1048576))

bytora_install_needs curl:curl bc:bc || exit 1
bytora_setup --target bytora || exit 1

source "$ROOT/tests/url/servers.sh"
WORK=$(mktemp -d)
cleanup() {
    url_servers_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP

# The test servers: their /bytes/N is N bytes sent from memory.
mkdir -p "$WORK/ftp"
url_servers_start "$WORK" || { echo "the server did not start" >&2; exit 1; }
PORT=$(sed -n 's/^HTTP=//p' "$WORK/ports")
URL="http://127.0.0.1:$PORT/bytes/$SIZE"

# Time a command in seconds (best of three runs).
best() {
    local best="" t0 t1 t
    for _ in 1 2 3; do
        t0=$(date +%s.%N)
        "$@" >"$WORK/out" 2>"$WORK/err" </dev/null
        t1=$(date +%s.%N)
        t=$(echo "$t1 - $t0" | bc -l)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}

# The dump must be right, or the time means nothing: 4 lines of 16 bytes.
wine "$BUILD_DIR/bin/bytora.exe" /M:64 "$URL" >"$WORK/check" 2>&1 </dev/null
grep -q '^00000030  30 31 32 33' "$WORK/check" || { cat "$WORK/check" >&2; echo "bytora failed" >&2; exit 1; }

tw=$(best wine "$BUILD_DIR/bin/bytora.exe" /?)
tb=$(best wine "$BUILD_DIR/bin/bytora.exe" /M:64 "$URL")
tc=$(best curl -s -o /dev/null "$URL")
echo "== $SIZE_MB MiB over HTTP from 127.0.0.1"
for pair in "bytora:$tb" "curl:$tc"; do
    name=${pair%%:*} t=${pair#*:}
    printf '  %-8s %7.2f s  %8.1f MB/s\n' "$name" "$t" "$(echo "$SIZE / 1000000 / $t" | bc -l)"
done
printf '  wine start-up alone (bytora /?): %.2f s\n' "$tw"
printf '  bytora time / curl time: %.2f\n' "$(echo "$tb / $tc" | bc -l)"
