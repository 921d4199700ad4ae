#!/usr/bin/env bash
# Tests of lab/natlab itself, before any Tarnwick check runs behind it.
#   natlab_test.sh NATLAB PROFILE    that profile comes up and passes its own router check (ctest
#                                    runs the profiles side by side, so labs must coexist)
#   natlab_test.sh NATLAB refusal    bad commands, and routers that behave otherwise than named,
#                                    are refused and leave nothing behind
#   natlab_test.sh NATLAB commands   info, exec (keeps the pid), flush (forgets mappings), verify
#                                    again, down (complete and safe to repeat)
# Needs root, network namespaces and nftables; exits 77 (skipped) where they are missing.
set -uo pipefail
natlab=$1
group=$2
tag=t$$
. "$(dirname "$0")/../../scripts/lib.sh"
work=$(mktemp -d)
labs=()
pids=()

cleanup() {
    local p l
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for l in "${labs[@]}"; do "$natlab" down "$l" >/dev/null 2>&1; done
    rm -rf "$work"
}
trap cleanup EXIT

leftovers() {  # leftovers NAME: prints whatever of lab NAME still exists
    ip netns list | awk '{print $1}' | grep "^$1-"
    ls -d "/etc/netns/$1-"* "/run/natlab/$1" 2>/dev/null
}

# ---- can this machine host a lab at all? ----
reason=$("$natlab" check 2>&1)
case $? in
0) ;;
77) echo "SKIP: $reason"; exit 77 ;;
*) echo "FAIL: natlab check: $reason"; exit 1 ;;
esac

up_all() {  # up_all CASE...: CASE is name:profile:options:rules it is really built with
    local c name profile opts rules i rc
    local up_pids=()
    for c in "$@"; do
        IFS=: read -r name profile opts rules <<<"$c"
        labs+=("$name")
        # shellcheck disable=SC2086  # opts are separate words
        NATLAB_RULES_AS=$rules "$natlab" up "$profile" $opts --name "$name" >"$work/$name.out" 2>&1 &
        up_pids+=($!)
    done
    i=0
    for c in "$@"; do
        IFS=: read -r name profile opts rules <<<"$c"
        wait "${up_pids[$i]}"
        rc=$?
        i=$((i + 1))
        if [ -z "$rules" ]; then
            expect "$profile ($opts) comes up and passes its check (rc $rc)" test "$rc" = 0
            [ "$rc" = 0 ] || sed 's/^/    /' "$work/$name.out"
        else
            expect "$rules rules named $profile are refused (rc $rc)" test "$rc" = 1
            expect "the refusal says what differed" grep -q "does not behave as '$profile'" "$work/$name.out"
            expect "a refused lab leaves nothing behind" test -z "$(leftovers "$name")"
        fi
    done
}

refusal() {
    # Usage errors are refused before anything is built.
    usage_case() {  # usage_case WHAT ARGS...
        local what=$1
        shift
        "$natlab" "$@" >/dev/null 2>&1
        local got=$?
        expect "usage: $what (rc $got)" test "$got" = 2
    }
    usage_case "unknown profile" up cone --name "${tag}u"
    usage_case "three clients" up fullcone --clients 3 --name "${tag}u"
    usage_case "name with a dash" up fullcone --name "a-b"
    usage_case "name too long for interface names" up fullcone --name abcdefghijklm
    usage_case "hairpin without a NAT" up none --hairpin --name "${tag}u"
    usage_case "hairpin behind an IPv6 router" up nat66 --hairpin --name "${tag}u"
    expect "nothing built by refused commands" test -z "$(leftovers "${tag}u")"

    up_all "${tag}m1:fullcone::restricted" "${tag}m2:restricted::portrestricted" \
        "${tag}m3:portrestricted::symmetric" "${tag}m4:addrdep::symmetric" \
        "${tag}m5:open6::firewall6" "${tag}m6:prefix6::nat66"
}

