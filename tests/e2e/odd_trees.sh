#!/usr/bin/env bash
# "/S" over trees that real disks hold, seen through Wine's Z: drive: files
# that are not files (a FIFO with a writer, a socket, devices through links)
# and files named like devices (AUX, CON, NUL, COM1); a folder with two links
# to itself; a link to the root. Every walk ends in bounded time, each
# regular file is dumped once per path that does not close a loop, and every
# folder skipped as a loop is named on standard error; links out of the tree
# under depth limits; folders on other file systems (two tmpfs mounts, when
# run as root); a list naming files called like devices. Exit code 0 when
# every check passed.
NAME=odd_trees
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
MOUNTS=()
e2e_cleanup() {
    exec 3>&-
    # The inner mount first.
    local i
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do umount "${MOUNTS[i]}" 2>/dev/null || umount -l "${MOUNTS[i]}"; done
}
CR=$'\r'

# run SECONDS ARGS...: bytora under a time limit; output in out, err, rc.
run() {
    local seconds=$1
    shift
    timeout "$seconds" wine "$EXE" "$@" </dev/null >"$WORK/out" 2>"$WORK/err"
    echo $? >"$WORK/rc"
}
# Headers of the name $1, or of any name when there is none.
headers() {
    if [ -n "$1" ]; then grep -cxF "File “$1” :$CR" "$WORK/out"; else grep -c "^File “.*” :$CR\$" "$WORK/out"; fi
}
# dumped WHAT ERRORS NAME...: the last run ended with exit code 0, dumped
# each NAME once and nothing else, and wrote the lines ERRORS (each ended by
# CR LF; none when empty) on standard error.
dumped() {
    local what=$1 n ok=1 line
    : >"$WORK/expected.err"
    if [ -n "$2" ]; then while IFS= read -r line; do printf '%s\r\n' "$line"; done <<<"$2" >"$WORK/expected.err"; fi
    shift 2
    [ "$(cat "$WORK/rc")" -eq 0 ] && [ "$(headers "")" -eq $# ] && cmp -s "$WORK/err" "$WORK/expected.err" || ok=0
    for n; do [ "$(headers "$n")" -eq 1 ] || ok=0; done
    if [ $ok -eq 1 ]; then pass "$what"; else
        fail "$what: exit code $(cat "$WORK/rc"), $(headers "") files, standard error: $(cat "$WORK/err")"
    fi
}

# --- Files that are not files, and device names ------------------------------
D=$WORK/special
mkdir -p "$D"
printf 'hello' >"$D/a.txt"
for n in AUX CON NUL COM1; do printf '%s' "$n" >"$D/$n"; done
mkfifo "$D/fifo"
exec 3<>"$D/fifo"  # a writer that never writes: a read would wait for ever
/usr/bin/python3 -c "import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])" "$D/sock"
ln -s /dev/zero "$D/zero"
ln -s /dev/urandom "$D/urandom"
DW=$(win "$D")
run 60 /H /S "$DW\\*"
rc=$(cat "$WORK/rc")
[ "$rc" -eq 2 ] && pass "special files: the walk ends, exit code 2" || fail "special files: exit code $rc"
# A device name found by the walk is the file of that name: "AUX" holds "AUX".
for n in a.txt AUX CON NUL COM1; do
    if [ "$(headers "$DW\\$n")" -eq 1 ]; then pass "special files: $n dumped"; else fail "special files: $n not dumped once"; fi
done
if grep -q "^00000000  41 55 58 " "$WORK/out" && grep -q "^00000000  43 4f 4d 31 " "$WORK/out"; then
    pass "special files: AUX and COM1 dumped with their own bytes"
else
    fail "special files: the device names were not read literally"
fi
for n in fifo sock zero urandom; do
    if grep -A1 -F "Bytora plugin: Error opening \"$DW\\$n\" :$CR" "$WORK/err" | grep -q "^   [^ ].*$CR\$"; then
        pass "special files: $n reported"
    else
        fail "special files: $n not reported: $(cat "$WORK/err")"
    fi
done

# A socket is no file to read, as a FIFO is not, and says so in the same words.
reason() { grep -A1 -F "Bytora plugin: Error opening \"$DW\\$1\" :$CR" "$WORK/err" | tail -1; }
if [ -n "$(reason fifo)" ] && [ "$(reason sock)" = "$(reason fifo)" ]; then
    pass "special files: a socket is reported as no file, like a FIFO"
else
    fail "special files: socket: $(reason sock), FIFO: $(reason fifo)"
fi

# A list names the same files: each is the file, not the device.
for n in a.txt AUX CON NUL COM1; do printf '%s\r\n' "$DW\\$n"; done >"$WORK/special.lst"
run 60 /H "@$(win "$WORK/special.lst")"
grep -q "^00000000  43 4f 4e " "$WORK/out" || echo "CON not dumped with its own bytes" >>"$WORK/err"
dumped "special files: a list of device names dumps the files" "" "$DW\\"{a.txt,AUX,CON,NUL,COM1}

# --- A folder with two links to itself ---------------------------------------
X=$WORK/loop
mkdir -p "$X/sub"
printf 'one' >"$X/f1"
printf 'two' >"$X/sub/f2"
ln -s . "$X/a"
ln -s . "$X/b"
XW=$(win "$X")
run 60 /H /S "$XW\\*"
rc=$(cat "$WORK/rc")
printf 'Bytora plugin: File system loop, not searched: "%s"\r\n' "$XW\\a" "$XW\\b" | sort >"$WORK/expected.err"
if [ "$rc" -eq 0 ] && [ "$(headers "$XW\\f1")" -eq 1 ] && [ "$(headers "$XW\\sub\\f2")" -eq 1 ] &&
    [ "$(headers "")" -eq 2 ] && sort "$WORK/err" | cmp -s - "$WORK/expected.err"; then
    pass "two links to itself: each file once, both links named, exit code 0"
else
    fail "two links to itself: exit code $rc, $(headers "") files, standard error: $(cat "$WORK/err")"
fi

# --- Links out of the tree ---------------------------------------------------
# Inside the tree each path counts: data is dumped through data, x and y.
# Out of it, eight folders each linking to the seven others are reached by
# over 100,000 paths that close no loop; each of them is searched once.
T=$WORK/links
mkdir -p "$T/walk/data"
printf 'A' >"$T/walk/data/f"
ln -s data "$T/walk/x"
ln -s data "$T/walk/y"
for i in 0 1 2 3 4 5 6 7; do
    mkdir -p "$T/out/d$i"
    printf '%s' "$i" >"$T/out/d$i/g$i"
done
for i in 0 1 2 3 4 5 6 7; do
    for j in 0 1 2 3 4 5 6 7; do [ "$i" = "$j" ] || ln -s "../d$j" "$T/out/d$i/l$j"; done
done
ln -s ../out "$T/walk/o"
TW=$(win "$T/walk")
run 60 /H /S "$TW\\*"
rc=$(cat "$WORK/rc")
ok=1
for n in data x y; do [ "$(headers "$TW\\$n\\f")" -eq 1 ] || ok=0; done
for i in 0 1 2 3 4 5 6 7; do [ "$(grep -c "^File “.*\\\\g$i” :$CR\$" "$WORK/out")" -eq 1 ] || ok=0; done
grep -q '^Bytora plugin: Searched already, not searched again: "' "$WORK/err" || ok=0
if [ "$rc" -eq 0 ] && [ $ok -eq 1 ]; then
    pass "links out of the tree: each folder out there once, each path inside"
else
    fail "links out of the tree: exit code $rc, $(headers "") files, standard error: $(head -3 "$WORK/err")"
fi

# --- A link to the root ------------------------------------------------------
# Through it the walk meets this very folder again, deep enough to be cut
# there; the depth bounds the time the rest of the file system takes.
R=$WORK/rooted
mkdir -p "$R"
# A name no other folder within reach holds: the pattern is sought everywhere.
ONLY="only-here-$$-$RANDOM"
printf 'one' >"$R/$ONLY"
ln -s / "$R/root"
RW=$(win "$R")
IFS=/ read -ra parts <<<"${R#/}"
depth=$((${#parts[@]} + 1))  # root, then every component down to this folder
run 120 /H "/S$depth" "$RW\\$ONLY"
rc=$(cat "$WORK/rc")
loop_line="Bytora plugin: File system loop, not searched: \"$RW\\root${R//\//\\}\"$CR"
if [ "$rc" -eq 0 ] && [ "$(headers "$RW\\$ONLY")" -eq 1 ] && [ "$(headers "")" -eq 1 ] &&
    grep -qxF -- "$loop_line" "$WORK/err" &&
    ! grep -v -q -e '^Bytora plugin: File system loop, not searched: ' -e '^Bytora plugin: Searched already, not searched again: ' "$WORK/err"; then
    pass "link to the root: ends, the file once, the way back named"
else
    fail "link to the root: exit code $rc, $(headers "") files, standard error: $(head -5 "$WORK/err")"
fi
# --- Links out of the tree under depth limits --------------------------------
# Folder o is outside the tree, reached through walk\a (level 1) and through
# walk\b\l (level 2); Wine lists a folder's names in order, so a comes first.
# A second way into o is skipped only when the first selected all it would,
# and then searches only what the first left out: nothing is dumped twice.
O=$WORK/depth
mkdir -p "$O/walk" "$O/o/sub" "$O/o2"
printf 'of' >"$O/o/of"
printf 'sf' >"$O/o/sub/sf"
ln -s ../o "$O/o2/l"
ln -s ../o "$O/walk/a"
ln -s ../o2 "$O/walk/b"
OW=$(win "$O/walk")
# /S+2: first at level 1, where o's own files are not selected yet.
run 60 /H /S+2 "$OW\\*f"
dumped "depth: a way in at a level where more is selected is taken" "" "$OW\\a\\sub\\sf" "$OW\\b\\l\\of"
# /S2: first at level 2 (a\l), where o's subfolders are beyond the limit;
# through b, one level up, they are not; through c as well, but b took them.
rm "$O/walk/a" "$O/walk/b"
ln -s ../o2 "$O/walk/a"
ln -s ../o "$O/walk/b"
ln -s ../o "$O/walk/c"
run 60 /H /S2 "$OW\\*f"
dumped "depth: a way in at a shallower level searches what the first left out" \
    "Bytora plugin: Searched already, not searched again: \"$OW\\c\"" "$OW\\a\\l\\of" "$OW\\b\\sub\\sf"

# --- A path beyond the system's limit -----------------------------------------
# Twenty-one folders of 200 characters: the walk reaches a folder whose path
# the system cannot take, and says that the name is too long.
L=$WORK/long
mkdir -p "$L"
/usr/bin/python3 -c "
import os, sys
os.chdir(sys.argv[1])
for i in range(21):
    name = 'c%02d' % i + 'c' * 197
    os.mkdir(name)
    os.chdir(name)
open('x.bin', 'wb').write(b'x')
" "$L"
run 60 /S "$(win "$L")\\x.bin"
rc=$(cat "$WORK/rc")
if [ "$rc" -eq 2 ] && grep -A1 '^Bytora plugin: Error matching "' "$WORK/err" | tail -1 | grep -q "^   .*too long"; then
    pass "a path beyond the system's limit: the name is too long"
else
    fail "a path beyond the system's limit: exit code $rc, standard error: $(cut -c1-60 "$WORK/err")"
fi

# --- Folders on other file systems -------------------------------------------
# Under Wine a folder on a file system that no drive letter stands for has
# volume serial 0 and its inode as file number: the roots of two tmpfs mounts
# carry the same number, and so do the n-th folders made on each. They are
# different folders all the same, and each is searched.
M=$WORK/mounts
mkdir -p "$M/a"
mount_tmpfs() { mount -t tmpfs -o size=1m,mode=0755 bytora-test "$1" 2>/dev/null && MOUNTS+=("$1"); }
# Folders on the two mounts with the same inode number: "x" and "y" paths.
twins() {
    local i=0 j=0
    mkdir "$1/x0" "$2/y0"
    while [ "$(stat -c %i "$1/x$i")" != "$(stat -c %i "$2/y$j")" ]; do
        [ $((i + j)) -lt 64 ] || return 1
        if [ "$(stat -c %i "$1/x$i")" -lt "$(stat -c %i "$2/y$j")" ]; then
            i=$((i + 1)) && mkdir "$1/x$i"
        else
            j=$((j + 1)) && mkdir "$2/y$j"
        fi
    done
    echo "$1/x$i" "$2/y$j"
}
if [ "$(id -u)" -ne 0 ] || ! mount_tmpfs "$M/a" || ! mkdir "$M/a/in" || ! mount_tmpfs "$M/a/in"; then
    echo "skipped: folders on other file systems (mounting two tmpfs folders needs root)"
elif [ "$(stat -c %i "$M/a")" != "$(stat -c %i "$M/a/in")" ] || ! read -r XA XB < <(twins "$M/a" "$M/a/in"); then
    echo "skipped: folders on other file systems (tmpfs numbers its folders differently here)"
else
    printf 'fa' >"$M/a/fa"
    printf 'fb' >"$M/a/in/fb"
    # A plain folder that is the root of a mount inside another: no link at all.
    AW=$(win "$M/a")
    run 60 /H /S "$AW\\f*"
    dumped "mounts: the root of a mount inside another is searched" "" "$AW\\fa" "$AW\\in\\fb"
    # Links out of the tree to folders with the same number on each mount;
    # a third link to one of them, and a link in it back to itself, are
    # still told apart: searched once, and a loop.
    printf 'fx' >"$XA/fx"
    printf 'fy' >"$XB/fy"
    ln -s . "$XB/back"
    mkdir -p "$M/walk"
    ln -s "$XA" "$M/walk/l1"
    ln -s "$XB" "$M/walk/l2"
    ln -s "$XB" "$M/walk/l3"
    MW=$(win "$M/walk")
    run 60 /H /S "$MW\\f*"
    dumped "mounts: links to folders with the same number on two mounts" \
        "Bytora plugin: File system loop, not searched: \"$MW\\l2\\back\"
Bytora plugin: Searched already, not searched again: \"$MW\\l3\"" "$MW\\l1\\fx" "$MW\\l2\\fy"
    # A link beside a folder with the same number: the walk starts in x.
    ln -s "$XB" "$XA/l"
    XW=$(win "$XA")
    run 60 /H /S "$XW\\f*"
    dumped "mounts: a link to a folder with the number of one on the path" \
        "Bytora plugin: File system loop, not searched: \"$XW\\l\\back\"" "$XW\\fx" "$XW\\l\\fy"
fi
finish
