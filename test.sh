#!/usr/bin/env bash
# ./test.sh: builds everything, then runs every test through CTest under Wine.
set -u
source "$(dirname "$0")/tools/buildenv.sh"
bytora_setup || exit 1
# Wine's server writes its own complaints to the standard error it started
# with, which is otherwise that of whichever test's program happened to start
# it (and then fails that test's exact comparison). Started here, it writes
# them to a log, and it stays until 30 s after the last program has ended. A
# server that runs already is kept.
wineserver -p30 </dev/null >>"$BUILD_DIR/wineserver.log" 2>&1
cd "$BUILD_DIR" && ctest --output-on-failure -j"$(nproc)" "$@"
