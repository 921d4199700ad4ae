#!/usr/bin/env bash
# The Debian packages: builds them with cpack in BUILD_DIR (configured for /usr), checks their
# control fields and contents, the man pages against the programs' --help, the systemd unit, the
# maintainer scripts, and lintian; then unpacks each into a throw-away root and runs the programs
# from there (the servers on loopback, in a private network namespace where one can be made).
#   package_test.sh [BUILD_DIR]      (default build/ci)
# Exits 0 only when every check passed.
# shellcheck disable=SC2317  # the check functions below run through expect
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(realpath -m "${1:-$root/build/ci}")

# The loopback run binds fixed ports: where it can (root, unshare), the script runs itself again
# in a private network namespace with only a loopback interface, so nothing leaves the machine
# and no other test's ports collide with ours.
if [[ ${GATEWISE_PACKAGE_IN_NETNS:-} != 1 ]] && [[ $(id -u) == 0 ]] &&
    unshare --net true 2>/dev/null; then
    exec env GATEWISE_PACKAGE_IN_NETNS=1 unshare --net bash -c 'ip link set lo up && exec bash "$@"' \
        bash "$0" "$build"
fi

. "$root/scripts/lib.sh"

work=$(mktemp -d)
server_pid=
cleanup() {
    [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

for tool in cpack dpkg-deb dpkg-shlibdeps gzip; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh)"; exit 1; }
done

# --- Build ---------------------------------------------------------------------------------
# cpack builds everything the build directory would build before it installs, so the packages
# always hold the current programs.
echo "building the packages in $build"
cmake -S "$root" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; echo "FAIL: configure"; exit 1; }
gui=$(sed -n 's/^GATEWISE_BUILD_GUI:BOOL=//p' "$build/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
out="$work/debs"
(cd "$build" && cpack -G DEB -B "$out" >"$work/cpack.log" 2>&1) ||
    { tail -40 "$work/cpack.log"; echo "FAIL: cpack -G DEB"; exit 1; }

# A package built for another prefix would install a unit naming paths that are not there.
refuses_other_prefix() {
    local checks=$root/packaging/cpack_checks.cmake
    ! cmake -DCPACK_GENERATOR=DEB -DCPACK_PACKAGING_INSTALL_PREFIX=/usr/local -P "$checks" 2>/dev/null &&
        cmake -DCPACK_GENERATOR=DEB -DCPACK_PACKAGING_INSTALL_PREFIX=/usr -P "$checks"
}
expect "cpack refuses Debian packages for a prefix other than /usr" refuses_other_prefix

arch=$(dpkg --print-architecture)
packages=(gatewise-cli gatewise-server)
[[ $gui == ON ]] && packages+=(gatewise)
declare -A deb
for p in "${packages[@]}"; do
    deb[$p]="$out/${p}_${version}_${arch}.deb"
    expect "$p: ${deb[$p]##*/} was made" test -f "${deb[$p]}"
done
# Nothing else: a package for an unnamed component would mean an install rule without one.
expect "exactly ${#packages[@]} packages" test "$(find "$out" -maxdepth 1 -name '*.deb' | wc -l)" = "${#packages[@]}"
for p in "${packages[@]}"; do [[ -f ${deb[$p]} ]] || finish; done

# --- Control fields ------------------------------------------------------------------------
field() { dpkg-deb -f "${deb[$1]}" "$2"; }
for p in "${packages[@]}"; do
    expect "$p: version $version" test "$(field "$p" Version)" = "$version"
    expect "$p: section net" test "$(field "$p" Section)" = net
    expect "$p: maintainer with an address" grep -q '<.*@.*>' <<<"$(field "$p" Maintainer)"
    # shlibdeps computed the dependencies: every program links the C and C++ runtimes.
    expect "$p: depends on libc6 and libstdc++6" \
        grep -q 'libc6 (>=.*libstdc++6 (>=\|libstdc++6 (>=.*libc6 (>=' <<<"$(field "$p" Depends)"
    desc=$(field "$p" Description)
    expect "$p: a synopsis and a long description of its own" \
        test "$(wc -l <<<"$desc")" -gt 3 -a "$(head -1 <<<"$desc")" != "$(field gatewise-cli Description | head -1)" -o "$p" = gatewise-cli
done
[[ $gui == ON ]] && expect "gatewise: depends on Qt 6 widgets" grep -q libqt6widgets6 <<<"$(field gatewise Depends)"

# --- Contents ------------------------------------------------------------------------------
unit_dir=$(sed -n 's/^GATEWISE_SYSTEMD_UNIT_DIR:PATH=//p' "$build/CMakeCache.txt")
declare -A wanted=(
    [gatewise-cli]="./usr/bin/gatewise-cli ./usr/share/man/man1/gatewise-cli.1.gz
        ./usr/share/doc/gatewise-cli/copyright ./usr/share/doc/gatewise-cli/changelog.gz"
    [gatewise-server]="./usr/bin/gatewise-server ./usr/share/man/man8/gatewise-server.8.gz
        .$unit_dir/gatewise-server.service ./etc/default/gatewise-server
        ./usr/share/doc/gatewise-server/copyright ./usr/share/doc/gatewise-server/changelog.gz"
    [gatewise]="./usr/bin/gatewise ./usr/share/man/man1/gatewise.1.gz
        ./usr/share/applications/gatewise.desktop ./usr/share/metainfo/example.tarnwick.gatewise.metainfo.xml
        ./usr/share/icons/hicolor/256x256/apps/gatewise.png ./usr/share/icons/hicolor/scalable/apps/gatewise.svg
        ./usr/share/doc/gatewise/copyright ./usr/share/doc/gatewise/changelog.gz")
for p in "${packages[@]}"; do
    dpkg-deb -c "${deb[$p]}" >"$work/$p.list"
    for f in ${wanted[$p]}; do
        expect "$p holds $f" grep -q " $f\$" "$work/$p.list"
    done
    expect "$p: every file owned by root" \
        test -z "$(awk '$2 != "root/root"' "$work/$p.list")"
    expect "$p: programs executable by all, nothing writable by others" \
        test -z "$(awk '($6 ~ /^\.\/usr\/bin\/./ && $1 !~ /^-rwxr-xr-x/) || $1 ~ /^.{8}w/' "$work/$p.list")"
done
# One program per package: the packages can be installed side by side.
expect "no file in two packages" test -z "$(cat "$work"/*.list | awk '$1 !~ /^d/ {print $6}' | sort | uniq -d)"

# --- Unpacked into a throw-away root -------------------------------------------------------
fs="$work/root"
for p in "${packages[@]}"; do dpkg-deb -x "${deb[$p]}" "$fs"; done
for exe in "$fs"/usr/bin/*; do
    expect "${exe##*/}: stripped" grep -q ', stripped' <(file "$exe")
done

helps() {  # helps PROGRAM OUTFILE: --help exits 0 and starts with the usage line
    "$1" --help >"$2" && head -1 "$2" | grep -q "^Usage: .*${1##*/} "
}
expect "gatewise-cli --help from the package" helps "$fs/usr/bin/gatewise-cli" "$work/cli-help"
expect "gatewise-server --help from the package" helps "$fs/usr/bin/gatewise-server" "$work/server-help"
# The unit does not restart a server that refuses its options: that exit status must be 2.
"$fs/usr/bin/gatewise-server" >/dev/null 2>&1
expect "gatewise-server without options exits with 2" test $? = 2

# Man pages: gzip -9n (no name, no time stamp), rendered without warnings, and every long
# option of --help documented.
# man_options PAGE: the long options that head an entry (the line after .TP) of a man page.
man_options() {
    gzip -dc "$1" | awk 'prev == ".TP" { print } { prev = $0 }' |
        grep -o '\\-\\-[a-z0-9][a-z0-9\\-]*' | sed 's/\\-/-/g' | sort -u
}
help_options() { grep -o -- '--[a-z0-9][a-z0-9-]*' "$1" | sort -u; }
check_man() {  # check_man PAGE HELPFILE
    local page=$1 name
    name=$(basename "$page")
    expect "$name: gzip without name or time stamp" \
        test "$(od -An -tx1 -j3 -N5 "$page" | tr -d ' ')" = 0000000000
    expect "$name: renders without warnings" \
        test -z "$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
    [[ -n ${2:-} ]] || return 0
    local missing
    missing=$(comm -23 <(help_options "$2") <(man_options "$page") | tr '\n' ' ')
    expect "$name: an entry for every option of --help${missing:+ (missing: $missing)}" test -z "$missing"
}
check_man "$fs/usr/share/man/man1/gatewise-cli.1.gz" "$work/cli-help"
check_man "$fs/usr/share/man/man8/gatewise-server.8.gz" "$work/server-help"
[[ $gui == ON ]] && check_man "$fs/usr/share/man/man1/gatewise.1.gz"

# The packaged programs answer on loopback: the server in both roles with the same port (an
# RFC 5780 server), the client's standard STUN tests against it. Only in our own namespace,
# where the ports are certainly free.
if [[ ${GATEWISE_PACKAGE_IN_NETNS:-} == 1 ]]; then
    "$fs/usr/bin/gatewise-server" --server1 127.0.0.2:3478 --server2 127.0.0.3:3478 \
        --stats-interval 0 2>"$work/server.log" &
    server_pid=$!
    if wait_udp_port 3478; then
        timeout 20 "$fs/usr/bin/gatewise-cli" --stun 127.0.0.2:3478 --stun-rto-ms 50 --json \
            >"$work/stun.out" 2>&1
        expect "the packaged client's STUN tests against the packaged server (exit 0)" test $? = 0
        expect "... with the mapped address reported" grep -q '"mapped":{"address":"127.0.0.1"' "$work/stun.out"
    else
        cat "$work/server.log"
        bad "the packaged server did not bind 127.0.0.2:3478"
    fi
    kill "$server_pid" && wait "$server_pid"
    expect "the packaged server stops cleanly on SIGTERM" test $? = 0
    server_pid=
else
    echo "skip: loopback run of the packaged programs (needs root and unshare)"
fi

# --- The systemd unit ----------------------------------------------------------------------
unit="$fs$unit_dir/gatewise-server.service"
exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
expect "unit: ExecStart names the packaged program ($exec_start)" test -x "$fs$exec_start"
env_file=$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$unit")
expect "unit: its EnvironmentFile is in the package ($env_file)" test -f "$fs$env_file"
expect "unit: the EnvironmentFile is a conffile" \
    grep -qx "$env_file" <(dpkg-deb -I "${deb[gatewise-server]}" conffiles)
for setting in DynamicUser=yes NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes \
    PrivateTmp=yes PrivateUsers=yes CapabilityBoundingSet= AmbientCapabilities= \
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_NETLINK" RestartPreventExitStatus=2; do
    expect "unit: $setting" grep -qx "$setting" "$unit"
done
if command -v systemd-analyze >/dev/null; then
    # verify resolves ExecStart inside the unpacked root, which borrows this machine's targets
    # (the unit is ordered after them); an unknown key or bad value is only a warning, so any
    # output fails. The man page was checked above.
    cp -n /lib/systemd/system/*.target "$fs$unit_dir/" 2>/dev/null
    verifies() {
        local out
        out=$(systemd-analyze verify --man=no --root="$fs" "$unit" 2>&1)
        test -z "$out" || { echo "$out"; false; }
    }
    expect "systemd-analyze verify" verifies
    # Exposure 0.0 (locked down) to 10.0 (unprotected); 2.0 is the top of systemd's "OK" band.
    # It was 1.6 before the system-call and user restrictions of the unit were tightened (1.1).
    expect "systemd-analyze security: exposure at most 1.6" \
        systemd-analyze security --offline=yes --root="$fs" --threshold=16 --no-pager "$unit" >"$work/security.log"
    grep -i "overall exposure" "$work/security.log"
else
    echo "skip: systemd-analyze is not installed"
fi

# The packaged server under the unit's own restrictions, without systemd as PID 1: unit_sandbox
# applies the system-call allow-list, the socket families, MemoryDenyWriteExecute=,
# RestrictNamespaces= and an unprivileged user with no capabilities, all read from the packaged
# unit, then runs the server; the packaged client's STUN test must get its answer. The same with
# one call taken away (sendmmsg, how the server answers) must fail: a filter too tight for the
# server fails here, not on a user's machine; so must the server without AF_INET.
# syscall_set ENTRY...: the system calls named, groups (@name) expanded as this machine's
# systemd defines them, one a line.
syscall_set() {
    local entry
    for entry in "$@"; do
        if [[ $entry == @* ]]; then
            # shellcheck disable=SC2046  # one word a call or group
            syscall_set $(systemd-analyze syscall-filter --no-pager "$entry" |
                awk 'NR > 1 && $1 !~ /^#/ && NF { print $1 }')
        else
            echo "$entry"
        fi
    done
}
unit_value() { sed -n "s/^$1=//p" "$unit"; }
sandbox_args=()
# With metrics in the package, the sandboxed server also serves them (its HTTP threads under the
# same filter and families).
metrics_args=() scraped=-
grep -q 'built without prometheus-cpp' "$work/server-help" || metrics_args=(--metrics 127.0.0.1:9641)
# run_sandboxed [EXTRA SANDBOX OPTIONS]: the server under the unit's restrictions, asked by the
# client, then stopped with SIGTERM. Sets bound (its port was bound), answered (the client got
# its mapped address), scraped (its metrics page counted that answer; - without metrics) and
# stopped_rc (the exit status).
run_sandboxed() {
    local pid
    bound=no answered=no
    [[ ${#metrics_args[@]} -gt 0 ]] && scraped=no
    "$work/unit_sandbox" "${sandbox_args[@]}" "$@" -- "$fs/usr/bin/gatewise-server" \
        --server1 127.0.0.2:3478 --server2 127.0.0.3:3478 --stats-interval 0 --workers 2 \
        "${metrics_args[@]}" 2>"$work/sandboxed.log" &
    pid=$!
    if wait_udp_port 3478 30; then
        bound=yes
        timeout 20 "$fs/usr/bin/gatewise-cli" --stun 127.0.0.2:3478 --stun-rto-ms 50 --json \
            >"$work/sandboxed.out" 2>&1 &&
            grep -q '"mapped":{"address":"127.0.0.1"' "$work/sandboxed.out" && answered=yes
        [[ $scraped == no ]] && http_get 127.0.0.1 9641 /metrics |
            grep -q '^gatewise_answered_total{protocol="stun",kind="binding"} [1-9]' && scraped=yes
    fi
    kill "$pid" 2>/dev/null
    wait "$pid"
    stopped_rc=$?
}
# shows_log CONDITION...: CONDITION's status, with the server's last lines when it failed.
shows_log() {
    "$@" && return 0
    echo "    (bound=$bound answered=$answered scraped=$scraped exit=$stopped_rc)"
    sed 's/^/    sandboxed server: /' "$work/sandboxed.log" | tail -4
    return 1
}
answers_and_stops() {
    local want_scraped=-
    [[ ${#metrics_args[@]} -gt 0 ]] && want_scraped=yes
    run_sandboxed
    shows_log test "$bound/$answered/$scraped/$stopped_rc" = "yes/yes/$want_scraped/0"
}
# A call missing from the filter: the server starts but its answers fail.
binds_but_no_answer_without_sendmmsg() {
    run_sandboxed --deny sendmmsg
    shows_log test "$bound/$answered" = yes/no
}
# A family missing: socket() fails with EAFNOSUPPORT and the server gives up.
no_socket_without_inet() {
    run_sandboxed --families AF_NETLINK
    shows_log grep -q 'Address family not supported' "$work/sandboxed.log" && [[ $bound == no ]]
}
if [[ ${GATEWISE_PACKAGE_IN_NETNS:-} != 1 ]] || ! command -v systemd-analyze >/dev/null; then
    echo "skip: the packaged server under the unit's restrictions (needs root, unshare and systemd-analyze)"
elif ! ${CXX:-c++} -std=c++20 -O1 -Wall -Wextra -Werror "$here/unit_sandbox.cpp" -lseccomp \
    -o "$work/unit_sandbox" 2>"$work/sandbox-build.log"; then
    cat "$work/sandbox-build.log"
    bad "unit_sandbox does not build (libseccomp-dev: scripts/install-deps.sh)"
else
    # The service's user must reach the unpacked program (the folder's names stay unlistable).
    chmod o+x "$work"
    allow=() deny=()
    while read -r line; do
        # shellcheck disable=SC2206  # the value is a list of words
        if [[ $line == "~"* ]]; then deny+=(${line#"~"}); else allow+=($line); fi
    done < <(unit_value SystemCallFilter)
    comm -23 <(syscall_set "${allow[@]}" | sort -u) <(syscall_set "${deny[@]}" | sort -u) \
        >"$work/syscalls"
    errno_name=$(unit_value SystemCallErrorNumber)
    sandbox_args=(--syscalls "$work/syscalls" --errno "${errno_name:-EPERM}" --user 65534:65534
        --families "$(unit_value RestrictAddressFamilies | tr ' ' ',')")
    [[ $(unit_value MemoryDenyWriteExecute) == yes ]] && sandbox_args+=(--mdwe)
    [[ $(unit_value RestrictNamespaces) == yes ]] && sandbox_args+=(--no-namespaces)
    expect "the packaged server answers${metrics_args[*]:+ and serves its metrics} under the unit's restrictions ($(wc -l <"$work/syscalls") calls allowed)" \
        answers_and_stops
    expect "... and does not without sendmmsg (the sandbox catches a filter too tight)" \
        binds_but_no_answer_without_sendmmsg
    expect "... nor opens a socket without AF_INET (the sandbox restricts the families)" \
        no_socket_without_inet
fi

for script in postinst prerm postrm; do
    dpkg-deb --ctrl-tarfile "${deb[gatewise-server]}" | tar -xO "./$script" >"$work/$script" 2>/dev/null
    expect "gatewise-server: $script is a valid shell script" sh -n "$work/$script"
done

# --- Desktop entry and AppStream ------------------------------------------------------------
if [[ $gui == ON ]]; then
    if command -v desktop-file-validate >/dev/null; then
        expect "desktop-file-validate" desktop-file-validate "$fs/usr/share/applications/gatewise.desktop"
    fi
    if command -v appstreamcli >/dev/null; then
        expect "appstreamcli validate" appstreamcli validate --no-net --pedantic \
            "$fs/usr/share/metainfo/example.tarnwick.gatewise.metainfo.xml"
    fi
fi

# --- lintian ---------------------------------------------------------------------------------
if command -v lintian >/dev/null; then
    lintian --fail-on error --tag-display-limit 0 "${deb[@]}" >"$work/lintian.log" 2>&1
    rc=$?
    sed 's/^/    lintian: /' "$work/lintian.log"
    expect "lintian: no errors" test "$rc" = 0 -a -z "$(grep '^E: ' "$work/lintian.log")"
else
    echo "skip: lintian is not installed"
fi

finish
