#!/usr/bin/env bash
# bytora.exe ended from outside (SIGKILL, SIGTERM) while it downloads an
# address and while it dumps one: its "MMF*.tmp" download is gone
# afterwards, as the system deletes it with its last handle. Needs the
# servers that run.sh starts (BYTORA_TEST_HTTP_PORT). Exit code 0 when every
# check passed.
NAME=url_kill
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/common.sh"
source "$ROOT/tests/support/ended.sh"
CHILD=
e2e_cleanup() { [ -n "$CHILD" ] && kill -KILL "$CHILD" 2>/dev/null; }

# Other downloads come and go in the same folder: each run's file is told
# apart by the marker the server sends first.
TEMP_DIR=$(winepath -u "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')" 2>/dev/null)
[ -d "$TEMP_DIR" ] || { fail "no temp folder ($TEMP_DIR)"; TEMP_DIR=$WORK/none; }
HTTP="http://127.0.0.1:$BYTORA_TEST_HTTP_PORT"

mkfifo "$WORK/out.fifo"
for signal in KILL TERM; do
    for stage in downloading dumping; do
        marker="bytora-url-kill-$signal-$stage-$$"
        if [ $stage = downloading ]; then
            # Sent slowly for 15 s: the download is under way.
            wine "$EXE" "$HTTP/slow/$marker" </dev/null >/dev/null 2>&1 &
            want=$((${#marker} + 1024))
        else
            # Whole at once, dumped into a pipe nobody reads: the dump waits.
            exec 8<>"$WORK/out.fifo"
            wine "$EXE" "$HTTP/marked/$marker" </dev/null >"$WORK/out.fifo" 2>&1 &
            want=$((${#marker} + 1048576))
        fi
        CHILD=$!
        end_when_grown "$TEMP_DIR" 'MMF*.tmp' "$marker" "$want" "$signal"
        exec 8>&-
        check_gone "SIG$signal while $stage" "$ENDED_FILE" download
    done
done
finish
