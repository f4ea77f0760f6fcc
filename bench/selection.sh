#!/usr/bin/env bash
# Cost of the file-selection walk: "/S" over a tree of 20,000 small files in
# 2,000 folders (each with a descript.ion), with no filter, with a size range
# and with a description filter. Half the files are 2 bytes and described as
# "keep", so each of the first two filters keeps half. Then one folder of 1,000
# files with a 15 MB descript.ion. Output goes to a file. The dump of every
# file is set against `find | xargs -0 hexdump -C` over the same files; Wine's
# own start-up (a run on one small file) is measured apart and subtracted from
# bytora's times. Best of three runs each. Then the two shapes whose cost per
# file must stay flat as they grow: one large folder without a descript.ion
# under a description filter, and a chain of folders one file each, set
# against opening the same files by their full names at the same depth.
# Usage: bench/selection.sh [folders] [files-per-folder]
# BYTORA_EXE names another bytora.exe (with its two libraries beside it), to
# compare builds on the same tree.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/tools/buildenv.sh"
DIRS=${1:-2000}
PER=${2:-10}
bytora_install_needs bc:bc python3:python3 hexdump:bsdextrautils find:findutils xargs:findutils || exit 1
bytora_setup --target bytora || exit 1

WORK=$(mktemp -d)
# One server for every run, so that no run pays for the server's own start;
# it serves the build's prefix and is stopped at the end.
trap 'wineserver -k 2>/dev/null; rm -rf "$WORK"' EXIT
python3 - "$WORK/tree" "$DIRS" "$PER" <<'PY'
import os, sys
root, dirs, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(dirs):
    # 20 top folders, each with nested levels, so the walk goes deep as well as wide
    path = os.path.join(root, "t%02d" % (d % 20), *("l%d" % k for k in range(d // 20 % 5)), "d%04d" % d)
    os.makedirs(path, exist_ok=True)
    lines = []
    for f in range(per):
        name = "f%02d.dat" % f
        with open(os.path.join(path, name), "wb") as out:
            out.write(b"ab" if f % 2 else b"a")
        lines.append("%s %s\r\n" % (name, "keep this" if f % 2 else "skip this"))
    with open(os.path.join(path, "descript.ion"), "w") as out:
        out.write("".join(lines))
PY
TREE=$(winepath -w "$WORK/tree" 2>/dev/null)

best() {
    local best=""
    for _ in 1 2 3; do
        local t0 t1 t
        rm -f "$WORK/out"
        t0=$(date +%s.%N)
        "$@" >"$WORK/out" 2>/dev/null </dev/null
        t1=$(date +%s.%N)
        t=$(echo "$t1 - $t0" | bc -l)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}

EXE=${BYTORA_EXE:-$BUILD_DIR/bin/bytora.exe}
wineserver -p 2>/dev/null
start=$(best wine "$EXE" /N:F "$TREE\\t00\\d0000\\f00.dat")
hexdump_all() ( cd "$WORK/tree" && find . -type f -name '*.dat' -print0 | xargs -0 hexdump -C )
hex=$(best hexdump_all)
printf 'tree: %d folders, %d files; Wine start-up %.2f s (subtracted below)\n' "$DIRS" $((DIRS * PER)) "$start"
printf '%-12s %6.2f s  (%5.1f us per file)\n' "hexdump -C" "$hex" "$(echo "$hex * 1000000 / ($DIRS * $PER)" | bc -l)"
# The floor under Wine: every file opened, read and closed once by its full
# name, by a program that does nothing else.
x86_64-w64-mingw32-g++ -O2 -o "$WORK/open_floor.exe" "$ROOT/bench/open_floor.cpp" || exit 1
python3 - "$WORK/tree" "$TREE" >"$WORK/files.txt" <<'PY'
import os, sys
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        if name.endswith(".dat"):
            rel = os.path.relpath(os.path.join(folder, name), sys.argv[1])
            print(sys.argv[2] + "\\" + rel.replace("/", "\\"))
PY
floor=$(best wine "$WORK/open_floor.exe" "$(winepath -w "$WORK/files.txt" 2>/dev/null)")
own=$(echo "$floor - $start" | bc -l)
floor_own=$own
printf '%-12s %6.2f s  (%5.1f us per file after start-up)  %.2fx hexdump: opening, reading and closing each file, nothing else\n' \
    "open+read" "$floor" "$(echo "$own * 1000000 / ($DIRS * $PER)" | bc -l)" "$(echo "$own / $hex" | bc -l)"
# The last two rows keep nothing: the walk and the lookups without the dumps.
for filter in "" "/[S2]" "/I:keep*" "/[S3]" "/I:none*"; do
    t=$(best wine "$EXE" /S /N:F $filter "$TREE\\*.dat")
    own=$(echo "$t - $start" | bc -l)
    printf '%-12s %6.2f s  (%5.1f us per file after start-up)' "${filter:-no filter}" "$t" \
        "$(echo "$own * 1000000 / ($DIRS * $PER)" | bc -l)"
    # Only the first row dumps every file, as hexdump does. It and the
    # description filter that keeps half are held against the floor of one
    # thread: the read-ahead overlaps the opens with the walk and the dumps.
    [ -z "$filter" ] && printf '  %.2fx hexdump (target: at most 3x)  %.2fx the floor (target: at most 1.0x)' \
        "$(echo "$own / $hex" | bc -l)" "$(echo "$own / $floor_own" | bc -l)"
    [ "$filter" = "/I:keep*" ] && printf '  %.2fx the floor (target: at most 1.2x)' "$(echo "$own / $floor_own" | bc -l)"
    printf '\n'
done

# One folder of 1,000 files whose descript.ion is 15 MB: the 1,000 files are
# described in its last lines, after filler lines for names that are not there,
# so a lookup that reads the file again for every file pays for all of it.
python3 - "$WORK/bigdesc" <<'PY'
import os, sys
root = sys.argv[1]
os.makedirs(root)
for f in range(1000):
    with open(os.path.join(root, "f%04d.dat" % f), "wb") as out:
        out.write(b"a")
filler = "".join("gone%07d.dat an old description of a file that was removed long ago\r\n" % k for k in range(210000))
filler = filler[:15000000 - 1000 * 20]
filler = filler[:filler.rfind("\n") + 1]
described = "".join("f%04d.dat %s\r\n" % (f, "keep it" if f % 2 else "skip it") for f in range(1000))
with open(os.path.join(root, "descript.ion"), "w", newline="") as out:
    out.write(filler + described)
PY
BIG=$(winepath -w "$WORK/bigdesc" 2>/dev/null)
size=$(stat -c %s "$WORK/bigdesc/descript.ion")
printf 'one folder: 1,000 files, %.1f MB descript.ion\n' "$(echo "$size / 1000000" | bc -l)"
# /I:none* keeps nothing: the lookups without the dumps.
for filter in "/I:keep*" "/I:none*"; do
    t=$(best wine "$EXE" /N:F $filter "$BIG\\*.dat")
    printf '%-12s %6.2f s  (%5.1f us per file after start-up)\n' "$filter" "$t" \
        "$(echo "($t - $start) * 1000000 / 1000" | bc -l)"
done

# One folder without a descript.ion, 2,000 and then 20,000 files: every
# lookup finds no description file, and the cost per file stays flat.
for count in 2000 20000; do
    rm -rf "$WORK/nodesc"
    python3 - "$WORK/nodesc" "$count" <<'PY'
import os, sys
os.makedirs(sys.argv[1])
for f in range(int(sys.argv[2])):
    with open(os.path.join(sys.argv[1], "f%05d.dat" % f), "wb") as out:
        out.write(b"a")
PY
    NODESC=$(winepath -w "$WORK/nodesc" 2>/dev/null)
    t=$(best wine "$EXE" /N:F "/I:keep*" "$NODESC\\*.dat")
    printf 'no descript.ion, %5d files, /I:keep*  %6.2f s  (%5.1f us per file after start-up)\n' "$count" "$t" \
        "$(echo "($t - $start) * 1000000 / $count" | bc -l)"
done

# A chain of folders, one file in each, walked with /S: its cost against
# opening the same files by their full names, which under Wine grows with
# the depth by itself. The ratio stays flat. The start-up of each program is
# subtracted from its own time.
: >"$WORK/empty.txt"
floor_start=$(best wine "$WORK/open_floor.exe" "$(winepath -w "$WORK/empty.txt" 2>/dev/null)")
for depth in 100 200 400; do
    rm -rf "$WORK/chain"
    python3 - "$WORK/chain" "$depth" "$(winepath -w "$WORK/chain" 2>/dev/null)" >"$WORK/chain.txt" <<'PY'
import os, sys
path, name = sys.argv[1], sys.argv[3]
for level in range(int(sys.argv[2])):
    path, name = os.path.join(path, "d%03d" % level), name + "\\d%03d" % level
    os.makedirs(path)
    with open(os.path.join(path, "f.dat"), "wb") as out:
        out.write(b"a")
    print(name + "\\f.dat")
PY
    CHAIN=$(winepath -w "$WORK/chain" 2>/dev/null)
    t=$(best wine "$EXE" /S /N:F "$CHAIN\\*.dat")
    floor=$(best wine "$WORK/open_floor.exe" "$(winepath -w "$WORK/chain.txt" 2>/dev/null)")
    printf 'chain of %3d folders, /S  %6.2f s  (%6.1f us per file after start-up)  %.1fx opening them by name\n' \
        "$depth" "$t" "$(echo "($t - $start) * 1000000 / $depth" | bc -l)" \
        "$(echo "($t - $start) / ($floor - $floor_start)" | bc -l)"
done
