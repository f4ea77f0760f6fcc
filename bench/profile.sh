#!/usr/bin/env bash
# Where a dump's time goes: samples bytora.exe under perf while it dumps a
# 64 MiB input to a file, and prints the share of each function per thread
# (the command's thread builds lines and copies them to the host; the host's
# writer thread encodes and writes). perf cannot name functions in Windows
# libraries, so the samples are matched against the libraries' symbol tables.
# Usage: bench/profile.sh [random|text] [BYTORA options...]
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# A build of its own that keeps the symbols the shipped binaries drop.
BUILD_DIR=${BUILD_DIR:-$ROOT/build-profile}
BYTORA_CMAKE_OPTIONS=(-DBYTORA_STRIP=OFF -DBYTORA_TESTS=OFF)
source "$ROOT/tools/buildenv.sh"
KIND=${1:-random}
shift || true

bytora_install_needs perf:linux-perf python3:python3 || exit 1
bytora_setup --target bytora || exit 1

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
python3 - "$WORK/input" "$KIND" <<'PY'
import random, sys
path, kind = sys.argv[1], sys.argv[2]
size = 64 << 20
if kind == "text":
    rng = random.Random(7)
    words = ["hex", "dump", "Grüße", "naïve", "café", "€uro", "日本語", "данные", "λόγος", "plain", "text", "ASCII"]
    data = "".join(" ".join(rng.choices(words, k=12)) + "\n" for _ in range(size // 60)).encode()[:size]
else:
    data = random.Random(1).randbytes(size)
open(path, "wb").write(data)
PY

perf record -F 10000 -o "$WORK/perf.data" -- wine "$BUILD_DIR/bin/bytora.exe" "$@" "$(winepath -w "$WORK/input" 2>/dev/null)" \
    </dev/null >"$WORK/out" 2>/dev/null || { echo "profile: perf could not sample here" >&2; exit 1; }
# The samples come on standard input, so the script goes into a file.
cat >"$WORK/resolve.py" <<'PY'
import bisect, collections, subprocess, sys
libs = sys.argv[1]
symbols = []
for dll in ("Bytora.dll", "TakeCmd.dll"):
    out = subprocess.run(["x86_64-w64-mingw32-nm", "-C", "--defined-only", f"{libs}/{dll}"],
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in "tT":
            symbols.append((int(parts[0], 16), f"{dll}: {parts[2]}"))
symbols.sort()
starts = [a for a, _ in symbols]
counts, threads = collections.Counter(), collections.Counter()
for line in sys.stdin:
    f = line.split()
    if len(f) < 4 or f[0] != "bytora.exe":
        continue
    tid, ip, dso = f[1], int(f[2], 16), f[3]
    i = bisect.bisect_right(starts, ip) - 1
    # The libraries load at their preferred bases, where nm places them.
    inside = symbols and symbols[0][0] <= ip <= symbols[-1][0] + 4096
    name = symbols[i][1] if inside and ip - symbols[i][0] < 1 << 16 else dso.strip("()")
    counts[(tid, name)] += 1
    threads[tid] += 1
total = sum(threads.values())
for tid, n in threads.most_common(3):
    print(f"thread {tid}: {100 * n / total:.1f}% of the samples")
    for (t, name), c in counts.most_common():
        if t == tid and c / n >= 0.01:
            print(f"  {100 * c / n:5.1f}%  {name[:100]}")
PY
perf script -i "$WORK/perf.data" -F comm,tid,ip,dso 2>/dev/null | python3 "$WORK/resolve.py" "$BUILD_DIR/bin"
