#!/usr/bin/env bash
# Standard STUN behind one of the lab's NAT routers, against software nobody here wrote:
#   1. coturn as the RFC 5780 server, gatewise-cli --stun as the client;
#   2. gatewise-server as a split pair (two processes, an authenticated relay), coturn's
#      turnutils_natdiscovery as the client;
#   3. the same gatewise-server pair, gatewise-cli --stun as the client.
# Each must report the mapping and filtering behaviour the router was built with.
#   stun_interop_test.sh PROFILE GATEWISE_CLI GATEWISE_SERVER NATLAB
# Needs root, network namespaces, nftables, conntrack and coturn; exits 77 (skipped) where they
# are missing. Every address is in 198.18.0.0/15 inside the lab's own namespaces.
set -uo pipefail
profile=$1 cli=$2 server=$3 natlab=$4
. "$(dirname "$0")/../../scripts/lib.sh"

readonly PORT=3478
case $profile in
fullcone) mapping=endpoint-independent filtering=endpoint-independent ;;
restricted) mapping=endpoint-independent filtering=address-dependent ;;
portrestricted) mapping=endpoint-independent filtering=address-and-port-dependent ;;
addrdep) mapping=address-dependent filtering=address-dependent ;;
symmetric | symmetric-hairpin)
    mapping=address-and-port-dependent filtering=address-and-port-dependent ;;
*) echo "FAIL: unknown profile $profile"; exit 1 ;;
esac
opts=()
lab_profile=$profile
if [[ $profile == *-hairpin ]]; then
    opts+=(--hairpin)
    lab_profile=${profile%-hairpin}
fi
# turnutils_natdiscovery's words for the same behaviours.
words() {
    case $1 in
    endpoint-independent) echo "Endpoint Independent" ;;
    address-dependent) echo "Address Dependent" ;;
    address-and-port-dependent) echo "Address and Port Dependent" ;;
    esac
}

for tool in turnserver turnutils_natdiscovery; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (apt-get install coturn)"; exit 77; }
done
name="s$$"
lab_session "$natlab" "$name"
stop_all() {  # every server stopped, and the router's mappings forgotten
    stop_pids
    "$natlab" flush "$name" >/dev/null
}
lab_up "$profile" "$lab_profile" "${opts[@]}"

run_cli() {  # run_cli NAME: gatewise-cli --stun against Server1's address on c1, checked
    # A near server: 100 ms for the first retransmission, so a filtered test gives up after
    # 1.9 s instead of 9.5 s.
    timeout 60 "$natlab" exec "$name" c1 "$cli" --stun "$s1:$PORT" --stun-rto-ms 100 --json \
        >"$work/$1.out" 2>&1
    expect_json "$1" "$work/$1.out" mapping="$mapping" filtering="$filtering"
}

# 1. coturn.
lab_coturn "$natlab" "$name" "$s1" "$s2" "$PORT" "$work"
pids+=("$cpid")
if "$natlab" listening "$name" srv "$PORT"; then
    run_cli coturn
else
    bad "coturn is listening"
    cat "$work/coturn.log"
fi
stop_all

# 2. and 3. gatewise-server, Server1 and Server2 in two processes sharing a relay key.
if lab_pair "$natlab" "$name" "$server" "$s1" "$s2" "$PORT" "$work" split; then
    timeout 60 "$natlab" exec "$name" c1 turnutils_natdiscovery -m -f -H "$s1" \
        >"$work/natdiscovery.out" 2>&1
    want_m="NAT with $(words "$mapping") Mapping!"
    want_f="NAT with $(words "$filtering") Filtering!"
    expect "natdiscovery: $want_m" grep -qF "$want_m" "$work/natdiscovery.out"
    expect "natdiscovery: $want_f" grep -qF "$want_f" "$work/natdiscovery.out"
    grep -qF "$want_m" "$work/natdiscovery.out" && grep -qF "$want_f" "$work/natdiscovery.out" ||
        cat "$work/natdiscovery.out" "$work/server1.log" "$work/server2.log"
    "$natlab" flush "$name" >/dev/null
    run_cli gatewise
else
    bad "gatewise-server pair is listening"
fi
finish
