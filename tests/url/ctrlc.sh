#!/usr/bin/env bash
# Ctrl-C in a real terminal while bytora.exe downloads a resource that never
# ends (the loopback HTTP server's /slow; run.sh sets BYTORA_TEST_HTTP_PORT):
# the run ends with exit code 3 and the download's temporary file is gone.
# Exit code 0 when every check passed.
NAME=url_ctrlc
source "$(dirname "${BASH_SOURCE[0]}")/../terminal/common.sh"

# Downloads in the prefix's temp folder.
downloads() {
    local n=0 f
    for f in "$WINEPREFIX"/drive_c/users/*/Temp/MMF*.tmp; do [ -e "$f" ] && n=$((n + 1)); done
    echo "$n"
}

before=$(downloads)
start "http://127.0.0.1:$BYTORA_TEST_HTTP_PORT/slow" http://127.0.0.1:$BYTORA_TEST_HTTP_PORT/text.txt
# The download is under way once its temporary file exists.
for ((i = 0; i < 150; i++)); do
    [ "$(downloads)" -gt "$before" ] && break
    sleep 0.1
done
if [ "$(downloads)" -gt "$before" ]; then
    sleep 0.5
    t0=$(date +%s%N)
    "${TMUX_CMD[@]}" send-keys -t bytora C-c
    if wait_for_exit 10; then
        ms=$((($(date +%s%N) - t0) / 1000000))
        rc=$(cat "$WORK/rc")
        # The second address is never fetched: the break ends the run.
        if [ "$rc" = 3 ] && ! screen | grep -q '^00000000'; then
            pass "Ctrl-C during a download: exit code 3 after $ms ms, nothing dumped"
        else
            fail "Ctrl-C during a download: exit code $rc"
            screen
        fi
    else
        fail "Ctrl-C during a download: bytora did not stop"
        screen
    fi
    if [ "$(downloads)" -eq "$before" ]; then pass "no download left"; else fail "a download was left"; fi
else
    fail "the download did not start"
    screen
fi
finish
