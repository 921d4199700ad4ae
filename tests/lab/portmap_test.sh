#!/usr/bin/env bash
# The port-mapping check behind the lab's miniupnpd routers, with the real client and server.
#   portmap_test.sh CASE GATEWISE_CLI GATEWISE_SERVER NATLAB
# CASE: single (profile upnp: one NAT that maps ports), cgn (upnpcgn: the router behind a
# carrier NAT on 100.64.0.0/24, so it refuses or the mapping is useless), double (upnpdouble: a
# public-looking router address, a carrier NAT still in front: the mapping is made and lets
# nothing in), none (portrestricted: no port-mapping service at all; the probe ends within 3 s),
# interrupted (upnpdouble, SIGTERM while a mapping is up: it is deleted all the same), check
# (upnp: --check --portmap-verify, the port-mapping check after the check, with its Server1),
# pcp6 (upnp6: PCP over IPv6 opens a pinhole in the router's IPv6 firewall and deletes it).
# The runs read Server1 from the test's STUN.ini; interrupted names it with --server1.
# After every run the router's nftables must hold no mapping; single also shows that this check
# sees a mapping made by hand with NAT-PMP's bytes. Needs root, namespaces, nftables,
# conntrack and miniupnpd (scripts/install-deps.sh unpacks it); exits 77 (skipped) without them.
set -uo pipefail
case_name=$1 cli=$2 server=$3 natlab=$4
. "$(dirname "$0")/../../scripts/lib.sh"

case $case_name in
single | check) profile=upnp ;;
pcp6) profile=upnp6 ;;
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

gw=$(sed -n 's/^gateway=//p' "$work/up.out")

# No mapping left in the router: miniupnpd's three chains hold no rule at all, whatever its
# form. Only the plain router has no such table (no miniupnpd): any other failure to list it
# is a failure, never a pass.
no_mapping_left() {
    if ! "$natlab" exec "$name" nat nft list table inet natlab_upnp >"$work/nft.out" 2>&1; then
        [ "$profile" = portrestricted ]
        return
    fi
    awk '/chain (pre|post)?(routing_)?miniupnpd \{/ { inside = 1; next }
         inside && /^[[:space:]]*\}/ { inside = 0 }
         inside && NF { rules++ }
         END { exit rules > 0 }' "$work/nft.out"
}
mapping_left() { ! no_mapping_left; }
# natpmp_map LIFETIME: NAT-PMP's request to map UDP 40000 on c1 (RFC 6886 section 3.3, the
# codec's bytes written by hand; lifetime 0 deletes), sent through bash's /dev/udp; prints the
# answer's result code as two hex bytes ("00 00": success).
natpmp_map() {
    local ext='\x9c\x40' life='\x00\x00\x0e\x10'
    [ "$1" = 0 ] && ext='\x00\x00' life='\x00\x00\x00\x00'
    "$natlab" exec "$name" c1 bash -c "exec 3<>/dev/udp/$gw/5351
        printf '\x00\x01\x00\x00\x9c\x40$ext$life' >&3
        timeout 2 head -c 4 <&3 | od -An -tx1" | awk '{ print $3, $4 }'
}
field() { jq -r "$1" "$work/out.json"; }

run() {  # run ARGS...: one bounded run of the client on c1; JSON in out.json, log in out.log
    local start end
    start=$(date +%s%N)
    timeout 60 "$natlab" exec "$name" c1 "$cli" --portmap-verify --config "$work/STUN.ini" --json "$@" \
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
    expect "no mapping left after the run" no_mapping_left
    # The check of what is left must see a mapping that is: one made by hand is listed, and
    # gone once deleted.
    expect "a mapping made by hand" [ "$(natpmp_map 3600)" = "00 00" ]
    expect "is seen as left behind" mapping_left
    expect "and deleted by hand" [ "$(natpmp_map 0)" = "00 00" ]
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
check)
    run --check --quick
    expect "exit 0" [ "$(cat "$work/out.rc")" = 0 ]
    expect "the check ran first" [ "$(field .filter.text)" != null ]
    expect "NAT-PMP lets a packet in" [ "$(field .portMapping.natPmp.inbound)" = true ]
    expect "the mapped address is the router's" [ "$(field .natLayers.mapped)" = "$(sed -n 's/^public=//p' "$work/up.out")" ]
    expect "one NAT layer" [ "$(field .natLayers.doubleNat)" = false ]
    expect "in order: the check's summary, then the port-mapping check's" \
        [ "$(grep -n -e 'NAT Detect Result Summarize' -e 'Port Mapping Check Result Summarize' "$work/out.txt" | cut -d: -f2 | tr -d ' ' | tr '\n' ,)" = NATDetectResultSummarize,PortMappingCheckResultSummarize, ]
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
pcp6)
    run
    c1_6=$(sed -n 's/^c1_6=//p' "$work/up.out")
    expect "exit 0" [ "$(cat "$work/out.rc")" = 0 ]
    expect "PCP over IPv6 asks the router's LAN address" [ "$(field .portMapping.pcp6.gateway)" = "$(sed -n 's/^gateway6=//p' "$work/up.out")" ]
    expect "for c1's global address" [ "$(field .portMapping.pcp6.address)" = "$c1_6" ]
    expect "a SUCCESS" [ "$(field .portMapping.pcp6.result.code)" = 0 ]
    pinhole=$(field .portMapping.pcp6.pinhole)
    expect "the pinhole is c1's own address, nothing translated ($pinhole)" [ "${pinhole%:*}" = "[$c1_6]" ]
    expect "and deleted again, says the cleanup list" \
        [ "$(field '.portMapping.cleanup | map(select(test("^PCP over IPv6: mapping of UDP port [0-9]+ deleted$"))) | length')" = 1 ]
    expect "the summary says so" grep -q "PCP OVER IPV6 :    YES, PINHOLE OPENED" "$work/out.txt"
    expect "IPv4's NAT-PMP still lets a packet in" [ "$(field .portMapping.natPmp.inbound)" = true ]
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
