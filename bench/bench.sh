#!/usr/bin/env bash
# Throughput of bytora.exe (under Wine, output redirected to a file) against
# xxd's default dump of the same input, for the default line and for each
# common configuration, plus the peak memory of a small and a large input.
# Wine's own start-up is measured apart and subtracted; see bench/bench.py. A
# row compares a run on 20 bytes piped with one on the same bytes from a file.
# Usage: bench/bench.sh [size-in-MiB] [runs]
# BYTORA_EXE names another bytora.exe (with its two libraries beside it), to
# compare builds.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/tools/buildenv.sh"
SIZE_MB=${1:-64}
RUNS=${2:-5}

bytora_install_needs xxd:xxd hexdump:bsdextrautils od:coreutils python3:python3 || exit 1
bytora_setup --target bytora || exit 1

WORK=$(mktemp -d)
# A server kept alive for the whole run spares every run the server's own
# start and its noise. It serves the build's prefix and is stopped at the end
# (with whatever else still runs in that prefix: run nothing else meanwhile).
cleanup() {
    wineserver -k 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
wineserver -p 2>/dev/null

python3 "$ROOT/bench/bench.py" --work "$WORK" --size "$SIZE_MB" --runs "$RUNS" \
    --bytora "${BYTORA_EXE:-$BUILD_DIR/bin/bytora.exe}"
