#!/usr/bin/env bash
# The mapping lifetime test (gatewise-cli --lifetime) behind a lab router that forgets an idle UDP
# mapping after a set time: the measured range must hold that time, the keep-alive advice lie
# below it, and the test end within its bound.
#   lifetime_test.sh CASE GATEWISE_CLI GATEWISE_SERVER NATLAB
# CASE is PROFILE-SECONDS-SERVER: SERVER one (gatewise-server, one process), split (a
# Server1/Server2 pair sharing a relay key) or coturn. Needs root, network namespaces, nftables
# and conntrack (and coturn for its case); exits 77 (skipped) where they are missing. Every address
# is in 198.18.0.0/15 inside the lab's own namespaces.
set -uo pipefail
case=$1 cli=$2 server=$3 natlab=$4
. "$(dirname "$0")/../../scripts/lib.sh"

IFS=- read -r profile seconds kind <<<"$case"
readonly PORT=3478
# The longest idle time tried: the default, or twice the lifetime for a long one (the doubling
# then ends with the trial that doubles past it, and one bisection trial still fits).
max=$((seconds < 60 ? 180 : seconds * 2))
if [ "$kind" = coturn ] && ! command -v turnserver >/dev/null; then
    echo "SKIP: turnserver is missing (apt-get install coturn)"
    exit 77
fi

name="t$$"
lab_session "$natlab" "$name"
lab_up "$case" "$profile" --udp-timeout "$seconds"

if [ "$kind" = coturn ]; then
    lab_coturn "$natlab" "$name" "$s1" "$s2" "$PORT" "$work"
    pids+=("$cpid")
    "$natlab" listening "$name" srv "$PORT" || { cat "$work/coturn.log"; bad "coturn is listening"; finish; }
else
    lab_pair "$natlab" "$name" "$server" "$s1" "$s2" "$PORT" "$work" "$kind" ||
        { bad "gatewise-server ($kind) is listening"; finish; }
fi

start=$(date +%s)
timeout $((max + 60)) "$natlab" exec "$name" c1 "$cli" --stun "$s1:$PORT" --lifetime "$max" --json \
    >"$work/cli.out" 2>&1
rc=$?
took=$(($(date +%s) - start))
json=$(tail -n 1 "$work/cli.out")
field() { sed -n "s/.*\"$1\":\([0-9]*\).*/\1/p" <<<"$json"; }
alive=$(field aliveS) expired=$(field expiredS) keep=$(field keepaliveS)

expect "exit status 0 (was $rc)" [ "$rc" = 0 ]
expect "the range [$alive, $expired] s holds $seconds s" \
    [ -n "$alive" ] && [ -n "$expired" ] && [ "$alive" -le "$seconds" ] && [ "$seconds" -le "$expired" ]
expect "keep-alive every $keep s, below $alive s" [ -n "$keep" ] && [ "$keep" -lt "$alive" ]
expect_json "$case" "$work/cli.out" method=response-port-same-address problem=null
expect "the summary line" grep -q "^MAPPING LIFETIME: at least $alive s, at most $expired s" \
    <(tr -d '\r' <"$work/cli.out")
expect "the keep-alive sentence" grep -q "at least every $keep s to keep it" "$work/cli.out"
# The bound the test announces: MAX plus its Binding and probe allowances (24.5 s).
expect "done in $took s, within MAX + 25 s" [ "$took" -le $((max + 25)) ]
[ "$failed" = 0 ] || cat "$work/cli.out"
finish
