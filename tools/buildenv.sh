# Sourced by run.sh and test.sh: installs what is missing, prepares a private
# Wine prefix inside the build folder and builds incrementally.
# BUILD_DIR picks the build folder (default: build).

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac

export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

bytora_log() { echo "bytora: $*" >&2; }

bytora_install() {
    local missing=()
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
    command -v wine >/dev/null || missing+=(wine64)
    command -v cmake >/dev/null || missing+=(cmake)
    command -v make >/dev/null || missing+=(make)
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
    command -v tmux >/dev/null || missing+=(tmux)
    [ ${#missing[@]} -eq 0 ] && return 0
    bytora_log "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq >&2 || return 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 || return 1
}

bytora_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] && return 0
    bytora_log "creating the Wine prefix in $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
}

bytora_build() {
    mkdir -p "$BUILD_DIR"
    local log="$BUILD_DIR/build.log"
    if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 || { cat "$log" >&2; return 1; }
    fi
    cmake --build "$BUILD_DIR" -j"$(nproc)" "$@" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}

bytora_setup() {
    bytora_install || { bytora_log "could not install the build tools"; return 1; }
    bytora_prefix || return 1
    bytora_build "$@"
}
