#!/usr/bin/env bash
# A check behind the lab's port-restricted NAT over a path that loses 20% of the client's
# datagrams: the network module's retransmissions (three transmissions, 3000 ms apart) must
# carry the check to the same verdicts as a clean path.
#   lossy_path_test.sh GATEWISE_CLI GATEWISE_SERVER NATLAB
# The loss is the kernel's netem on the client's interface where the kernel has it; where it
# does not, the same 20% is dropped by an nftables rule in the client's namespace (numgen
# random), and the output says which. Exit 77 (skipped) when no lab can be built or neither
# way of losing datagrams exists. Every address is inside the lab's own namespaces.
#
# Each step waits 13 ticks of 500 ms, so two retransmissions fit in it. A run that still loses
# all three transmissions of one request ends with other verdicts; up to three runs are made and
# every unlucky one is reported.
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib.sh"
cli=$1 server=$2 natlab=$3
for exe in "$cli" "$server"; do
    [[ -x $exe ]] || { echo "FAIL: $exe is not built"; exit 1; }
done
readonly PORT1=34780 PORT2=34790 ATTEMPTS=3
# GATEWISE_LOSS_PERCENT changes the loss for a measurement by hand; the test itself uses 20.
readonly LOSS=${GATEWISE_LOSS_PERCENT:-20}
readonly FILTER="NAT INCOMING PACKAGES FILTER :    "
want=$(printf '%s\n' "${FILTER}PORT RESTRICTED" "UDP LOOPBACK TRANSLATION:  NO" \
    "PORT ALLOCATION RULE :    NOT SYMMETRIC NAT")

name="lossy$$"
lab_session "$natlab" "$name"

"$natlab" down "$name" >/dev/null 2>&1
if ! "$natlab" up portrestricted --name "$name" >"$work/up.out" 2>&1; then
    cat "$work/up.out"
    echo "FAIL: lab portrestricted came up"
    exit 1
fi
server1=$(sed -n 's/^server1=//p' "$work/up.out")
server2=$(sed -n 's/^server2=//p' "$work/up.out")
on_client() { "$natlab" exec "$name" c1 "$@"; }

if on_client tc qdisc add dev eth0 root netem loss "${LOSS}%" 2>"$work/tc.err"; then
    method="netem loss ${LOSS}% on the client's eth0"
    dropped() { on_client tc -s qdisc show dev eth0 | sed -n 's/.*dropped \([0-9]*\).*/\1/p' | head -1; }
elif on_client nft -f - <<NFT 2>"$work/nft.err"; then
table ip gatewise_loss {
    chain out {
        type filter hook output priority 0; policy accept;
        meta l4proto udp numgen random mod 100 < $LOSS counter drop
    }
}
NFT
    method="netem unavailable ($(tr -d '\n' <"$work/tc.err")); ${LOSS}% dropped by nftables on the client's output"
    dropped() { on_client nft list table ip gatewise_loss | sed -n 's/.*packets \([0-9]*\).*/\1/p' | head -1; }
else
    echo "SKIP: no way to lose datagrams here: netem: $(cat "$work/tc.err"); nftables: $(cat "$work/nft.err")"
    exit 77
fi
echo "loss: $method"

write_settings "$work/STUN.ini" "$server1" "$PORT1" "$server2" "$PORT2"

"$natlab" exec "$name" srv "$server" --server1 "$server1:$PORT1" --server2 "$server2:$PORT2" \
    --stats-interval 0 >"$work/server.log" 2>&1 &
pids+=($!)
if ! "$natlab" listening "$name" srv "$PORT2"; then
    cat "$work/server.log"
    echo "FAIL: the probe server did not start"
    exit 1
fi

for attempt in $(seq "$ATTEMPTS"); do
    "$natlab" flush "$name" >/dev/null 2>&1
    before=$(dropped)
    timeout 120 "$natlab" exec "$name" c1 "$cli" --config "$work/STUN.ini" --tick-ms 500 \
        >"$work/check.out" 2>"$work/check.err"
    rc=$?
    lost=$(($(dropped) - ${before:-0}))
    got=$(sed -n '/NAT Detect Result Summarize/,/^\*\*\*/p' "$work/check.out" |
        grep -v -e '^\*' -e 'NAT Detect Result Summarize' -e '^$')
    if [[ $rc == 0 && $got == "$want" ]]; then
        echo "ok: attempt $attempt: the same verdicts as a clean path, with $lost datagram(s) lost"
        echo "1 passed, 0 failed"
        exit 0
    fi
    echo "unlucky: attempt $attempt (exit $rc, $lost datagram(s) lost) gave:"
    echo "$got" | sed 's/^/    /'
done
echo "FAIL: $ATTEMPTS attempts without the clean path's verdicts; the last log:"
cat "$work/check.out"
echo "0 passed, 1 failed"
exit 1
