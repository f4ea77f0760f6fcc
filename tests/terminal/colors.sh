#!/usr/bin/env bash
# Highlight colours in a real terminal: the console starts light grey on black
# (07); the header name and the totals line are highlighted, the dump lines
# are not, and the settings and NO_COLOR choose or switch off the colour.
# tmux reports colours as SGR sequences: 97 bright white, 93 bright yellow,
# 30 black, 44 blue background, 47 light grey background.
# Exit code 0 when every check passed.
NAME=colors
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

head -c 40 /dev/zero >"$WORK/small.bin"
head -c 3200 /dev/zero >"$WORK/data.bin"
ESC=$'\e'

# The SGR codes in effect where the text $1 starts on the screen, sorted, as
# "code code ...", read from the sequences that stand right before it.
codes_before() {
    local line prefix
    line=$(colour_screen | grep -F -- "$1" | head -1)
    prefix=${line%%"$1"*}
    printf '%s' "$prefix" | grep -oE "($ESC\[[0-9;]*m)+\$" | grep -oE '[0-9]+' | sort | tr '\n' ' '
}

# Runs bytora /H /I small.bin with the environment $2 and checks the codes
# before the header's "File" and the totals' "Displayed".
check_header() {
    local what=$1 env=$2 expected=$3 args=${4:-}
    START_ENV="$env" start /H /I $args small.bin
    if ! wait_for_exit 30; then
        fail "$what: bytora did not finish"
        return
    fi
    local file displayed line
    file=$(codes_before 'File ')
    displayed=$(codes_before 'Displayed ')
    # The dump line may begin by going back to the default colours, nothing else.
    line=$(colour_screen | grep -E '^.*00000000' | head -1 | sed -E "s/^($ESC\[(0|39|49)m)+//")
    if [ "$(cat "$WORK/rc")" = 0 ] && screen | grep -q '^File .*small.bin' && screen | grep -q '^Displayed 40 bytes' &&
        [ "$file" = "$expected" ] && [ "$displayed" = "$expected" ] &&
        [[ "$line" != *"$ESC"* ]]; then
        pass "$what"
    else
        fail "$what: name codes '$file', totals codes '$displayed', expected '$expected'; dump line '${line//$ESC/\\e}'"
        colour_screen | cat -v
    fi
}

check_header "default highlight 0F on a 07 console" "" "97 "
check_header "Highlight=0x1E: yellow on blue" "Highlight=0x1E" "44 93 "
check_header "Highlight=inv: the normal colours swapped" "Highlight=inv" "30 47 "
check_header "Highlight=bright yellow" "Highlight='bright yellow'" "93 "
check_header "NO_COLOR: no colour" "NO_COLOR=1" ""
check_header "NO_COLOR with Highlight set: colour" "NO_COLOR=1 Highlight=0x1E" "44 93 "
check_header "Highlight naming the normal colours: no colour" "Highlight=0x07" ""
check_header "/N:C: no colour" "" "" /N:C

# Nothing of the colour may be left on the screen when the output is redirected.
START_ENV="Highlight=0x1E" start /H /I small.bin '>' out.txt
if wait_for_exit 30; then
    if [ "$(cat "$WORK/rc")" = 0 ] && [[ "$(colour_screen)" != *"$ESC"* ]] && ! grep -q "$ESC" "$WORK/out.txt" &&
        grep -q 'Displayed' "$WORK/out.txt"; then
        pass "redirected output: plain text, no colour"
    else
        fail "redirected output"
    fi
else
    fail "redirected output: bytora did not finish"
fi

# The ^C mark stands out: bright white on black for a 07 console.
start /P data.bin
if wait_for_screen "$PROMPT_RE" 30; then
    "${TMUX_CMD[@]}" send-keys -t bytora C-c
    if wait_for_exit 15; then
        mark=$(codes_before ' ^C')
        if [ "$mark" = "97 " ]; then
            pass "^C mark in the contrast colour"
        else
            fail "^C mark codes '$mark'"
            colour_screen | cat -v
        fi
    else
        fail "^C mark: bytora did not finish"
    fi
else
    fail "^C mark: no prompt"
fi

finish
