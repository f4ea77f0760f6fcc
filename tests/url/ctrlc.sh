#!/usr/bin/env bash
# Ctrl-C in a real terminal while bytora.exe downloads a resource that never
# ends and while it waits for a server that never answers (the loopback
# HTTP server's /slow and /hang; run.sh sets BYTORA_TEST_HTTP_PORT): the run
# ends within a second with exit code 3 and the download's temporary file is
# gone. Exit code 0 when every check passed.
NAME=url_ctrlc
source "$(dirname "${BASH_SOURCE[0]}")/../terminal/common.sh"

# Downloads in the prefix's temp folder made since this script started
# (the time-out check that run.sh runs beside it holds an older one).
touch "$WORK/started"
downloads() {
    find "$WINEPREFIX"/drive_c/users/*/Temp -maxdepth 1 -name 'MMF*.tmp' -newer "$WORK/started" 2>/dev/null | wc -l
}

for path in /slow /hang /bytes/1073741824; do
    before=$(downloads)
    start "http://127.0.0.1:$BYTORA_TEST_HTTP_PORT$path" http://127.0.0.1:$BYTORA_TEST_HTTP_PORT/text.txt
    # The download is under way once its temporary file exists.
    for ((i = 0; i < 150; i++)); do
        [ "$(downloads)" -gt "$before" ] && break
        sleep 0.1
    done
    if [ "$(downloads)" -le "$before" ]; then
        fail "$path: the download did not start"
        screen
        continue
    fi
    sleep 0.5
    t0=$(date +%s%N)
    "${TMUX_CMD[@]}" send-keys -t bytora C-c
    if wait_for_exit 10; then
        ms=$((($(date +%s%N) - t0) / 1000000))
        rc=$(cat "$WORK/rc")
        # The second address is never fetched: the break ends the run. The
        # exit code is read by polling every 0.2 s, hence the allowance.
        if [ "$rc" = 3 ] && [ "$ms" -lt 1500 ] && ! screen | grep -q '^00000000'; then
            pass "$path: Ctrl-C: exit code 3 after $ms ms, nothing dumped"
        else
            fail "$path: Ctrl-C: exit code $rc after $ms ms"
            screen
        fi
    else
        fail "$path: Ctrl-C: bytora did not stop"
        screen
    fi
    if [ "$(downloads)" -eq "$before" ]; then pass "$path: no download left"; else fail "$path: a download was left"; fi
done
finish
