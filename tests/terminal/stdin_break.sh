#!/usr/bin/env bash
# Ctrl-C in a real terminal while bytora.exe copies standard input: the run
# ends with exit code 3 within a second, nothing dumped and the copy gone,
# whatever the producer does: it dies of the same Ctrl-C (the pipe ends at
# that moment), it ignores the Ctrl-C and keeps writing, or it ignores it
# and holds the pipe open without writing. The same at the console prompt,
# with a line begun but not ended. Exit code 0 when every check passed.
NAME=stdin_break
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Copies of standard input in the prefix's temp folder holding the marker.
copies() { grep -l -F -- "$1" "$WINEPREFIX"/drive_c/users/*/Temp/Bytora-*.tmp 2>/dev/null | wc -l; }

# The run's exit code goes to $WORK/code the moment bytora.exe ends: the
# shell's own rc waits for the whole pipeline, and a producer that ignores
# the Ctrl-C outlives bytora.exe by far.
bytora_to_code="{ wine '$EXE'; echo \$? > code; }"

# Seconds since the epoch, with fractions.
now() { date +%s.%N; }

for producer in ended open idle console; do
    marker="stdin-break-$producer-$$"
    rm -f "$WORK/code"
    case $producer in
        # The producer's sleep dies of the Ctrl-C and the pipe closes.
        ended) start_shell "(printf '%s\n' $marker; sleep 20) | $bytora_to_code" ;;
        open) start_shell "(trap '' INT; while :; do printf '%s\n' $marker; sleep 0.2; done) | $bytora_to_code" ;;
        idle) start_shell "(trap '' INT; printf '%s\n' $marker; sleep 25) | $bytora_to_code" ;;
        console)
            start_shell "$bytora_to_code"
            if ! wait_for_screen 'Reading text from the console' 30; then
                fail "console: no prompt"
                screen
                continue
            fi
            # One whole line, so that the copy holds the marker, then a line begun.
            "${TMUX_CMD[@]}" send-keys -t bytora "$marker" Enter
            "${TMUX_CMD[@]}" send-keys -t bytora "begun"
            ;;
    esac
    # The copy is under way once the marker is in it.
    for ((i = 0; i < 150; i++)); do
        [ "$(copies "$marker")" -gt 0 ] && break
        sleep 0.1
    done
    if [ "$(copies "$marker")" -eq 0 ]; then
        fail "$producer: the copy of standard input did not start"
        screen
        continue
    fi
    sleep 0.5
    pressed=$(now)
    "${TMUX_CMD[@]}" send-keys -t bytora C-c
    for ((i = 0; i < 200; i++)); do
        [ -s "$WORK/code" ] && break
        sleep 0.05
    done
    took=$(echo "$(now) - $pressed" | bc)
    if [ ! -s "$WORK/code" ]; then
        fail "$producer: bytora did not stop within 10 s of Ctrl-C"
        screen
        continue
    fi
    rc=$(cat "$WORK/code")
    if [ "$rc" = 3 ] && ! screen | grep -q '^00000000'; then
        pass "$producer: Ctrl-C during the copy gives exit code 3, nothing dumped"
    else
        fail "$producer: Ctrl-C during the copy gave exit code $rc"
        screen
    fi
    if [ "$(echo "$took <= 1" | bc)" = 1 ]; then
        pass "$producer: ended ${took}s after Ctrl-C"
    else
        fail "$producer: ended ${took}s after Ctrl-C, more than 1 s"
    fi
    if [ "$(copies "$marker")" -eq 0 ]; then pass "$producer: no copy left"; else fail "$producer: a copy was left"; fi
done
finish
