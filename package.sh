#!/usr/bin/env bash
# ./package.sh: builds a release in a clean build folder (build-release: no
# tests, the shipped binaries only) and writes dist/bytora-<version>-win64.zip
# and its .sha256. The same commit gives the same zip wherever and whenever it
# is built: the zip is dated by the commit (or SOURCE_DATE_EPOCH).
set -u
ROOT=$(cd "$(dirname "$0")" && pwd)
BUILD_DIR=$ROOT/build-release
source "$ROOT/tools/buildenv.sh"
bytora_install || { bytora_log "could not install the build tools"; exit 1; }

# tools/package.py dates the zip's entries by the last commit.
if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    bytora_log "warning: uncommitted changes are packaged, dated by the last commit"
fi

rm -rf "$BUILD_DIR"
BYTORA_CMAKE_OPTIONS=(-DBYTORA_TESTS=OFF)
bytora_build --target release_zip || exit 1
mkdir -p "$ROOT/dist"
for file in "$BUILD_DIR"/dist/bytora-*-win64.zip; do
    # What a user will get is checked before it is published: entries, version
    # resources, no time stamps, symbols or folders of this machine.
    /usr/bin/python3 "$ROOT/tests/package/release_binaries.py" "$file" "$ROOT" "$BUILD_DIR" >"$BUILD_DIR/check.log" ||
        { grep FAILED "$BUILD_DIR/check.log" >&2; bytora_log "the release failed its checks"; exit 1; }
    cp "$file" "$file.sha256" "$ROOT/dist/" || exit 1
    bytora_log "wrote dist/${file##*/}"
    cat "$file.sha256"
done
