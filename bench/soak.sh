#!/usr/bin/env bash
# The long soak: the plug-in kept loaded as the host keeps it, and the given
# number of commands of every kind run in that one process (tests/soak,
# which ./test.sh runs with 300). Prints the process's handles, threads,
# heap and temporary files after every hundred commands, and fails as the
# short form does.
# Usage: bench/soak.sh [commands]   (default 10000)
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/tools/buildenv.sh"
bytora_setup --target test_soak || exit 1
export BYTORA_SOAK_COMMANDS=${1:-10000}
# The servers stop on their own after their lifetime: a second a command is plenty.
export BYTORA_SERVERS_LIFETIME=$((600 + BYTORA_SOAK_COMMANDS))
cd "$BUILD_DIR/bin" && bash "$ROOT/tests/soak/run.sh" "$BUILD_DIR/bin/test_soak.exe" --gtest_filter='Soak.*'
