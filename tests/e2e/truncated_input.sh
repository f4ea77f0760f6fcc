#!/usr/bin/env bash
# Inputs cut short by another program while they are dumped, one case for
# every input that is mapped: a named file, standard input redirected from a
# file, the copy of piped standard input, a downloaded address and a list
# file. Each ends with "Error reading" and the system's text, the run goes on
# with the next name and ends with exit code 2; nothing crashes. Exit code 0
# when every check passed.
NAME=truncated_input
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/tests/url/servers.sh"
e2e_cleanup() { url_servers_stop; }

TEMP_DIR=$(winepath -u "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')" 2>/dev/null)
# A size no other test's temporary file has: the copy or download is told
# apart by it (other tests run at the same time in the same prefix).
SIZE=$((4 * 1048576 + 4099))
printf 'other' >"$WORK/other.bin"
OTHER=$(win "$WORK/other.bin")
# The dump of other.bin: five values, eleven blank places of three columns
# and the two group blanks, the text field of sixteen columns, the blank line.
printf '00000000  6f 74 68 65 72%36sother%11s\r\n\r\n' '' '' >"$WORK/other.dump"
ends_with_other() { tail -c "$(stat -c %s "$WORK/other.dump")" "$WORK/out" | cmp -s - "$WORK/other.dump"; }
big() { head -c "$SIZE" /dev/zero >"$WORK/big.bin"; }

# The file among $1 (a glob) that has the size SIZE.
sized() {
    local f
    for f in $1; do [ "$(stat -c %s "$f" 2>/dev/null)" = "$SIZE" ] && { echo "$f"; return; }; done
}

# check WHAT MESSAGE VICTIM AFTER COMMAND...: runs the command with its
# output read slowly; once 100000 bytes are out, the file VICTIM (a path, or
# a glob resolved then) is cut to nothing. Expects exit code 2, the first
# line MESSAGE with the system's text below it, and the output to pass the
# check AFTER.
check() {
    local what=$1 message=$2 victim=$3 after=$4
    shift 4
    "$@" 2>"$WORK/err" | {
        head -c 100000 >/dev/null
        target=$victim
        case $victim in *'*'*) target=$(sized "$victim") ;; esac
        [ -n "$target" ] && truncate -s 0 "$target"
        cat >"$WORK/out"
    }
    local rc=${PIPESTATUS[0]}
    local err
    err=$(cat "$WORK/err")
    if [ "$rc" -eq 2 ] && [[ $err =~ ^"Bytora plugin: $message"$'\r\n'"   "[^\ ].*$'\r'$ ]] &&
        $after && ! grep -q 'Unhandled' "$WORK/err"; then
        pass "$what: cut short, reported, exit code 2"
    else
        fail "$what: exit code $rc, standard error: $err; output ends: $(tail -c 100 "$WORK/out" | od -c | head -3)"
    fi
}

big
reading() { echo "Error reading \"$1\" :"; }
check "named file" "$(reading "$(win "$WORK/big.bin")")" "$WORK/big.bin" ends_with_other wine "$EXE" "$(win "$WORK/big.bin")" "$OTHER" </dev/null
# Wine maps redirected standard input from its own copy: cutting the file
# short changes nothing there, and the whole input is dumped. Either way
# nothing crashes.
big
wine "$EXE" "$OTHER" <"$WORK/big.bin" 2>"$WORK/err" | {
    head -c 100000 >/dev/null
    truncate -s 0 "$WORK/big.bin"
    cat >"$WORK/out"
}
rc=${PIPESTATUS[0]}
err=$(cat "$WORK/err")
if { [ "$rc" -eq 0 ] && [ -z "$err" ] && [ "$(stat -c %s "$WORK/out")" -gt $((SIZE / 16 * 76)) ]; } ||
    { [ "$rc" -eq 2 ] && [[ $err =~ ^"Bytora plugin: Error reading \"-\" :"$'\r\n'"   "[^\ ].*$'\r'$ ]]; }; then
    if ends_with_other; then
        pass "standard input from a file: exit code $rc, the next name dumped"
    else
        fail "standard input from a file: other.bin was not dumped last"
    fi
else
    fail "standard input from a file: exit code $rc, standard error: $err"
fi
big
# Piped through a process substitution, not "cat |": check must run in this
# shell, or its pass or fail is lost with a subshell.
check "copy of piped standard input" "$(reading -)" "$TEMP_DIR/Bytora-*.tmp" ends_with_other wine "$EXE" "$OTHER" \
    < <(cat "$WORK/big.bin")

# A list cut short: the rest of its names are not read.
big
printf '%s\r\n%s\r\n' "$(win "$WORK/big.bin")" "$OTHER" >"$WORK/list.lst"
LIST=$(win "$WORK/list.lst")
other_not_read() { ! grep -q 'other' "$WORK/out"; }
check "list file" "Error reading list file \"$LIST\" :" "$WORK/list.lst" other_not_read wine "$EXE" "@$LIST" </dev/null

mkdir -p "$WORK/ftp"
if url_servers_start "$WORK"; then
    HTTP_PORT=$(sed -n 's/^HTTP=//p' "$WORK/ports")
    address="http://127.0.0.1:$HTTP_PORT/bytes/$SIZE"
    check "download" "$(reading "$address")" "$TEMP_DIR/MMF*.tmp" ends_with_other wine "$EXE" "$address" "$OTHER" </dev/null
else
    fail "download: the loopback servers did not start"
fi
finish
