#!/usr/bin/env bash
# ./test.sh: builds everything, then runs every test through CTest under Wine.
set -u
source "$(dirname "$0")/tools/buildenv.sh"
bytora_setup || exit 1
cd "$BUILD_DIR" && ctest --output-on-failure -j"$(nproc)" "$@"
