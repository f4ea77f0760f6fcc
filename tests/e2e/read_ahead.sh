#!/usr/bin/env bash
# Small files read ahead, then changed before their turn. A walk and a list
# start with a large file whose dump stops on a pipe nobody reads; meanwhile
# the small files after it are read ahead (their handles are seen open).
# Then one vanishes, one becomes a folder, one grows past the small-file
# limit, one is rewritten and one emptied: each is dumped or reported as if
# it had changed before the run began, in its place among the dumps. A file
# larger than the limit is left to the dump itself, and a listed FIFO is
# never read. A message of the walk comes between the dumps of a folder and
# those of its subfolders, as without read-ahead. Exit code 0 when every
# check passed.
NAME=read_ahead
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
e2e_cleanup() { exec 3>&-; }
COUNT=20
D=$WORK/tree
DW=$(win "$D")

# The dump of the two characters $1: two values, fourteen blank places of
# three columns and the group blank (45 columns), the text field of sixteen
# columns, then the blank line after the input.
small_dump() { printf '00000000  %02x %02x%45s%s%14s\r\n\r\n' "'${1:0:1}" "'${1:1:1}" '' "$1" ''; }
# $2 bytes of the letter $1 (a multiple of 16): full lines, then the blank line.
letter_dump() {
    awk -v c="$1" -v n="$2" -v hex="$(printf '%02x' "'$1")" 'BEGIN {
        g = hex; for (i = 1; i < 8; i++) g = g " " hex
        t = c; for (i = 1; i < 16; i++) t = t c
        for (at = 0; at < n; at += 16) printf "%08x  %s  %s  %s\r\n", at, g, g, t
        printf "\r\n" }'
}
# An error report and the system's text below it; the text is the system's
# own, so both sides show it as "<text>".
error_report() { printf 'Bytora plugin: %s\r\n   <text>\r\n' "$1"; }

# "a-big" first (names come sorted), f01..f20 holding "01".."20", and
# "m-big", larger than the small-file limit, after them.
make_tree() {
    rm -rf "$D"
    mkdir -p "$D"
    head -c 1048576 /dev/zero >"$D/a-big"
    for ((i = 1; i <= COUNT; i++)); do printf '%02d' $i >"$D/f$(printf %02d $i)"; done
    head -c 70000 /dev/zero | tr '\0' M >"$D/m-big"
}

# Polls until every fNN is held open by some process (Wine's server keeps a
# descriptor for every open handle): the pool has opened them all.
wait_read_ahead() {
    for ((i = 0; i < 150; i++)); do
        [ "$(find /proc/[0-9]*/fd -lname "$D/f*" -printf '%l\n' 2>/dev/null | sort -u | wc -l)" -ge $COUNT ] &&
            { sleep 0.5; return 0; }
        sleep 0.1
    done
    return 1
}

change_files() {
    rm "$D/f03"
    rm "$D/f05" && mkdir "$D/f05"
    head -c 100000 /dev/zero | tr '\0' G >"$D/f07"
    printf 'XX' >"$D/f09"
    : >"$D/f11"
}

# What follows the dump of a-big, for a walk or a list ($1).
expected_tail() {
    for ((i = 1; i <= COUNT; i++)); do
        case $i in
            # A listed name that is gone is not found.
            3) if [ "$1" = list ]; then printf 'Bytora plugin: File not found: %s\r\n' "$DW\\f03"
               else error_report "Error opening \"$DW\\f03\" :"; fi ;;
            5) error_report "Error opening \"$DW\\f05\" :" ;;
            7) letter_dump G 100000 ;;
            9) small_dump XX ;;
            11) printf '\r\nFile \xe2\x80\x9c%s\xe2\x80\x9d is empty.\r\n' "$DW\\f11" ;;
            *) small_dump "$(printf %02d $i)" ;;
        esac
    done
    # The host does not count a FIFO as a file: a listed one is not found.
    [ "$1" = list ] && printf 'Bytora plugin: File not found: %s\r\n' "$DW\\fifo"
    letter_dump M 70000
}

# Whether the output ends with the expected text; a failure shows the difference.
ends_as_expected() { tail -c "$(stat -c %s "$WORK/expected")" "$WORK/out" | cmp -s - "$WORK/expected"; }
fail_showing() {
    fail "$1"
    diff <(tail -c "$(stat -c %s "$WORK/expected")" "$WORK/out") "$WORK/expected" | head -10
}

# check WHAT ARGS...: runs bytora with standard error in the same pipe,
# stalled in the dump of a-big; once the small files are read ahead they
# change, and what follows the dump of a-big must be the expected tail.
check() {
    local what=$1
    shift
    expected_tail "$what" >"$WORK/expected"
    wine "$EXE" "$@" </dev/null 2>&1 | {
        head -c 100000 >/dev/null
        if wait_read_ahead; then echo yes >"$WORK/read"; else echo no >"$WORK/read"; fi
        change_files
        sed 's/^   [^ ].*\r$/   <text>\r/' >"$WORK/out"
    }
    local rc=${PIPESTATUS[0]}
    if [ "$(cat "$WORK/read")" != yes ]; then
        fail "$what: the small files were not read ahead while the first one was dumped"
    elif [ "$rc" -eq 2 ] && ends_as_expected; then
        pass "$what: every file dumped or reported as after its change, in its place, exit code 2"
    else
        fail_showing "$what: exit code $rc, the end of the output differs:"
    fi
}

make_tree
check walk /S "$DW\\*"

# A list names the same files and a FIFO with a writer (never read: a read
# could wait for ever).
make_tree
mkfifo "$D/fifo"
exec 3<>"$D/fifo"
{
    printf '%s\r\n' "$DW\\a-big"
    for ((i = 1; i <= COUNT; i++)); do printf '%s\r\n' "$DW\\f$(printf %02d $i)"; done
    printf '%s\r\n' "$DW\\fifo" "$DW\\m-big"
} >"$WORK/list.lst"
check list "@$(win "$WORK/list.lst")"

# A folder of small files with a link to itself and a subfolder: its files,
# then the loop (subfolders come sorted), then the subfolder's file.
exec 3>&-
make_tree
rm "$D/a-big" "$D/m-big"
ln -s . "$D/loop"
mkdir "$D/sub"
printf 'SS' >"$D/sub/s"
{
    for ((i = 1; i <= COUNT; i++)); do small_dump "$(printf %02d $i)"; done
    printf 'Bytora plugin: File system loop, not searched: "%s"\r\n' "$DW\\loop"
    small_dump SS
} >"$WORK/expected"
wine "$EXE" /S /N:F "$DW\\*" </dev/null >"$WORK/out" 2>&1
rc=$?
if [ "$rc" -eq 0 ] && ends_as_expected; then
    pass "walk: a folder's files, then the walk's message, then its subfolder's files"
else
    fail_showing "walk message: exit code $rc, the output differs:"
fi
finish
