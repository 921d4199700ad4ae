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

# http_get ADDRESS PORT PATH: the body and headers of an HTTP/1.0 GET, at most 5 s in all (bash's
# /dev/tcp; no HTTP client needed).
http_get() {
    timeout 5 bash -c 'exec 3<>"/dev/tcp/$1/$2" && printf "GET %s HTTP/1.0\r\n\r\n" "$3" >&3 && cat <&3' \
        bash "$@"
}

# Where scripts/install-deps.sh unpacks Debian's stun-client and stun-server without installing
# them (so no stund starts on this machine); GATEWISE_INTEROP_DIR overrides it.
INTEROP_DIR=${GATEWISE_INTEROP_DIR:-/var/cache/gatewise-interop}
# interop_tool NAME: the path of stun, stund or promtool, from INTEROP_DIR or else from PATH;
# fails (and prints nothing) when neither has it.
interop_tool() {
    local f
    for f in "$INTEROP_DIR/usr/bin/$1" "$INTEROP_DIR/usr/sbin/$1"; do
        [ -x "$f" ] && { echo "$f"; return 0; }
    done
    command -v "$1"
}

# Lab tests. lab_session NATLAB NAME: exits 77 (skipped, with the reason) where this machine
# cannot host a lab and 1 where the check fails; otherwise makes $work, empties pids and sets an
# EXIT trap that stops every pid in pids, takes the lab NAME down and removes $work. A lab left
# behind under NAME by an earlier run is taken down first, or "up" would refuse.
lab_session() {
    local reason rc
    reason=$("$1" check 2>&1)
    rc=$?
    case $rc in
    0) ;;
    77) echo "SKIP: $reason"; exit 77 ;;
    *) echo "FAIL: natlab check: $reason"; exit 1 ;;
    esac
    lab_natlab=$1 lab_name=$2
    work=$(mktemp -d)
    pids=()
    trap lab_cleanup EXIT
    "$lab_natlab" down "$lab_name" >/dev/null 2>&1
}
stop_pids() {  # stops (and reaps) every process in pids
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    pids=()
}
# Ends the WINEPREFIX's wineserver (the prefix's alone) and waits, 30 s at most, until it and its
# programs are gone: the next wine program starts a fresh session, in the caller's network
# namespace and under the caller's display.
end_wineserver() {
    wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w || true
}
# shellcheck disable=SC2317  # run by the EXIT trap
lab_cleanup() {
    stop_pids
    "$lab_natlab" down "$lab_name" >/dev/null 2>&1
    rm -rf "$work"
}

# lab_up LABEL ARGS...: "natlab up ARGS... --name NAME" for lab_session's lab, its output in
# $work/up.out; where the lab does not come up, prints that output and fails the test as "lab
# LABEL came up". Sets s1 and s2, the lab's two server addresses.
lab_up() {
    local label=$1
    shift
    if ! "$lab_natlab" up "$@" --name "$lab_name" >"$work/up.out" 2>&1; then
        cat "$work/up.out"
        bad "lab $label came up"
        finish
    fi
    s1=$(sed -n 's/^server1=//p' "$work/up.out")
    s2=$(sed -n 's/^server2=//p' "$work/up.out")
}

# lab_servers NATLAB NAME SERVER UPFILE INI FRIEND LOG: writes INI naming the lab's two server
# addresses (from the "natlab up" output in UPFILE; ports 34780 and 34790) and FRIEND, and starts
# gatewise-server on the lab's server host in the background, its output in LOG, its pid in spid.
lab_servers() {
    local s1 s2
    s1=$(sed -n 's/^server1=//p' "$4")
    s2=$(sed -n 's/^server2=//p' "$4")
    write_settings "$5" "$s1" 34780 "$s2" 34790 "$6"
    "$1" exec "$2" srv "$3" --server1 "$s1:34780" --server2 "$s2:34790" >"$7" 2>&1 &
    spid=$!
}

# lab_coturn NATLAB NAME S1 S2 PORT DIR: starts coturn as an RFC 5780 STUN server on the lab's
# server host, listening on S1:PORT and S2:PORT (RFC 5780 needs two addresses of one family, given
# in a configuration file: DIR/turnserver.conf), its output in DIR/coturn.log, its pid in cpid.
lab_coturn() {
    printf 'listening-ip=%s\nlistening-ip=%s\nlistening-port=%s\nstun-only\nno-tls\nno-dtls\nno-cli\nno-auth\nlog-file=stdout\nsimple-log\n' \
        "$3" "$4" "$5" >"$6/turnserver.conf"
    "$1" exec "$2" srv turnserver -c "$6/turnserver.conf" >"$6/coturn.log" 2>&1 &
    cpid=$!
}

