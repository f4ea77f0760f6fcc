#!/usr/bin/env bash
# Throughput of bytora.exe (under Wine, output redirected to a file) against
# xxd, od and hexdump on the same 64 MiB inputs: one of random bytes, one of
# UTF-8 text. Prints MB/s for each tool and bytora's ratio to each.
# Usage: bench/bench.sh [size-in-MiB] [extra BYTORA options...]
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/tools/buildenv.sh"
SIZE_MB=${1:-64}
shift || true
EXTRA=("$@")

bytora_install_needs xxd:xxd hexdump:bsdextrautils od:coreutils bc:bc python3:python3 || exit 1
bytora_setup --target bytora || exit 1

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
head -c $((SIZE_MB * 1048576)) /dev/urandom >"$WORK/random.bin"
python3 - "$WORK/text.txt" "$SIZE_MB" <<'PY'
import sys, random
random.seed(7)
words = ["hex", "dump", "Grüße", "naïve", "café", "€uro", "日本語", "данные", "λόγος", "plain", "text", "ASCII"]
target = int(sys.argv[2]) * 1048576
out = bytearray()
while len(out) < target:
    out += (" ".join(random.choice(words) for _ in range(12)) + "\n").encode("utf-8")
open(sys.argv[1], "wb").write(out[:target])
PY

# Time a command in seconds (best of three runs).
best() {
    local best=""
    for _ in 1 2 3; do
        local t0 t1
        # Truncating an old output inside the timed part would charge its
        # size to the tool that writes more.
        rm -f "$WORK/out"
        t0=$(date +%s.%N)
        "$@" >"$WORK/out" 2>/dev/null
        t1=$(date +%s.%N)
        local t
        t=$(echo "$t1 - $t0" | bc -l)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}

# Wine's own start-up is part of every bytora run; measure it to show it apart.
for f in random.bin text.txt; do
    echo "== $f ($SIZE_MB MiB)"
    tb=$(best wine "$BUILD_DIR/bin/bytora.exe" "${EXTRA[@]}" "$(winepath -w "$WORK/$f" 2>/dev/null)")
    tx=$(best xxd "$WORK/$f")
    to=$(best od -A x -t x1z "$WORK/$f")
    th=$(best hexdump -C "$WORK/$f")
    for pair in "bytora:$tb" "xxd:$tx" "od:$to" "hexdump:$th"; do
        name=${pair%%:*}; t=${pair#*:}
        printf '  %-8s %7.2f s  %8.1f MB/s\n' "$name" "$t" "$(echo "$SIZE_MB * 1.048576 / $t" | bc -l)"
    done
    printf '  bytora vs xxd: %.2fx   vs od: %.2fx   vs hexdump: %.2fx\n' \
        "$(echo "$tx / $tb" | bc -l)" "$(echo "$to / $tb" | bc -l)" "$(echo "$th / $tb" | bc -l)"
done
