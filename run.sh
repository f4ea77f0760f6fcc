#!/usr/bin/env bash
# ./run.sh [BYTORA arguments]: builds if needed, then runs bytora.exe under Wine
# with standard input, output, error and the exit code passed through.
set -u
source "$(dirname "$0")/tools/buildenv.sh"
bytora_setup --target bytora || exit 125
exec wine "$BUILD_DIR/bin/bytora.exe" "$@"