# One lab per profile, each with what its router check must have found.
profile() {  # profile PROFILE
    case $1 in
    none)
        up_all "${tag}n:none:--clients 2:"
        expect "none puts the clients on the internet" grep -qx 'c2=198.18.0.102' "$work/${tag}n.out"
        expect "none translates nothing" test "$(grep -c '^c[12]: mapping=none' "$work/${tag}n.out")" = 2
        ;;
    fullcone)
        up_all "${tag}f:fullcone:--hairpin --clients 2:"
        expect "fullcone --hairpin loops back for both clients" \
            test "$(grep -c '^c[12]: hairpin=yes' "$work/${tag}f.out")" = 2
        ;;
    restricted)
        up_all "${tag}r:restricted::"
        expect "restricted without --hairpin does not loop back" grep -qx 'c1: hairpin=no' "$work/${tag}r.out"
        ;;
    portrestricted)
        up_all "${tag}p:portrestricted:--hairpin:"
        expect "masquerading keeps the local port when it can" grep -qx 'c1: port_preserved=yes' "$work/${tag}p.out"
        expect "portrestricted --hairpin loops back" grep -qx 'c1: hairpin=yes' "$work/${tag}p.out"
        ;;
    addrdep)
        up_all "${tag}a:addrdep:--hairpin:"
        expect "addrdep --hairpin loops back" grep -qx 'c1: hairpin=yes' "$work/${tag}a.out"
        ;;
    symmetric)
        up_all "${tag}s:symmetric::"
        expect "the symmetric router picks a new port" grep -qx 'c1: port_preserved=no' "$work/${tag}s.out"
        ;;
    esac
}

commands() {
    local f="${tag}f" sleeper
    up_all "$f:fullcone:--hairpin --clients 2:"
    expect "the router check leaves nothing running in the lab" \
        test -z "$(for h in srv nat lan c1 c2; do ip netns pids "$f-$h"; done)"
    expect "verify can be repeated on a running lab" "$natlab" verify "$f"
    expect "info names the profile" grep -qx 'profile=fullcone' <("$natlab" info "$f")
    # shellcheck disable=SC2016  # expanded inside the lab host
    expect "a host resolves its own name to its own address" \
        grep -q '^198.19.0.11 ' <("$natlab" exec "$f" c1 sh -c 'getent hosts "$(hostname)"')
    "$natlab" exec "$f" c1 sleep 30 &
    sleeper=$!
    pids+=("$sleeper")
    for _ in $(seq 30); do
        [ "$(cat "/proc/$sleeper/comm" 2>/dev/null)" = sleep ] && break
        sleep 0.1
    done
    expect "exec leaves the caller the command's own pid" test "$(cat "/proc/$sleeper/comm" 2>/dev/null)" = sleep
    expect "exec refuses an unknown host" test "$("$natlab" exec "$f" router true >/dev/null 2>&1; echo $?)" = 1

    # flush forgets the mappings a check made.
    "$natlab" exec "$f" c1 bash -c 'echo x >/dev/udp/198.18.0.11/9'
    elements() { ip netns exec "$f-nat" nft list map ip natlab to_inside | grep -c 'elements'; }
    expect "an outgoing datagram is recorded as a mapping" test "$(elements)" = 1
    "$natlab" flush "$f"
    expect "flush empties the recorded mappings" test "$(elements)" = 0
    expect "flush empties the connection table" \
        test "$(ip netns exec "$f-nat" conntrack -C 2>/dev/null)" = 0

    # down is complete, stops what still runs there, and can be repeated.
    expect "down succeeds" "$natlab" down "$f"
    for _ in $(seq 30); do
        kill -0 "$sleeper" 2>/dev/null || break
        sleep 0.1
    done
    expect "down stopped the process still running in the lab" bash -c "! kill -0 $sleeper 2>/dev/null"
    expect "down leaves nothing behind" test -z "$(leftovers "$f")"
    expect "down of a lab that is gone succeeds" "$natlab" down "$f"
}

case $group in
none | fullcone | restricted | portrestricted | addrdep | symmetric) profile "$group" ;;
refusal | commands) "$group" ;;
*) echo "FAIL: unknown group '$group'"; exit 1 ;;
esac

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