# lab_pair NATLAB NAME SERVER S1 S2 PORT DIR one|split: gatewise-server on the lab's server host
# as a standard STUN server pair on S1:PORT and S2:PORT, in one process or split into Server1 and
# Server2 processes that share a fresh relay key; logs in DIR/server1.log (and DIR/server2.log),
# pids added to pids. Fails, printing the logs, unless PORT and PORT+1 are bound within 5 s.
lab_pair() {
    local natlab=$1 name=$2 server=$3 s1=$4 s2=$5 port=$6 dir=$7 key
    if [ "$8" = one ]; then
        "$natlab" exec "$name" srv "$server" --server1 "$s1:$port" --server2 "$s2:$port" \
            >"$dir/server1.log" 2>&1 &
        pids+=($!)
    else
        key=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')
        "$natlab" exec "$name" srv "$server" --server1 "$s1:$port" --partner "$s2:$port" \
            --key-hex "$key" >"$dir/server1.log" 2>&1 &
        pids+=($!)
        "$natlab" exec "$name" srv "$server" --server2 "$s2:$port" --partner "$s1" \
            --key-hex "$key" >"$dir/server2.log" 2>&1 &
        pids+=($!)
    fi
    "$natlab" listening "$name" srv "$port" "$((port + 1))" && return 0
    cat "$dir/server1.log" "$dir/server2.log" 2>/dev/null
    return 1
}

# expect_json LABEL OUT FIELD=VALUE...: the JSON line that ends OUT (a --json run) has each
# "FIELD":VALUE, VALUE quoted unless it is true, false or null; prints OUT when one is missing.
expect_json() {
    local label=$1 out=$2 json kv key value all=yes
    shift 2
    json=$(tail -n 1 "$out")
    for kv in "$@"; do
        key=${kv%%=*} value=${kv#*=}
        case $value in true | false | null) ;; *) value="\"$value\"" ;; esac
        if [[ $json == *"\"$key\":$value"* ]]; then
            ok "$label: $key $value"
        else
            bad "$label: $key $value"
            all=no
        fi
    done
    [ "$all" = yes ] || cat "$out"
}

# verdicts FILE: the verdict lines and fields of one quick or full run's output (CR LF or LF), one
# a line. The check: the summary between its heading and the closing asterisks, then the JSON's
# behaviours, filter, allocation and rating. --stun: the summary without the mapped address (a
# fresh port every run), then the same JSON fields. The several-copies line (MULTI_LINE) is left
# out: with two copies checking at once, which one finds the other depends on which searches
# first, in either mode.
MULTI_LINE="MORE THAN ONE TARNWICK BEHIND"
verdicts() {
    tr -d '\r' <"$1" | awk '/Result Summarize/ {on = 1; next} on && /^\*+$/ {exit}
        on && NF && !/^MAPPED ADDRESS :/' | grep -v "$MULTI_LINE"
    grep '^{' "$1" | tail -1 |
        grep -oE '"(mapping|mappingEndpointIndependent|filtering|hairpinning|rating)":[^,]*|"(filter|allocation)":(null|\{[^}]*\})'
}

# The Windows cross builds (scripts/windows-build.sh, scripts/windows-zip.sh), through ccache where
# there is one. win_configure ROOT BUILD_DIR [QT_PREFIX]: without QT_PREFIX the command-line
# programs and their suites, linked statically (cmake/mingw-w64-x86_64.cmake); with it (a Qt for
# MinGW-w64 from scripts/qt-mingw.sh) the desktop program and its suite, which take Qt's DLLs and
# so the MinGW C++ runtime as DLLs too (one runtime shared by the program and Qt). Qt's toolchain
# file goes first: through the project's alone, find_package does not see the prefix.
win_configure() {
    local root=$1 dir=$2 qt=${3:-} args launcher=()
    command -v ccache >/dev/null &&
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    if [ -z "$qt" ]; then
        args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DGATEWISE_BUILD_GUI=OFF)
    else
        args=(-DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake"
              -DQT_CHAINLOAD_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
              -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
              -DCMAKE_EXE_LINKER_FLAGS=)
    fi
    # -O2 without -g: nothing reads debug information under wine, and it is a good part of the
    # build. (CMake's Release means -O3, where MinGW's GCC 12 warns wrongly about std::string.)
    cmake -S "$root" -B "$dir" "${args[@]}" -DGATEWISE_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" \
        "${launcher[@]}" >/dev/null
}
