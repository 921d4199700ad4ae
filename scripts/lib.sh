# Shell helpers shared by the run, test, lab and benchmark scripts. Source it:
#   . "$(dirname "$0")/../scripts/lib.sh"      (adjust the path to the script's folder)

# write_settings FILE SERVER1 PORT1 SERVER2 PORT2 [FRIEND]: a STUN.ini naming the two probe
# servers and the friend (default 0.0.0.0, none).
write_settings() {
    printf '[Setting]\nSTUN1_IP=%s\nSTUN1_PORT=%s\nSTUN2_IP=%s\nSTUN2_PORT=%s\nFRIEND_IP=%s\n' \
        "$2" "$3" "$4" "$5" "${6:-0.0.0.0}" >"$1"
}

# Counted checks: ok and bad print a line each; finish prints the closing count and exits 0
# only when nothing failed.
passed=0 failed=0
ok() {
    passed=$((passed + 1))
    echo "ok: $*"
}
bad() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}
expect() {  # expect DESCRIPTION COMMAND...: ok when COMMAND succeeds, bad otherwise
    local what=$1
    shift
    if "$@"; then ok "$what"; else bad "$what"; fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" = 0 ] && exit 0
    exit 1
}

# wait_udp_port PORT [TRIES]: waits (0.1 s a try, 50 tries by default) until something in this
# network namespace has bound UDP port PORT; fails when nothing has.
wait_udp_port() {
    local i
    for ((i = 0; i < ${2:-50}; i++)); do
        [ -n "$(ss -Hlun "sport = :$1")" ] && return 0
        sleep 0.1
    done
    return 1
}
