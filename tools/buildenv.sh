# Sourced by run.sh and test.sh: installs what is missing, prepares a private
# Wine prefix inside the build folder and builds incrementally.
# BUILD_DIR picks the build folder (default: build); BYTORA_CMAKE_OPTIONS
# (an array) adds options to a first configuration.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac

export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

bytora_log() { echo "bytora: $*" >&2; }

# Each entry is "command-or-path:package". Wine's commands (wine, wineserver,
# wineboot, winepath) come with the "wine" package; "wine64" alone installs only
# the loader, so every command the scripts start is checked, not just one.
BYTORA_NEEDS=(
    x86_64-w64-mingw32-gcc-posix:gcc-mingw-w64-x86-64-posix
    x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
    x86_64-w64-mingw32-windres:binutils-mingw-w64-x86-64
    wine:wine wineserver:wine wineboot:wine winepath:wine /usr/lib/wine/wine64:wine64
    cmake:cmake ctest:cmake make:make
    /usr/src/googletest/CMakeLists.txt:googletest
    tmux:tmux script:bsdutils timeout:coreutils
    # The address tests' loopback servers: Debian's own Python with its FTP
    # server module, and openssl for the test authority's certificates.
    /usr/bin/python3:python3 /usr/lib/python3/dist-packages/pyftpdlib:python3-pyftpdlib openssl:openssl
    # package.sh dates the release zip by the last commit.
    git:git
)

# Installs the packages for the entries of "$@" that are missing; says which
# package could not be installed when one fails.
bytora_install_needs() {
    local missing=() entry what pkg
    for entry in "$@"; do
        what=${entry%%:*} pkg=${entry##*:}
        case $what in
            /*) [ -e "$what" ] && continue ;;
            *) command -v "$what" >/dev/null && continue ;;
        esac
        [[ " ${missing[*]} " == *" $pkg "* ]] || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    bytora_log "installing ${missing[*]} (the first run takes a few minutes)"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { bytora_log "not root and no sudo: install ${missing[*]} by hand"; return 1; }
        sudo=sudo
    fi
    if [ -z "${BYTORA_APT_UPDATED:-}" ]; then
        $sudo apt-get update -qq >&2 || { bytora_log "apt-get update failed"; return 1; }
        BYTORA_APT_UPDATED=1
    fi
    if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2; then
        # Tell which one: try them one at a time.
        for pkg in "${missing[@]}"; do
            DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$pkg" >/dev/null 2>&1 ||
                bytora_log "could not install the package $pkg"
        done
        return 1
    fi
    for entry in "$@"; do
        what=${entry%%:*}
        case $what in
            /*) [ -e "$what" ] ;;
            *) command -v "$what" >/dev/null ;;
        esac || { bytora_log "package ${entry##*:} is installed but $what is still missing"; return 1; }
    done
}

bytora_install() { bytora_install_needs "${BYTORA_NEEDS[@]}"; }

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
            -DCMAKE_BUILD_TYPE=Release ${BYTORA_CMAKE_OPTIONS[@]+"${BYTORA_CMAKE_OPTIONS[@]}"} >"$log" 2>&1 || { cat "$log" >&2; return 1; }
    fi
    cmake --build "$BUILD_DIR" -j"$(nproc)" "$@" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}

bytora_setup() {
    bytora_install || { bytora_log "could not install the build tools"; return 1; }
    bytora_prefix || return 1
    bytora_build "$@"
}
