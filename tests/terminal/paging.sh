#!/usr/bin/env bash
# The pause prompt and its keys in a real terminal: tmux runs bytora.exe under
# Wine in a 100x30 window, send-keys answers the prompt, capture-pane reads
# the screen. Needs a built tree (BUILD_DIR, default build) and tmux.
# Exit code 0 when every check passed.
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/tools/buildenv.sh"
EXE="$BUILD_DIR/bin/bytora.exe"
[ -f "$EXE" ] || { echo "paging: $EXE is not built" >&2; exit 1; }
command -v tmux >/dev/null || { echo "paging: tmux is missing" >&2; exit 1; }

HEIGHT=30
PAGE=$((HEIGHT - 2))   # plain /P: a prompt after every height - 2 line endings
LINES_IN_FILE=200      # 16 bytes a line

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bytora-paging.XXXXXX")
SOCKET="bytora-paging-$$"
TMUX_CMD=(tmux -L "$SOCKET" -f "$WORK/tmux.conf")
printf 'set -g status off\nset -g history-limit 5000\n' >"$WORK/tmux.conf"
head -c $((LINES_IN_FILE * 16)) /dev/zero >"$WORK/data.bin"

cleanup() {
    "${TMUX_CMD[@]}" kill-server >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT

PASSED=0
FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "ok: $*"; }
fail() { FAILED=$((FAILED + 1)); echo "FAILED: $*"; }

screen() { "${TMUX_CMD[@]}" capture-pane -p -t bytora 2>/dev/null; }
# The whole output, scrolled-off lines included.
scrollback() { "${TMUX_CMD[@]}" capture-pane -p -S - -t bytora 2>/dev/null; }

PROMPT_RE='^   ── Press a key to continue ──'  # capture-pane drops the trailing blank

# Polls until the screen matches the pattern (grep -E); false after $2 seconds.
wait_for_screen() {
    local pattern=$1 seconds=$2 i
    for ((i = 0; i < seconds * 5; i++)); do
        screen | grep -Eq -- "$pattern" && return 0
        sleep 0.2
    done
    return 1
}

# Polls until bytora has exited and left its exit code; false after $1 seconds.
wait_for_exit() {
    local seconds=$1 i
    for ((i = 0; i < seconds * 5; i++)); do
        [ -s "$WORK/rc" ] && return 0
        sleep 0.2
    done
    return 1
}

# Starts bytora with the given arguments in a fresh session; the shell keeps
# the pane open after it exits so the screen can still be read.
start() {
    "${TMUX_CMD[@]}" kill-server >/dev/null 2>&1
    rm -f "$WORK/rc"
    "${TMUX_CMD[@]}" new-session -d -s bytora -x 100 -y "$HEIGHT" \
        "cd '$WORK' && wine '$EXE' $*; echo \$? > rc; sleep 120"
}

address() { printf '%08x' $(($1 * 16)); }

# Row (1-based) of the prompt on the screen, empty when there is none.
prompt_row() { screen | grep -nE -- "$PROMPT_RE" | head -1 | cut -d: -f1; }

# The address field of screen row $1.
row_address() { screen | sed -n "${1}p" | cut -c1-8; }

# The dump lines written so far (address fields, in order).
written_addresses() { scrollback | grep -oE '^[0-9a-f]{8}  00' | cut -c1-8; }

# Answers the first prompt with a key and expects the next prompt after
# `lines` more lines.
check_lines_key() {
    local key=$1 lines=$2 what=$3
    start /P data.bin
    if ! wait_for_screen "$PROMPT_RE" 30; then
        fail "$what: no prompt"
        return
    fi
    "${TMUX_CMD[@]}" send-keys -t bytora "$key"
    local last
    last=$(address $((PAGE + lines - 1)))
    if wait_for_screen "^$last " 10 && wait_for_screen "$PROMPT_RE" 10; then
        sleep 0.5  # nothing more may follow the prompt
        local row count
        row=$(prompt_row)
        count=$(written_addresses | wc -l)
        if [ -n "$row" ] && [ "$(row_address $((row - 1)))" = "$last" ] && [ "$count" -eq $((PAGE + lines)) ]; then
            pass "$what: $lines more lines, then the prompt"
        else
            fail "$what: expected the prompt after line $last; prompt row ${row:-none}, $count lines written"
            screen
        fi
    else
        fail "$what: line $last and a new prompt did not appear"
        screen
    fi
}

