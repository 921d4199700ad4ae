#!/usr/bin/env bash
# A probe server that dies during a check, and comes back: the check ends with the lines a
# missing server deserves, the retransmissions carry a check whose server returns in time, and
# the next check succeeds.
#   server_restart_test.sh GATEWISE_CLI GATEWISE_SERVER
# Everything talks on 127.0.0.0/8. Where it can (root, unshare), the script runs itself again in
# a private network namespace that has only a loopback interface, so nothing can leave and the
# fixed ports 9801/9802 are its own. The case in which the check can reach the friend phase runs
# only there; the OPEN-path cases run on the host's loopback too.
set -uo pipefail
cli=$1 server=$2
for exe in "$cli" "$server"; do
    [[ -x $exe ]] || { echo "FAIL: $exe is not built"; exit 1; }
done

if [[ ${GATEWISE_FAULT_IN_NETNS:-} != 1 ]] && [[ $(id -u) == 0 ]] &&
    unshare --net true 2>/dev/null; then
    exec env GATEWISE_FAULT_IN_NETNS=1 unshare --net bash -c 'ip link set lo up && exec bash "$@"' \
        bash "$0" "$@"
fi
in_netns=${GATEWISE_FAULT_IN_NETNS:-0}

readonly S1=127.0.0.10 P1=7000 S2=127.0.0.20 P2=7100
readonly FILTER="NAT INCOMING PACKAGES FILTER :    "
readonly NO_SERVER="I can't receive any response from STUN Server, NAT Check stop!"

. "$(dirname "$0")/../../scripts/lib.sh"

