# Pass and fail counting for the shell tests. Sourced with NAME set; finish
# writes the closing line and gives the exit code: 0 when every check passed.
PASSED=0
FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "ok: $*"; }
fail() { FAILED=$((FAILED + 1)); echo "FAILED: $*"; }
finish() {
    echo "$NAME: $PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
}
