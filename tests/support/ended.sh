# Ending bytora.exe from outside while it holds a temporary file, for the
# shell tests that check the file goes with the process. Sourced after
# checks.sh; the child is $CHILD. Other tests make files in the same folder
# at the same time, so each file is told apart by a marker in its content.

# marked_file DIR PATTERN MARKER: the first file DIR/PATTERN that holds MARKER.
marked_file() { grep -l -F -- "$3" "$1"/$2 2>/dev/null | head -1; }

# end_when_grown DIR PATTERN MARKER SIZE SIGNAL: waits (10 s at most) until
# the file holding MARKER has SIZE bytes, then sends SIGNAL to $CHILD and
# waits for it. The file's name is left in ENDED_FILE (empty: never seen).
end_when_grown() {
    local i
    ENDED_FILE=
    for ((i = 0; i < 100; i++)); do
        ENDED_FILE=$(marked_file "$1" "$2" "$3")
        [ -n "$ENDED_FILE" ] && [ "$(stat -c %s "$ENDED_FILE" 2>/dev/null || echo 0)" -ge "$4" ] && break
        sleep 0.1
    done
    sleep 0.3
    kill -"$5" "$CHILD"
    wait "$CHILD" 2>/dev/null
    CHILD=
}

# check_gone WHAT FILE KIND: passes when FILE (a KIND) is gone within 5 s.
check_gone() {
    local i
    [ -n "$2" ] || { fail "$1: the $3 never appeared"; return; }
    for ((i = 0; i < 50; i++)); do
        [ -e "$2" ] || { pass "$1: $(basename "$2") is gone"; return; }
        sleep 0.1
    done
    fail "$1: $2 was left behind"
}