work=$(mktemp -d)
server_pid=
server2_pid=
cli_pid=
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    [[ -n $cli_pid ]] && kill "$cli_pid" 2>/dev/null && wait "$cli_pid" 2>/dev/null
    [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [[ -n $server2_pid ]] && kill "$server2_pid" 2>/dev/null && wait "$server2_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

write_settings "$work/STUN.ini" "$S1" "$P1" "$S2" "$P2"

# start_server ARGS...: in the background; waits up to 5 s for its "started" line.
start_server() {
    : >"$work/server.log"
    "$server" --stats-interval 0 "$@" 2>>"$work/server.log" &
    server_pid=$!
    for _ in $(seq 50); do
        grep -q "started with" "$work/server.log" && return 0
        sleep 0.1
    done
    cat "$work/server.log"
    return 1
}
kill_server() {  # SIGKILL: no orderly shut-down, as a crash or a power cut
    kill -KILL "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
}
# check NAME TICK_MS: one check, in the background; `finish_check` waits for it (bounded).
start_check() {
    "$cli" --config "$work/STUN.ini" --tick-ms "$2" >"$work/$1.out" 2>"$work/$1.err" &
    cli_pid=$!
}
finish_check() {  # finish_check NAME: sets rc; a check that outlives 30 s is a failure
    local i
    for i in $(seq 300); do
        kill -0 "$cli_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$cli_pid" 2>/dev/null; then
        kill "$cli_pid"
        bad "$1: the check ended within 30 s"
    fi
    wait "$cli_pid"
    rc=$?
    cli_pid=
}
# The verdict lines of the summary block (between the title and the closing row).
summary() {
    sed -n '/NAT Detect Result Summarize/,/^\*\*\*/p' "$work/$1.out" | grep -v -e '^\*' \
        -e 'NAT Detect Result Summarize' -e '^$'
}
expect_summary() {  # expect_summary NAME LINE...
    local name=$1
    shift
    local want got
    want=$(printf '%s\n' "$@")
    got=$(summary "$name")
    if [[ $got == "$want" ]]; then ok "$name: summary is $(echo "$want" | tr '\n' '|')"; else
        bad "$name: summary: wanted '$want', got '$got'"
        cat "$work/$name.out"
    fi
}
has_line() {  # has_line NAME TEXT: TEXT is a whole line or a timed line's text
    grep -qE -- "^([0-9]{2}:[0-9]{2}:[0-9]{2} --- )?$(printf '%s' "$2" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$" \
        "$work/$1.out"
}

# 1. Baseline: the server up, a check on the OPEN path.
start_server --server1 "$S1:$P1" --server2 "$S2:$P2" || { bad "server started"; exit 1; }
start_check baseline 100
finish_check baseline
[[ $rc == 0 ]] && ok "baseline: exit 0" || bad "baseline: exit $rc"
expect_summary baseline "${FILTER}OPEN"

# 2. The server killed: the check gets no answer and says so.
kill_server
start_check killed 100
finish_check killed
[[ $rc == 3 ]] && ok "killed: exit 3 (UNKNOWN)" || bad "killed: exit $rc"
has_line killed "$NO_SERVER" && ok "killed: says no server answered" ||
    bad "killed: no '$NO_SERVER' line"
expect_summary killed "${FILTER}UNKNOWN"

# 3. Brought back while the first request waits (each step gets 13 x 500 ms): the network
# module's retransmission, 3000 ms after the first, reaches the new server.
start_check returned 500
sleep 1
start_server --server1 "$S1:$P1" --server2 "$S2:$P2" || bad "server restarted"
finish_check returned
[[ $rc == 0 ]] && ok "returned: exit 0" || bad "returned: exit $rc"
expect_summary returned "${FILTER}OPEN"
requests=$(grep -c -- "--- Request STUN Server1 my MAPPED-ADDRESS\.\.\.$" "$work/returned.out")
[[ $requests == 1 ]] && ok "returned: carried by a retransmission, not a second request" ||
    bad "returned: $requests request lines"

# 4. The next check after the restart succeeds.
start_check after 100
finish_check after
[[ $rc == 0 ]] && ok "after: exit 0" || bad "after: exit $rc"
expect_summary after "${FILTER}OPEN"
kill_server

# 5. Server2 dead from the start (a split Server1 whose partner is down): the missing change
# reply is no filtering, so a computer with an address of its own gets UNKNOWN, not SYMMETRIC.
# 6. Killed in the middle: Server2 alive but refusing Server1's relays (another key), so the check
# waits in step 3 for a reply that never comes; Server1 is killed during that wait. Server2
# answered the liveness probe, so the check deems the filter SYMMETRIC and goes on to the
# allocation test, which Server1 no longer answers. The friend phase is never reached (its port
# query goes to the dead Server1), but only the private namespace guarantees a broadcast could
# not leave.
if [[ $in_netns == 1 ]]; then
    start_server --server1 "$S1:$P1" --partner "$S2:$P2" || bad "split Server1 started"
    start_check dead2 100
    finish_check dead2
    kill_server
    [[ $rc == 3 ]] && ok "dead2: exit 3 (UNKNOWN)" || bad "dead2: exit $rc"
    has_line dead2 "STUN Server2 has no response, NAT Incoming packages filter check stop." &&
        ok "dead2: says Server2 did not answer" || bad "dead2: no Server2 no-response line"
    expect_summary dead2 "${FILTER}UNKNOWN"

    "$server" --stats-interval 0 --server2 "$S2:$P2" --partner "$S1" \
        --key-hex 000102030405060708090a0b0c0d0e0f 2>"$work/server2.log" &
    server2_pid=$!
    start_server --server1 "$S1:$P1" --partner "$S2:$P2" || bad "split Server1 started"
    start_check middle 100
    for _ in $(seq 100); do
        grep -q "Receive STUN Server1 CHANGE-REQUEST response" "$work/middle.out" && break
        sleep 0.05
    done
    kill_server
    finish_check middle
    kill "$server2_pid" 2>/dev/null && wait "$server2_pid" 2>/dev/null
    server2_pid=
    [[ $rc == 0 ]] && ok "middle: exit 0 (a filter verdict was reached)" || bad "middle: exit $rc"
    has_line middle "STUN Server1 has no response, NAT Port Allocation Rule check stop." &&
        ok "middle: the allocation test says Server1 stopped answering" ||
        bad "middle: no allocation no-response line"
    has_line middle "$NO_SERVER" && ok "middle: the 9802 query says no server answered" ||
        bad "middle: no '$NO_SERVER' line"
    ! has_line middle "Start to search a friend..." && ok "middle: no friend search" ||
        bad "middle: a friend search was started"
    expect_summary middle "${FILTER}SYMMETRIC" "UDP LOOPBACK TRANSLATION:  YES(GOOD FOR PEER-TO-PEER)" \
        "PORT ALLOCATION RULE :    UNKNOWN"

    start_server --server1 "$S1:$P1" --server2 "$S2:$P2" || bad "server restarted"
    start_check next 100
    finish_check next
    [[ $rc == 0 ]] && ok "next: exit 0" || bad "next: exit $rc"
    expect_summary next "${FILTER}OPEN"
    kill_server
else
    echo "note: no private network namespace here; the mid-check case was not run"
fi

finish
