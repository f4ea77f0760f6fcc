# The loopback servers of tests/url/servers.py, for the address tests and the
# download benchmark. Sourced with ROOT set. url_servers_start DIR starts them
# over DIR (the FTP root is DIR/ftp, which must exist) and waits at most 20 s
# for them to write their ports to DIR/ports; on failure it shows their log
# and returns 1. url_servers_stop stops them; callers run it on exit.
SERVER=""

url_servers_start() {
    local dir=$1 i
    # Debian's Python, which has the FTP server module.
    /usr/bin/python3 "$ROOT/tests/url/servers.py" "$dir" >"$dir/servers.log" 2>&1 &
    SERVER=$!
    for ((i = 0; i < 200; i++)); do
        [ -s "$dir/ports" ] && return 0
        kill -0 "$SERVER" 2>/dev/null || break
        sleep 0.1
    done
    [ -s "$dir/ports" ] && return 0
    cat "$dir/servers.log" >&2
    return 1
}

url_servers_stop() {
    if [ -n "$SERVER" ]; then
        kill "$SERVER" 2>/dev/null
        wait "$SERVER" 2>/dev/null
    fi
}

# For the test programs: starts the servers over DIR with the FTP file the
# tests fetch (DIR/ftp/sub/file.txt) and exports each port as
# BYTORA_TEST_<NAME>_PORT.
url_servers_for_tests() {
    local dir=$1 name port
    mkdir -p "$dir/ftp/sub"
    printf 'FTP file\r\n' >"$dir/ftp/sub/file.txt"
    url_servers_start "$dir" || return 1
    while IFS== read -r name port; do
        export "BYTORA_TEST_${name}_PORT=$port"
    done <"$dir/ports"
}
