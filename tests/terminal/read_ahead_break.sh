#!/usr/bin/env bash
# Ctrl-C in a real terminal while "/S" dumps many small files to a file, with
# the read-ahead's reads in flight: every time, the run ends with exit code 3
# within a second, and what was written is the start of the whole dump, cut
# at most in its last file. A break between two files is not lost. Exit code
# 0 when every check passed.
NAME=read_ahead_break
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# 1200 folders of 10 files each holding two digits, in sorted order: the
# walk spends a good part of its time between files, searching folders.
/usr/bin/python3 - "$WORK/tree" <<'PY'
import os, sys
for d in range(1200):
    folder = os.path.join(sys.argv[1], "d%04d" % d)
    os.makedirs(folder)
    for f in range(10):
        with open(os.path.join(folder, "f%02d.dat" % f), "w") as out:
            out.write("%02d" % f)
PY
TREE=$(winepath -w "$WORK/tree" 2>/dev/null)
# The whole dump: standard input (redirected from nothing) is empty, then
# each file's line and blank line; see tests/e2e/read_ahead.sh for the line.
{
    printf '\xef\xbb\xbf\r\nFile \xe2\x80\x9c-\xe2\x80\x9d is empty.\r\n'
    for ((d = 0; d < 1200; d++)); do
        for ((f = 0; f < 10; f++)); do
            printf '00000000  3%d 3%d%45s%02d%14s\r\n\r\n' $((f / 10)) $((f % 10)) '' $f ''
        done
    done
} >"$WORK/whole"

for try in 1 2 3 4 5; do
    rm -f "$WORK/out"
    start_shell "wine '$EXE' /S '$TREE\\*.dat' </dev/null >out 2>err"
    # Wine may take a while to start on a busy machine.
    for ((i = 0; i < 600; i++)); do
        [ "$(stat -c %s "$WORK/out" 2>/dev/null || echo 0)" -gt 100000 ] && break
        sleep 0.05
    done
    sent=$(date +%s%N)
    "${TMUX_CMD[@]}" send-keys -t bytora C-c
    for ((i = 0; i < 500; i++)); do
        [ -s "$WORK/rc" ] && break
        sleep 0.01
    done
    ms=$((($(date +%s%N) - sent) / 1000000))
    rc=$(cat "$WORK/rc" 2>/dev/null)
    size=$(stat -c %s "$WORK/out" 2>/dev/null || echo 0)
    if [ "$rc" = 3 ] && [ "$ms" -lt 1000 ] && [ ! -s "$WORK/err" ] && [ "$size" -lt "$(stat -c %s "$WORK/whole")" ] &&
        cmp -s -n "$size" "$WORK/out" "$WORK/whole"; then
        pass "try $try: Ctrl-C ends the run in $ms ms with exit code 3, the output the start of the whole dump"
    else
        fail "try $try: exit code '$rc' after $ms ms, $size bytes written, standard error: $(cat "$WORK/err")"
    fi
done
finish
