#!/usr/bin/env bash
# A whole Tarnwick check behind one of the lab's NAT routers: gatewise-server on the server host,
# gatewise-cli on a client host, and the verdict lines of the summary compared with what that
# router deserves. The multi cases leave a second copy answering (--respond) on the other client
# and also compare the two public ports of local port 9802.
#   e2e_test.sh CASE GATEWISE_CLI GATEWISE_SERVER NATLAB
# Needs root, network namespaces, nftables and conntrack; exits 77 (skipped) where they are
# missing. Every address is in 198.18.0.0/15 inside the lab's own namespaces.
set -uo pipefail
case_name=$1 cli=$2 server=$3 natlab=$4

# Ports of the probe servers: Server1 34780 and 34781 (34782 answers port changes), Server2
# 34790 (34791 sends the changed-address response).
readonly PORT1=34780 PORT2=34790
readonly FILTER="NAT INCOMING PACKAGES FILTER :    "
readonly LOOPBACK_YES="UDP LOOPBACK TRANSLATION:  YES(GOOD FOR PEER-TO-PEER)"
readonly LOOPBACK_NO="UDP LOOPBACK TRANSLATION:  NO"
readonly ALLOC="PORT ALLOCATION RULE :    "
readonly NO_EXCEPTIONAL="NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR."
readonly MULTI_GOOD="GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND It"

# What each case sets up, the summary it deserves, line by line, and what that means for
# peer-to-peer in the JSON: mapping, filtering (null: not determined), rating.
tick=(--tick-ms 100)
opts=() clients=1 multi=no
case $case_name in
none)
    profile=none
    summary=("${FILTER}OPEN")
    meaning=(endpoint-independent endpoint-independent easy)
    ;;
fullcone | fullcone-hairpin)
    profile=fullcone
    summary=("${FILTER}FULL CONE" "$LOOPBACK_NO" "${ALLOC}NOT SYMMETRIC NAT")
    meaning=(endpoint-independent endpoint-independent easy)
    ;;
restricted)
    profile=restricted
    summary=("${FILTER}IP RESTRICTED" "$LOOPBACK_NO" "${ALLOC}NOT SYMMETRIC NAT")
    meaning=(endpoint-independent address-dependent moderate)
    ;;
portrestricted | portrestricted-hairpin)
    profile=portrestricted
    summary=("${FILTER}PORT RESTRICTED" "$LOOPBACK_NO" "${ALLOC}NOT SYMMETRIC NAT")
    meaning=(endpoint-independent address-and-port-dependent moderate)
    ;;
symmetric | symmetric-hairpin)
    profile=symmetric
    # A new random public port for every socket: the local port is never kept.
    summary=("${FILTER}SYMMETRIC" "$LOOPBACK_NO" "${ALLOC}PORT SENSITIVE SYMMETRIC NAT" "$NO_EXCEPTIONAL")
    # The check cannot see a symmetric NAT's filtering: its change tests never run.
    meaning=(address-and-port-dependent null hard)
    ;;
addrdep)
    profile=addrdep
    # One random public port per destination address: Server1's two ports see the same one.
    summary=("${FILTER}SYMMETRIC" "$LOOPBACK_NO" "${ALLOC}ADDRESS SENSITIVE SYMMETRIC NAT" "$NO_EXCEPTIONAL")
    meaning=(address-dependent null hard)
    ;;
multi-fullcone-realtick)
    # The one case on the real one-second tick: with a friend answering, no step waits for a
    # time-out, so it stays short.
    profile=fullcone tick=() clients=2 multi=yes
    summary=("${FILTER}FULL CONE" "$LOOPBACK_NO" "${ALLOC}NOT SYMMETRIC NAT" "$MULTI_GOOD")
    meaning=(endpoint-independent endpoint-independent easy)
    ;;
multi-portrestricted)
    profile=portrestricted clients=2 multi=yes
    summary=("${FILTER}PORT RESTRICTED" "$LOOPBACK_NO" "${ALLOC}NOT SYMMETRIC NAT" "$MULTI_GOOD")
    meaning=(endpoint-independent address-and-port-dependent moderate)
    ;;
multi-symmetric)
    profile=symmetric clients=2 multi=yes
    summary=("${FILTER}SYMMETRIC" "$LOOPBACK_NO" "${ALLOC}PORT SENSITIVE SYMMETRIC NAT"
        "$NO_EXCEPTIONAL" "$MULTI_GOOD")
    meaning=(address-and-port-dependent null hard)
    ;;
*)
    echo "FAIL: unknown case $case_name"
    exit 1
    ;;
esac
hairpinning=false
[ "$profile" = none ] && hairpinning=null  # no NAT, nothing to hairpin
if [[ $case_name == *-hairpin ]]; then
    opts+=(--hairpin)
    summary[1]=$LOOPBACK_YES
    hairpinning=true
fi

. "$(dirname "$0")/../../scripts/lib.sh"

name="e$$"
lab_session "$natlab" "$name"
lab_up "$profile" "$profile" "${opts[@]}" --clients "$clients"
server1=$s1 server2=$s2
c1=$(sed -n 's/^c1=//p' "$work/up.out")

if [ "$multi" = yes ]; then
    friend=$c1  # the direct search reaches the responder as well as the broadcast does
else
    friend=0.0.0.0  # none, as in a fresh STUN.ini
fi
write_settings "$work/STUN.ini" "$server1" "$PORT1" "$server2" "$PORT2" "$friend"