# --- 1. The first prompt follows height - 2 lines --------------------------
start /P data.bin
if wait_for_screen "$PROMPT_RE" 30; then
    sleep 0.5
    row=$(prompt_row)
    count=$(written_addresses | wc -l)
    if [ "$row" = "$((PAGE + 1))" ] && [ "$count" -eq "$PAGE" ] &&
        [ "$(row_address 1)" = "$(address 0)" ] && [ "$(row_address "$PAGE")" = "$(address $((PAGE - 1)))" ]; then
        pass "prompt after $PAGE lines on a $HEIGHT-line window"
    else
        fail "prompt at row ${row:-none} after $count lines (expected row $((PAGE + 1)) after $PAGE)"
        screen
    fi
else
    fail "no prompt within 30 seconds"
    screen
fi

# --- 2. Digit and '/' keys: that many lines, or half a page ----------------
check_lines_key 5 5 "key 5"
check_lines_key / $((PAGE / 2)) "key /"
check_lines_key 0 10 "key 0"

# --- 3. 'C': the rest without prompts --------------------------------------
start /P data.bin
if wait_for_screen "$PROMPT_RE" 30; then
    "${TMUX_CMD[@]}" send-keys -t bytora C
    if wait_for_exit 30; then
        rc=$(cat "$WORK/rc")
        count=$(written_addresses | wc -l)
        last=$(written_addresses | tail -1)
        if [ "$rc" = 0 ] && [ "$count" -eq "$LINES_IN_FILE" ] && [ "$last" = "$(address $((LINES_IN_FILE - 1)))" ] &&
            ! screen | grep -q 'Press a key'; then
            pass "key C: the rest without prompts, exit code 0"
        else
            fail "key C: exit code $rc, $count lines, last $last"
            screen
        fi
    else
        fail "key C: bytora did not finish"
        screen
    fi
else
    fail "key C: no prompt"
fi

# --- 4. Esc: ends the run with 3, no ^C mark --------------------------------
start /P data.bin
if wait_for_screen "$PROMPT_RE" 30; then
    "${TMUX_CMD[@]}" send-keys -t bytora Escape
    if wait_for_exit 15; then
        rc=$(cat "$WORK/rc")
        count=$(written_addresses | wc -l)
        if [ "$rc" = 3 ] && [ "$count" -eq "$PAGE" ] && ! scrollback | grep -q '\^C' && ! screen | grep -q 'Press a key'; then
            pass "Esc: exit code 3, no more lines, no ^C mark, prompt erased"
        else
            fail "Esc: exit code $rc, $count lines"
            screen
        fi
    else
        fail "Esc: bytora did not finish"
        screen
    fi
else
    fail "Esc: no prompt"
fi

# --- 5. Ctrl-C at the prompt: exit code 3 and the ^C mark -------------------
start /P data.bin
if wait_for_screen "$PROMPT_RE" 30; then
    "${TMUX_CMD[@]}" send-keys -t bytora C-c
    if wait_for_exit 15; then
        rc=$(cat "$WORK/rc")
        count=$(written_addresses | wc -l)
        if [ "$rc" = 3 ] && [ "$count" -eq "$PAGE" ] && screen | grep -q '^ \^C *$'; then
            pass "Ctrl-C: exit code 3, ^C mark, no more lines"
        else
            fail "Ctrl-C: exit code $rc, $count lines"
            screen
        fi
    else
        fail "Ctrl-C: bytora did not finish"
        screen
    fi
else
    fail "Ctrl-C: no prompt"
fi

# --- 6. A pause time answers the prompt by itself ---------------------------
start /P:1 data.bin
if wait_for_screen "$PROMPT_RE" 30; then
    if wait_for_exit 30; then
        rc=$(cat "$WORK/rc")
        count=$(written_addresses | wc -l)
        if [ "$rc" = 0 ] && [ "$count" -eq "$LINES_IN_FILE" ]; then
            pass "/P:1: the prompts answer themselves, exit code 0"
        else
            fail "/P:1: exit code $rc, $count lines"
        fi
    else
        fail "/P:1: bytora did not finish"
        screen
    fi
else
    fail "/P:1: no prompt"
fi

echo "paging: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
