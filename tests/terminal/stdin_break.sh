#!/usr/bin/env bash
# Ctrl-C in a real terminal while bytora.exe copies piped standard input:
# the producer dies of the same Ctrl-C, so the pipe ends at that moment; the
# break must still end the run with exit code 3 and nothing dumped, like a
# break while the producer keeps the pipe open. Exit code 0 when every check
# passed.
NAME=stdin_break
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Copies of standard input in the prefix's temp folder holding the marker.
copies() { grep -l -F -- "$1" "$WINEPREFIX"/drive_c/users/*/Temp/Bytora-*.tmp 2>/dev/null | wc -l; }

for producer in ended open; do
    marker="stdin-break-$producer-$$"
    # "ended": the producer's sleep dies of the Ctrl-C and the pipe closes;
    # "open": a producer that ignores SIGINT keeps writing.
    case $producer in
        ended) feed="(printf '%s\n' $marker; sleep 20)" ;;
        open) feed="(trap '' INT; while :; do printf '%s\n' $marker; sleep 0.2; done)" ;;
    esac
    start_shell "$feed | wine '$EXE'"
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
    "${TMUX_CMD[@]}" send-keys -t bytora C-c
    if ! wait_for_exit 10; then
        fail "$producer: bytora did not stop after Ctrl-C"
        screen
        continue
    fi
    rc=$(cat "$WORK/rc")
    if [ "$rc" = 3 ] && ! screen | grep -q '^00000000'; then
        pass "$producer pipe: Ctrl-C during the copy gives exit code 3, nothing dumped"
    else
        fail "$producer pipe: Ctrl-C during the copy gave exit code $rc"
        screen
    fi
    if [ "$(copies "$marker")" -eq 0 ]; then pass "$producer pipe: no copy left"; else fail "$producer pipe: a copy was left"; fi
done
finish