wait_bound() {  # wait_bound HOST PORT: up to 5 s for a UDP socket on PORT in HOST
    "$natlab" listening "$name" "$1" "$2"
}

"$natlab" exec "$name" srv "$server" --server1 "$server1:$PORT1" --server2 "$server2:$PORT2" \
    >"$work/server.log" 2>&1 &
pids+=($!)
wait_bound srv "$PORT2" || { bad "gatewise-server is listening"; cat "$work/server.log"; finish; }

checker=c1
if [ "$multi" = yes ]; then
    checker=c2
    "$natlab" exec "$name" c1 "$cli" --config "$work/STUN.ini" "${tick[@]}" --respond \
        >"$work/responder.log" 2>&1 &
    pids+=($!)
    wait_bound c1 9802 || { bad "the responder is listening"; cat "$work/responder.log"; finish; }
fi

# 90 s bounds a check that hangs; a sound one takes a few seconds.
timeout 90 "$natlab" exec "$name" "$checker" "$cli" --config "$work/STUN.ini" "${tick[@]}" --json \
    >"$work/check.raw" 2>"$work/check.err"
rc=$?
tr -d '\r' <"$work/check.raw" >"$work/check.log"
if [ "$rc" = 0 ]; then ok "the check exits 0"; else bad "the check exits 0 (got $rc)"; fi

# The summary: the lines between the heading and the closing row of asterisks, blanks dropped.
awk '/NAT Detect Result Summarize/ {on = 1; next} on && /^\*+$/ {exit} on && NF' \
    "$work/check.log" >"$work/summary.got"
printf '%s\n' "${summary[@]}" >"$work/summary.want"
if cmp -s "$work/summary.got" "$work/summary.want"; then
    ok "summary of $case_name"
else
    bad "summary of $case_name"
    diff -u "$work/summary.want" "$work/summary.got" | sed 's/^/    /'
fi

json=$(grep '^{' "$work/check.log" | tail -1)
filter_text=${summary[0]#"$FILTER"}
if [[ $json == *"\"filter\":{\"code\":"?",\"text\":\"$filter_text\"}"* ]]; then
    ok "JSON filter verdict $filter_text"
else
    bad "JSON filter verdict $filter_text in: $json"
fi

quoted() { [ "$1" = null ] && echo null || echo "\"$1\""; }
want_p2p="\"mapping\":$(quoted "${meaning[0]}"),\"filtering\":$(quoted "${meaning[1]}"),"
want_p2p+="\"hairpinning\":$hairpinning,\"p2p\":{\"rating\":\"${meaning[2]}\","
if [[ $json == *"$want_p2p"* ]]; then
    ok "JSON meaning ${meaning[*]}"
else
    bad "JSON meaning $want_p2p in: $json"
fi
# The hole-punching table: only a symmetric NAT fails with port-restricted peers.
case ${meaning[2]} in
easy) want_compat='"portRestricted":true,"symmetric":true}' ;;
moderate) want_compat="\"portRestricted\":true,\"symmetric\":$([ "${meaning[1]}" = address-dependent ] && echo true || echo false)}" ;;
hard) want_compat='"portRestricted":false,"symmetric":false}' ;;
esac
if [[ $json == *"$want_compat}}" ]]; then ok "JSON compatibility $want_compat"; else bad "JSON compatibility $want_compat in: $json"; fi
if grep -qx "What this means for peer-to-peer" "$work/check.log" &&
    grep -q "^Peer-to-peer rating: ${meaning[2]}\." "$work/check.log"; then
    ok "the meaning block says ${meaning[2]}"
else
    bad "the meaning block says ${meaning[2]}"
fi

if [ "$multi" = no ] && [ "$profile" != none ]; then
    # The check hears its own broadcast search; it must know its own address and not answer.
    if grep -q "I haven't found any friend" "$work/check.log" && ! grep -q "I have found a friend" "$work/check.log"; then
        ok "a lone copy finds no friend, not even itself"
    else
        bad "a lone copy finds no friend, not even itself"
    fi
fi
if [ "$multi" = yes ]; then
    mine=$(sed -n 's/.*STUN Server1 reports my 9802 port as \([0-9]*\)$/\1/p' "$work/check.log" | head -1)
    theirs=$(sed -n 's/.*STUN Server1 report my Socket4 MAPPED-ADDRESS as \([0-9]*\)\.\.\.$/\1/p' \
        "$work/responder.log" | tail -1)
    if [ -n "$mine" ] && [ -n "$theirs" ] &&
        grep -qxF "My and My friend's NAT Port: $mine $theirs" "$work/check.log"; then
        ok "both public ports of 9802 compared ($mine $theirs)"
    else
        bad "My and My friend's NAT Port: '$mine' '$theirs'"
    fi
    # One NAT, two inside endpoints on local port 9802, one destination: the router must tell
    # them apart by the public port.
    if [ -n "$mine" ] && [ "$mine" != "$theirs" ]; then ok "the NAT gave two public ports"; else bad "the NAT gave two public ports"; fi
    if [[ $json == *"\"port9802\":$mine,\"friendPort9802\":$theirs}"* ]]; then
        ok "JSON carries both ports"
    else
        bad "JSON carries both ports: $json"
    fi
fi

if [ "$failed" != 0 ]; then
    echo "---- check log ----"
    cat "$work/check.log" "$work/check.err"
    [ -f "$work/responder.log" ] && { echo "---- responder log ----"; cat "$work/responder.log"; }
    echo "---- server log ----"
    cat "$work/server.log"
fi
finish
