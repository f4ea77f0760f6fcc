#!/usr/bin/env bash
# The default silence limit end to end: against a server that takes the
# request and never answers (for a minute), bytora.exe fails after 30 s,
# not before and not much later, with the library's time-out message and
# exit code 2, and dumps nothing. Needs the servers that run.sh starts
# (BYTORA_TEST_HTTP_PORT). Exit code 0 when every check passed.
NAME=url_silence
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/common.sh"

url="http://127.0.0.1:$BYTORA_TEST_HTTP_PORT/hang"
# Standard input is redirected, so it is dumped first (empty).
printf '\xEF\xBB\xBF\r\nFile \xE2\x80\x9C-\xE2\x80\x9D is empty.\r\n' >"$WORK/expected.out"
printf 'Bytora plugin: Error fetching "%s" :\r\n   The request has timed out.\r\n' "$url" >"$WORK/expected.err"
t0=$(date +%s%N)
wine "$EXE" "$url" </dev/null >"$WORK/out" 2>"$WORK/err"
rc=$?
ms=$((($(date +%s%N) - t0) / 1000000))
# Wine's start and end take a few seconds on a loaded machine.
if [ "$rc" -eq 2 ] && [ "$ms" -ge 30000 ] && [ "$ms" -lt 40000 ] && cmp -s "$WORK/out" "$WORK/expected.out" &&
    cmp -s "$WORK/err" "$WORK/expected.err"; then
    pass "a server that never answers: timed out after $ms ms, exit code 2"
else
    fail "a server that never answers: exit code $rc after $ms ms, standard error: $(cat "$WORK/err")"
fi
finish
