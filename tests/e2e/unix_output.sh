#!/usr/bin/env bash
# bytora.exe under Wine with Unix pipes, descriptors and signals, as a shell
# user meets them: output through a pipe is the dump byte for byte; a reader
# that goes away after 100 bytes ends a 1 GiB dump within a second, quietly,
# with exit code 3, as does a closed standard output; a dump ended by
# SIGTERM or SIGKILL, while it copies piped input or while it writes, or by
# closing its terminal at the pause prompt, leaves no copy of standard input
# behind. Exit code 0 when every check passed.
NAME=unix_output
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
CHILD=
e2e_cleanup() {
    [ -n "$CHILD" ] && kill -KILL "$CHILD" 2>/dev/null
    [ -S "$WORK/tmux.socket" ] && tmux -S "$WORK/tmux.socket" kill-server 2>/dev/null
}
now() { date +%s%N; }

truncate -s 1G "$WORK/big.bin"
BIG=$(win "$WORK/big.bin")

# --- Output through a pipe is unchanged --------------------------------------
# "Hello pipe\r\n": twelve values, four blank places of three columns, the two
# group blanks, one text column per byte (CR and LF as middle dots) and four
# blank ones; the byte-order mark first, a blank line last.
printf '\xEF\xBB\xBF00000000  48 65 6c 6c 6f 20 70 69  70 65 0d 0a%14sHello pipe\xC2\xB7\xC2\xB7    \r\n\r\n' '' \
    >"$WORK/expected"
printf 'Hello pipe\r\n' | wine "$EXE" | cat >"$WORK/out"
if cmp -s "$WORK/out" "$WORK/expected"; then
    pass "a dump through a pipe is byte for byte the same"
else
    fail "a dump through a pipe differs:"; od -c "$WORK/out" | head
fi

# --- The reader goes away ------------------------------------------------------
for mode in utf8 unicode ansi; do
    rm -f "$WORK/head.time"
    BYTORA_HOST_OUTPUT=$mode wine "$EXE" "$BIG" </dev/null 2>"$WORK/err" |
        { head -c 100 >"$WORK/head"; now >"$WORK/head.time"; }
    rc=${PIPESTATUS[0]}
    ended=$(now)
    ms=$(((ended - $(cat "$WORK/head.time")) / 1000000))
    if [ "$rc" -eq 3 ] && [ ! -s "$WORK/err" ] && [ "$(stat -c %s "$WORK/head")" -eq 100 ] && [ "$ms" -lt 1000 ]; then
        pass "$mode: reader gone after 100 bytes: exit code 3, no message, ended $ms ms later"
    else
        fail "$mode: reader gone after 100 bytes: exit code $rc, ended $ms ms later, standard error: $(cat "$WORK/err")"
    fi
done

wine "$EXE" "$BIG" </dev/null >&- 2>"$WORK/err"
rc=$?
if [ "$rc" -eq 3 ] && [ ! -s "$WORK/err" ]; then
    pass "closed standard output: exit code 3, no message"
else
    fail "closed standard output: exit code $rc, standard error: $(cat "$WORK/err")"
fi

# --- Ended from outside: no copy of standard input is left -------------------
# Other tests run at the same time in the same Wine prefix, so the copy is
# told apart by its content.
TEMP_DIR=$(winepath -u "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')" 2>/dev/null)
[ -d "$TEMP_DIR" ] || { fail "no temp folder ($TEMP_DIR)"; TEMP_DIR=$WORK/none; }
source "$ROOT/tests/support/ended.sh"
copy_of() { marked_file "$TEMP_DIR" 'Bytora-*.tmp' "$1"; }

mkfifo "$WORK/in" "$WORK/out.fifo"
for signal in TERM KILL; do
    for stage in copying writing; do
        marker="bytora-kill-$signal-$stage-$$"
        exec 7<>"$WORK/in"
        if [ $stage = copying ]; then
            # Standard input stays open: the copy waits for more.
            wine "$EXE" <"$WORK/in" >/dev/null 2>&1 &
            CHILD=$!
            printf '%s' "$marker" >&7
        else
            # Input ended, output a pipe nobody reads: the dump waits to write.
            exec 8<>"$WORK/out.fifo"
            wine "$EXE" <"$WORK/in" >"$WORK/out.fifo" 2>&1 &
            CHILD=$!
            { printf '%s' "$marker"; head -c 1048576 /dev/zero; } >&7
            exec 7>&-
        fi
        # Writing: once the copy is whole the input is mapped and dumped.
        want=1
        [ $stage = writing ] && want=$((${#marker} + 1048576))
        end_when_grown "$TEMP_DIR" 'Bytora-*.tmp' "$marker" "$want" "$signal"
        exec 7>&- 8>&-
        check_gone "SIG$signal while $stage" "$ENDED_FILE" "copy of standard input"
    done
done

# Closing the terminal while a piped dump waits at the pause prompt.
marker="bytora-hangup-$$"
{ printf '%s' "$marker"; head -c 4096 /dev/zero; } >"$WORK/paged.bin"
TMUX_CMD=(tmux -u -S "$WORK/tmux.socket" -f /dev/null)
LC_ALL=C.UTF-8 "${TMUX_CMD[@]}" new-session -d -s bytora -x 100 -y 30 "cat '$WORK/paged.bin' | wine '$EXE' /P; sleep 60"
copy=
for ((i = 0; i < 100; i++)); do
    "${TMUX_CMD[@]}" capture-pane -p -t bytora 2>/dev/null | grep -q 'Press a key' && copy=$(copy_of "$marker")
    [ -n "$copy" ] && break
    sleep 0.1
done
"${TMUX_CMD[@]}" kill-server 2>/dev/null
check_gone "terminal closed at the prompt" "$copy" "copy of standard input"

finish
