# Shared by the terminal tests: tmux runs bytora.exe under Wine in a real
# terminal, send-keys types, capture-pane reads the screen. Sourced with
# NAME set; needs a built tree (BUILD_DIR, default build) and tmux.
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/tools/buildenv.sh"
EXE="$BUILD_DIR/bin/bytora.exe"
[ -f "$EXE" ] || { echo "$NAME: $EXE is not built" >&2; exit 1; }
command -v tmux >/dev/null || { echo "$NAME: tmux is missing" >&2; exit 1; }

# tmux passes only UTF-8 through unchanged (the prompt's box lines), and Wine
# writes the console in the locale's character set.
export LC_ALL=C.UTF-8

HEIGHT=${HEIGHT:-30}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/bytora-$NAME.XXXXXX")
RUN=0
TMUX_CMD=(tmux -u -S "$WORK/tmux-$RUN.socket" -f "$WORK/tmux.conf")
printf 'set -g status off\nset -g history-limit 5000\n' >"$WORK/tmux.conf"

cleanup() {
    "${TMUX_CMD[@]}" kill-server >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP

source "$ROOT/tests/support/checks.sh"

screen() { "${TMUX_CMD[@]}" capture-pane -p -t bytora 2>/dev/null; }
# With the colours as escape sequences.
colour_screen() { "${TMUX_CMD[@]}" capture-pane -p -e -t bytora 2>/dev/null; }
# The whole output, scrolled-off lines included.
scrollback() { "${TMUX_CMD[@]}" capture-pane -p -S - -t bytora 2>/dev/null; }

# Polls until the screen matches the pattern (grep -E); false after $2 seconds.
wait_for_screen() {
    local pattern=$1 seconds=$2 i
    for ((i = 0; i < seconds * 5; i++)); do
        screen | grep -Eq -- "$pattern" && return 0
        sleep 0.2
    done
    return 1
}

# Polls until bytora has exited and left its exit code in $WORK/rc; false
# after $1 seconds.
wait_for_exit() {
    local seconds=$1 i
    for ((i = 0; i < seconds * 5; i++)); do
        [ -s "$WORK/rc" ] && return 0
        sleep 0.2
    done
    return 1
}

# Runs the shell command $1 in $WORK in a fresh session; its exit code goes
# to $WORK/rc, and the shell keeps the pane open after it so the screen can
# still be read.
start_shell() {
    "${TMUX_CMD[@]}" kill-server >/dev/null 2>&1
    # A server of its own for every run: a new session never meets a dying server.
    RUN=$((RUN + 1))
    TMUX_CMD=(tmux -u -S "$WORK/tmux-$RUN.socket" -f "$WORK/tmux.conf")
    rm -f "$WORK/rc"
    "${TMUX_CMD[@]}" new-session -d -s bytora -x 100 -y "$HEIGHT" "cd '$WORK' && $1; echo \$? > rc; sleep 120"
}

# Starts bytora with the given arguments, with the environment assignments
# of START_ENV.
start() { start_shell "env ${START_ENV:-} wine '$EXE' $*"; }

PROMPT_RE='^   ── Press a key to continue ──'  # capture-pane drops the trailing blank
