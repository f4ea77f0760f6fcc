#!/usr/bin/env bash
# The release zip as a Windows user meets it: unpacked into a fresh folder far
# from the build, the runner in its own folder finds the plug-in above it and
# dumps a file, "/??" names the version, and with a library taken away it says
# which and where it looked. release_zip.sh ZIP; exit code 0 when every check
# passed.
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/tools/buildenv.sh"
ZIP=${1:?release_zip.sh ZIP}
[ -f "$ZIP" ] || { echo "release_zip: $ZIP is not built" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bytora-release.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
trap "exit 1" INT TERM HUP

NAME=release_zip
source "$ROOT/tests/support/checks.sh"

/usr/bin/python3 -m zipfile -e "$ZIP" "$WORK/unpacked" || { fail "the zip unpacks"; finish; exit; }
EXE="$WORK/unpacked/runner/bytora.exe"
# Away from the build: no TakeCmd.dll or Bytora.dll of the build folder can stand in.
cd "$WORK" || exit 1

# "Hello, zip!\n" redirected (a name given with standard input redirected
# from elsewhere would dump that first): twelve values, four blank places of three columns and the
# two blanks before the text; the text field shows LF as a middle dot and four
# blank columns. The byte-order mark first (redirected UTF-8 output), a blank
# line last.
printf 'Hello, zip!\n' >"$WORK/hello.txt"
printf '\xEF\xBB\xBF00000000  48 65 6c 6c 6f 2c 20 7a  69 70 21 0a%14sHello, zip!\xC2\xB7    \r\n\r\n' '' \
    >"$WORK/expected"
wine "$EXE" <"$WORK/hello.txt" >"$WORK/out" 2>"$WORK/err"
rc=$?
if [ "$rc" -eq 0 ] && cmp -s "$WORK/out" "$WORK/expected" && [ ! -s "$WORK/err" ]; then
    pass "the unpacked runner dumps a file"
else
    fail "the unpacked runner: exit code $rc, standard error: $(cat "$WORK/err")"; od -c "$WORK/out" | head
fi

# The version lines after the usage text: the plug-in's four numbers with the
# platform, then the command's source file with the same version.
wine "$EXE" '/??' </dev/null >"$WORK/out" 2>"$WORK/err"
rc=$?
printf '\r\n\t\t\t\tBytora  0.96.9.1 (x64)\r\n\t\t\t\tBytoraCmd  0.96.9.1\r\n' >"$WORK/expected"
if [ "$rc" -eq 0 ] && [ "$(tail -c "$(stat -c %s "$WORK/expected")" "$WORK/out" | od -An -c)" = "$(od -An -c "$WORK/expected")" ] &&
    grep -q 'Display files to standard output as hex' "$WORK/out"; then
    pass "/?? shows the usage and version 0.96.9.1"
else
    fail "/??: exit code $rc, output ends: $(tail -c 80 "$WORK/out" | od -c | head -5)"
fi

# Each library taken away in turn (or moved): the runner names the missing
# file, every place it looked and the system's reason (Wine's text for
# ERROR_FILE_NOT_FOUND), and exits with 126 without output; the stand-in host
# beside the plug-in serves as well as beside the runner.
TOP=$(winepath -w "$WORK/copy")
NOT_FOUND=': File not found.\r\n'
while IFS='|' read -r change rc expected; do
    rm -rf "$WORK/copy" && cp -r "$WORK/unpacked" "$WORK/copy" || exit 1
    (cd "$WORK/copy" && eval "$change")
    wine "$WORK/copy/runner/bytora.exe" <"$WORK/hello.txt" >"$WORK/out" 2>"$WORK/err"
    got=$?
    # shellcheck disable=SC2059 # the expected text holds \r\n and a %s for the folder at each place
    printf "$expected" "$TOP" "$TOP" >"$WORK/expected_err"
    if [ "$got" -eq "$rc" ] && cmp -s "$WORK/err" "$WORK/expected_err" && { [ "$rc" -eq 0 ] || [ ! -s "$WORK/out" ]; }; then
        pass "$change: exit code $rc and its message"
    else
        fail "$change: exit code $got, standard error: $(od -c "$WORK/err" | head -8)"
    fi
done <<ROWS
rm Bytora.dll|126|bytora: Bytora.dll not found. Looked for:\r\n  %s\\\\runner\\\\Bytora.dll$NOT_FOUND  %s\\\\Bytora.dll$NOT_FOUND
rm runner/TakeCmd.dll|126|bytora: TakeCmd.dll (the runner's stand-in host services) not found. Looked for:\r\n  %s\\\\runner\\\\TakeCmd.dll$NOT_FOUND  %s\\\\TakeCmd.dll$NOT_FOUND
mv runner/TakeCmd.dll .|0|
ROWS

# selftest.cmd under Wine's cmd, started from another folder, as a user would.
# Wine 8's fc compares nothing (it returns 0 for any two files), so the runs
# that compare take the build's fc (tests/package/fc.c) through WINEPATH; the
# first run, with Wine's own, must refuse to check anything. Its output is
# in $WORK/selftest.txt; $left names what it left in the folder it was
# started from or in %TEMP%.
temps() { find "$WINEPREFIX/drive_c/users" -maxdepth 3 -name 'bytora-selftest-*' | LC_ALL=C sort; }
selftest() {  # selftest FOLDER [fc folder]
    mkdir -p "$WORK/elsewhere" && cd "$WORK/elsewhere" || exit 1
    temps >"$WORK/temps"
    WINEPATH=${2:-} wine cmd /c "$(winepath -w "$1/runner/selftest.cmd")" </dev/null >"$WORK/selftest.log" 2>&1
    rc=$?
    left=$(find "$WORK/elsewhere" -mindepth 1; temps | LC_ALL=C comm -13 "$WORK/temps" -)
    cd "$WORK" || exit 1
    tr -d '\r' <"$WORK/selftest.log" >"$WORK/selftest.txt"
}
FC=$(winepath -w "$BUILD_DIR/test-tools")
cases=$(grep -c '^set "NAME=' "$WORK/unpacked/runner/selftest.cmd")

selftest "$WORK/unpacked"
if [ "$rc" -eq 1 ] && grep -q "^selftest: fc /b does not tell files apart" "$WORK/selftest.txt" && [ -z "$left" ]; then
    pass "selftest.cmd refuses an fc that does not compare"
else
    fail "selftest.cmd with Wine's fc: exit code $rc, left behind: $left"; head -5 "$WORK/selftest.txt"
fi

selftest "$WORK/unpacked" "$FC"
if [ "$rc" -eq 0 ] && [ "$(grep -c '^PASS ' "$WORK/selftest.txt")" -eq "$cases" ] &&
    [ "$(tail -1 "$WORK/selftest.txt")" = "$cases passed, 0 failed" ] && [ -z "$left" ]; then
    pass "selftest.cmd: $cases cases pass, from another folder, nothing left behind"
else
    fail "selftest.cmd: exit code $rc, left behind: $left"; grep -v '^PASS ' "$WORK/selftest.txt"
fi

# One expected file broken on purpose: that case fails with its command, and
# the exit code counts it.
rm -rf "$WORK/copy" && cp -r "$WORK/unpacked" "$WORK/copy" || exit 1
printf 'x' >>"$WORK/copy/runner/selftest/expected/pipe.txt"
selftest "$WORK/copy" "$FC"
if [ "$rc" -eq 1 ] && [ "$(grep -v '^PASS ' "$WORK/selftest.txt" | head -1)" = "FAIL pipe: type letters.txt | bytora.exe /N:B" ] &&
    grep -qx "$((cases - 1)) passed, 1 failed" "$WORK/selftest.txt" && [ -z "$left" ]; then
    pass "selftest.cmd: a broken expected file fails its case, exit code 1"
else
    fail "selftest.cmd with a broken expected file: exit code $rc, left behind: $left"; grep -v '^PASS ' "$WORK/selftest.txt"
fi

# Nothing but the zip's files came out of it, and neither the runner nor
# selftest.cmd wrote anything beside them.
listing=$(cd "$WORK/unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [ "$listing" = "$(/usr/bin/python3 -m zipfile -l "$ZIP" | awk 'NR > 1 { print $1 }' | LC_ALL=C sort)" ]; then
    pass "the unpacked folder holds only the zip's files"
else
    fail "the unpacked folder holds: $(echo $listing)"
fi
finish
