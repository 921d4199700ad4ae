#!/usr/bin/env bash
# RFC 3489 STUN behind one of the lab's NAT routers, against Debian's stun-client and stun-server:
#   1. gatewise-server as one process, then as a split pair (two processes, an authenticated
#      relay), and the classic client `stun` against it;
#   2. stund as the server, and gatewise-cli --stun against it, the full run and --quick.
# Each must report the router it runs behind.
#   rfc3489_interop_test.sh CASE GATEWISE_CLI GATEWISE_SERVER NATLAB
# CASE: fullcone, restricted, portrestricted, addrdep or symmetric, each also with -hairpin.
# Needs root, network namespaces, nftables, conntrack, and stun and stund (scripts/install-deps.sh
# unpacks them); exits 77 (skipped) where they are missing. Every address is in 198.18.0.0/15
# inside the lab's own namespaces.
set -uo pipefail
case_name=$1 cli=$2 server=$3 natlab=$4
. "$(dirname "$0")/../../scripts/lib.sh"

# stun asks port 3478 only; stund's other port is the one above, as the pair's is.
readonly PORT=3478
profile=${case_name%-hairpin}
opts=() hairpinning=false hairpin="no hairpin"
if [ "$profile" != "$case_name" ]; then
    opts+=(--hairpin)
    hairpinning=true hairpin="will hairpin"
fi
# The classic client's verdict, and the router in RFC 5780 words for gatewise-cli. The classic
# client compares test I's mapping with the mapping towards the changed address only, so every
# mapping that is not endpoint-independent is its "Dependent Mapping", without a filtering.
# "preserves ports": the public port is the local one, which every endpoint-independent profile
# keeps in a flushed lab; the others draw a random port.
case $profile in
fullcone)
    classic="Independent Mapping, Independent Filter, preserves ports"
    mapping=endpoint-independent filtering=endpoint-independent ;;
restricted)
    classic="Independent Mapping, Address Dependent Filter, preserves ports"
    mapping=endpoint-independent filtering=address-dependent ;;
portrestricted)
    classic="Independent Mapping, Port Dependent Filter, preserves ports"
    mapping=endpoint-independent filtering=address-and-port-dependent ;;
addrdep)
    classic="Dependent Mapping, random port"
    mapping=address-dependent filtering=address-dependent ;;
symmetric)
    classic="Dependent Mapping, random port"
    mapping=address-and-port-dependent filtering=address-and-port-dependent ;;
*) echo "FAIL: unknown case $case_name"; exit 1 ;;
esac
classic="Primary: $classic, $hairpin"

stun=$(interop_tool stun) && stund=$(interop_tool stund) || {
    echo "SKIP: stun or stund is missing (scripts/install-deps.sh unpacks Debian's stun-client" \
        "and stun-server into $INTEROP_DIR)"
    exit 77
}
name="r$$"
lab_session "$natlab" "$name"
lab_up "$case_name" "$profile" "${opts[@]}"
next_server() {  # every server stopped, and the router's mappings forgotten
    stop_pids
    "$natlab" flush "$name" >/dev/null
}

# 1. The classic client against gatewise-server, one process and split.
for form in one split; do
    if ! lab_pair "$natlab" "$name" "$server" "$s1" "$s2" "$PORT" "$work" "$form"; then
        bad "gatewise-server ($form) is listening"
        continue
    fi
    # Its exit status is its verdict's code, never 0 behind a NAT; the line says the same.
    timeout 30 "$natlab" exec "$name" c1 "$stun" "$s1" >"$work/stun-$form.out" 2>&1
    if tr -d '\t\r' <"$work/stun-$form.out" | grep -qxF "$classic"; then
        ok "stun against gatewise-server ($form): $classic"
    else
        bad "stun against gatewise-server ($form): $classic"
        cat "$work/stun-$form.out" "$work/server1.log"
        [ "$form" = one ] || cat "$work/server2.log"
    fi
    next_server
done

# 2. gatewise-cli against stund, full (100 ms for the first retransmission, so a filtered test
# gives up after 1.9 s) and quick.
"$natlab" exec "$name" srv "$stund" -h "$s1" -a "$s2" -p "$PORT" -o "$((PORT + 1))" \
    >"$work/stund.log" 2>&1 &
pids+=($!)
if "$natlab" listening "$name" srv "$PORT" "$((PORT + 1))"; then
    for mode in full quick; do
        args=(--stun-rto-ms 100)
        [ "$mode" = quick ] && args=(--quick)
        timeout 60 "$natlab" exec "$name" c1 "$cli" --stun "$s1:$PORT" "${args[@]}" --json \
            >"$work/cli-$mode.out" 2>&1
        expect_json "gatewise-cli --stun ($mode) against stund" "$work/cli-$mode.out" \
            mapping="$mapping" filtering="$filtering" hairpinning="$hairpinning"
        "$natlab" flush "$name" >/dev/null
    done
else
    bad "stund is listening"
    cat "$work/stund.log"
fi
finish
