#!/usr/bin/env bash
# The port-mapping check behind the lab's miniupnpd routers, with the real client and server.
#   portmap_test.sh CASE GATEWISE_CLI GATEWISE_SERVER NATLAB
# CASE: single (profile upnp: one NAT that maps ports), cgn (upnpcgn: the router behind a
# carrier NAT on 100.64.0.0/24, so it refuses or the mapping is useless), double (upnpdouble: a
# public-looking router address, a carrier NAT still in front: the mapping is made and lets
# nothing in), none (portrestricted: no port-mapping service at all; the probe ends within 3 s),
# interrupted (upnpdouble, SIGTERM while a mapping is up: it is deleted all the same).
# After every run the router's nftables must hold no mapping. Needs root, namespaces, nftables,
# conntrack and miniupnpd (scripts/install-deps.sh unpacks it); exits 77 (skipped) without them.
set -uo pipefail
case_name=$1 cli=$2 server=$3 natlab=$4
. "$(dirname "$0")/../../scripts/lib.sh"

case $case_name in
single) profile=upnp ;;
cgn) profile=upnpcgn ;;
double | interrupted) profile=upnpdouble ;;
none) profile=portrestricted ;;
*) echo "FAIL: unknown case $case_name"; exit 1 ;;
esac
command -v jq >/dev/null || { echo "SKIP: jq is missing (apt-get install jq)"; exit 77; }

name="pm$$"
lab_session "$natlab" "$name"
if [ "$profile" != portrestricted ] &&
    ! NATLAB_MINIUPNPD=$(interop_tool miniupnpd) "$natlab" up "$profile" --name "$name" >"$work/up.out" 2>&1; then
    rc=$?
    [ "$rc" = 77 ] && { echo "SKIP: $(tail -1 "$work/up.out")"; exit 77; }
    cat "$work/up.out"
    bad "lab $profile came up"
    finish
fi
[ "$profile" = portrestricted ] && lab_up "$case_name" "$profile"
lab_servers "$natlab" "$name" "$server" "$work/up.out" "$work/STUN.ini" 0.0.0.0 "$work/server.log"
pids+=("$spid")
s1=$(sed -n 's/^server1=//p' "$work/up.out")
"$natlab" listening "$name" srv 34780 || { bad "the server started"; finish; }

# No mapping left in the router: miniupnpd's chains hold no rule (nothing without miniupnpd).
no_mapping_left() {
    "$natlab" exec "$name" nat nft list table inet natlab_upnp >"$work/nft.out" 2>/dev/null || return 0
    ! grep -q -E 'dnat|udp dport|accept$' "$work/nft.out"
}
field() { jq -r "$1" "$work/out.json"; }

run() {  # run ARGS...: one bounded run of the client on c1; JSON in out.json, log in out.log
    local start end
    start=$(date +%s%N)
    timeout 60 "$natlab" exec "$name" c1 "$cli" --portmap-verify --server1 "$s1:34780" --json "$@" \
        >"$work/out.txt" 2>"$work/out.err"
    echo $? >"$work/out.rc"
    end=$(date +%s%N)
    elapsed_ms=$(((end - start) / 1000000))
    tail -1 "$work/out.txt" >"$work/out.json"
}

case $case_name in
single)
    run
    expect "exit 0" [ "$(cat "$work/out.rc")" = 0 ]
    for p in upnp natPmp pcp; do
        expect "$p present" [ "$(field ".portMapping.$p.present")" = true ]
        expect "$p lets a packet in" [ "$(field ".portMapping.$p.inbound")" = true ]
    done
    expect "one NAT layer" [ "$(field .natLayers.doubleNat)" = false ]
    expect "no carrier-grade NAT" [ "$(field .natLayers.cgnat)" = false ]
    expect "the summary says so" grep -q "NAT LAYERS :    ONE" "$work/out.txt"
    expect "the SSDP searches both answered" [ "$(field .portMapping.upnp.unicast),$(field .portMapping.upnp.multicast)" = true,true ]
    ;;
cgn)
    run --hops
    expect "exit 0" [ "$(cat "$work/out.rc")" = 0 ]
    expect "no mapping lets a packet in" [ "$(field '[.portMapping.upnp.inbound, .portMapping.natPmp.inbound, .portMapping.pcp.inbound] | map(select(. == true)) | length')" = 0 ]
    expect "NAT-PMP refuses: NETWORK FAILURE" [ "$(field .portMapping.natPmp.resultCode.code)" = 3 ]
    expect "cgnat with a reason" [ "$(field .natLayers.cgnat)" = true ] && [ "$(field '.natLayers.reasons | length')" -ge 1 ]
    expect "a hop names the carrier's 100.64 router" [ "$(field '.natLayers.hops | map(select(.address == "100.64.0.1")) | length')" = 1 ]
    ;;
double)
    run
    expect "exit 0" [ "$(cat "$work/out.rc")" = 0 ]
    expect "UPnP maps the port at the public-looking address" [ "$(field .portMapping.upnp.externalAddress)" = 7.0.1.2 ]
    expect "nothing comes in" [ "$(field .portMapping.inbound)" = false ]
    expect "doubleNat with a reason" [ "$(field .natLayers.doubleNat)" = true ] && [ "$(field '.natLayers.reasons | length')" -ge 1 ]
    ;;
interrupted)
    # The first inbound wait lasts 2 s: the signal comes while the UPnP mapping is up.
    timeout 60 "$natlab" exec "$name" c1 "$cli" --portmap-verify --server1 "$s1:34780" \
        >"$work/out.txt" 2>&1 &
    cpid=$!
    for _ in $(seq 50); do grep -q "RESPONSE-PORT" "$work/out.txt" && break; sleep 0.1; done
    kill -TERM "$cpid"
    wait "$cpid"
    rc=$?
    expect "exit 128+15" [ "$rc" = 143 ]
    expect "the mapping was deleted, said the log" grep -q "mapping of UDP port [0-9]* deleted" "$work/out.txt"
    ;;
none)
    run
    expect "exit 0" [ "$(cat "$work/out.rc")" = 0 ]
    expect "nothing present" [ "$(field '[.portMapping.upnp.present, .portMapping.natPmp.present, .portMapping.pcp.present] | map(select(.)) | length')" = 0 ]
    expect "the probe ends within 3 s (took $(field .durationMs) ms)" [ "$(field .durationMs)" -lt 3000 ]
    ;;
esac
expect "no mapping left in the router's nftables" no_mapping_left
[ "$failed" = 0 ] || { cat "$work/out.txt" "$work/out.err" 2>/dev/null | tail -40; }
finish
