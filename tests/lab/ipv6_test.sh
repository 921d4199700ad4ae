#!/usr/bin/env bash
# Standard STUN over IPv6 behind the lab's IPv6 routers: gatewise-server on the internet
# segment's two IPv6 addresses, one port (a whole RFC 5780 server), a client on c1.
#   ipv6_test.sh PROFILE GATEWISE_CLI GATEWISE_SERVER NATLAB
# PROFILE: firewall6 (no translation, address-and-port-dependent filtering), open6 (no
# translation, endpoint-independent filtering), nat66 (the router's address, endpoint-
# independent mapping as the kernel's masquerading keeps the port, address-and-port-dependent
# filtering), prefix6 (the outside prefix with the host part kept, endpoint-independent both).
# The client is gatewise-cli --stun -6 --json; its "translation" is none, nat66 or prefix.
# Needs root, namespaces, nftables, conntrack, IPv6 and jq; exits 77 (skipped) without them.
set -uo pipefail
profile=$1 cli=$2 server=$3 natlab=$4
. "$(dirname "$0")/../../scripts/lib.sh"

readonly PORT=3478
case $profile in
firewall6) translation=none mapping="" filtering=address-and-port-dependent ;;
open6) translation=none mapping="" filtering=endpoint-independent ;;
nat66) translation=nat66 mapping=endpoint-independent filtering=address-and-port-dependent ;;
prefix6) translation=prefix mapping=endpoint-independent filtering=endpoint-independent ;;
*) echo "FAIL: unknown profile $profile"; exit 1 ;;
esac
command -v jq >/dev/null || { echo "SKIP: jq is missing (apt-get install jq)"; exit 77; }
[ -d /proc/sys/net/ipv6 ] || { echo "SKIP: this kernel has no IPv6"; exit 77; }

name="v$$"
lab_session "$natlab" "$name"
lab_up "$profile" "$profile"
info() { sed -n "s/^$1=//p" "$work/up.out"; }
c1=$(info c1)

"$natlab" exec "$name" srv "$server" --server1 "[$s1]:$PORT" --server2 "[$s2]:$PORT" \
    >"$work/server.log" 2>&1 &
pids+=($!)
if ! "$natlab" listening "$name" srv "$PORT" "$((PORT + 1))"; then
    cat "$work/server.log"
    bad "gatewise-server listens on [$s1]:$PORT and [$s2]:$PORT"
    finish
fi

# A near server: 100 ms for the first retransmission, so a filtered test gives up after 1.9 s.
timeout 60 "$natlab" exec "$name" c1 "$cli" --stun "[$s1]:$PORT" -6 --stun-rto-ms 100 --json \
    >"$work/cli.out" 2>&1
rc=$?
json=$(grep '^{' "$work/cli.out" | tail -1)
field() { jq -r "$1" <<<"$json"; }
expect "gatewise-cli exits 0" [ "$rc" = 0 ]
expect "its JSON says family ipv6" [ "$(field .family)" = ipv6 ]
expect "translation $translation" [ "$(field .translation)" = "$translation" ]

mapped=$(field .mapped.address)
case $translation in
none) expect "no translation: mapped $mapped is c1's own $c1" [ "$mapped" = "$c1" ] ;;
nat66) expect "NAT66: mapped $mapped is the router's $(info public)" [ "$mapped" = "$(info public)" ] ;;
prefix)
    # 2001:db8:0:3::/64 and c1 fd00:0:0:2::11: the prefix swapped, the host part ::11 kept.
    want="$(info public_prefix | sed 's|::/64$||')::${c1##*::}"
    expect "prefix translation: mapped $mapped is $want" [ "$mapped" = "$want" ]
    ;;
esac
[ -z "$mapping" ] || expect "mapping $mapping" [ "$(field .mapping)" = "$mapping" ]
expect "filtering $filtering" [ "$(field .filtering)" = "$filtering" ]
[ "$failed" = 0 ] || cat "$work/cli.out" "$work/server.log"
finish
