#!/usr/bin/env bash
# Quick mode against the full run behind one of the lab's NAT routers: the same verdicts, whatever
# the time each takes (the times belong to scripts/bench-quick.sh, not to a test).
#   quick_test.sh CASE GATEWISE_CLI GATEWISE_SERVER NATLAB
# CASE: a profile (none, fullcone, restricted, portrestricted, symmetric); portrestricted-hairpin;
# multi-portrestricted (two copies behind one router, both checking at the same time); or
# stun-PROFILE[-hairpin] (gatewise-cli --stun against coturn on the lab's server host).
# The Tarnwick check: gatewise-server on the server host, the full run on a 100 ms tick to keep
# the test short, the quick run on its own timing; the summary's verdict lines and the JSON's
# verdict fields must be equal. Two copies checking at once: which one finds the other depends on
# which searches first, in either mode, so each copy's verdicts are compared without the
# several-copies line, and in each mode at least one copy must report it. --stun: the full run with --stun-rto-ms 100, the verdict lines
# after the mapped address and the JSON's behaviours must be equal.
# Needs root, network namespaces, nftables and conntrack (and coturn for the stun cases); exits 77
# (skipped) where they are missing. Every address is in 198.18.0.0/15 inside the lab's own
# namespaces.
set -uo pipefail
case_name=$1 cli=$2 server=$3 natlab=$4
. "$(dirname "$0")/../../scripts/lib.sh"

readonly STUN_PORT=3478
opts=() clients=1 stun=no
profile=${case_name#stun-}
[ "$profile" != "$case_name" ] && stun=yes
profile=${profile#multi-}
[[ $case_name == multi-* ]] && clients=2
if [[ $profile == *-hairpin ]]; then
    opts+=(--hairpin)
    profile=${profile%-hairpin}
fi
case $profile in
none | fullcone | restricted | portrestricted | symmetric) ;;
*) echo "FAIL: unknown case $case_name"; exit 1 ;;
esac
if [ "$stun" = yes ] && ! command -v turnserver >/dev/null; then
    echo "SKIP: turnserver is missing (apt-get install coturn)"
    exit 77
fi

name="q$$"
lab_session "$natlab" "$name"
lab_up "$case_name" "$profile" "${opts[@]}" --clients "$clients"

# run HOST OUT [ARGS...]: one run of the client on HOST, bounded; its status in OUT.rc.
run() {
    local host=$1 out=$2
    shift 2
    timeout 120 "$natlab" exec "$name" "$host" "$cli" "$@" --json >"$out" 2>"$out.err"
    echo $? >"$out.rc"
}

# compare LABEL FULL QUICK: both runs exit 0 and find the same verdicts.
compare() {
    local label=$1 full=$2 quick=$3
    expect "$label: the full run exits 0" [ "$(cat "$full.rc")" = 0 ]
    expect "$label: the quick run exits 0" [ "$(cat "$quick.rc")" = 0 ]
    verdicts "$full" >"$full.verdicts"
    verdicts "$quick" >"$quick.verdicts"
    if [ -s "$full.verdicts" ] && cmp -s "$full.verdicts" "$quick.verdicts"; then
        ok "$label: the quick run's verdicts are the full run's ($(grep -c . "$full.verdicts") lines)"
    else
        bad "$label: the quick run's verdicts are the full run's"
        diff -u "$full.verdicts" "$quick.verdicts" | sed 's/^/    /'
        for f in "$full" "$quick"; do
            echo "---- $f ----"
            cat "$f" "$f.err"
        done
    fi
}

if [ "$stun" = yes ]; then
    lab_coturn "$natlab" "$name" "$s1" "$s2" "$STUN_PORT" "$work"
    pids+=("$cpid")
    "$natlab" listening "$name" srv "$STUN_PORT" || { bad "coturn is listening"; cat "$work/coturn.log"; finish; }
    run c1 "$work/full" --stun "$s1:$STUN_PORT" --stun-rto-ms 100
    "$natlab" flush "$name" >/dev/null
    run c1 "$work/quick" --stun "$s1:$STUN_PORT" --quick
    compare "$case_name" "$work/full" "$work/quick"
    expect "$case_name: the quick run's log says so" grep -q -- "--- Quick mode: " "$work/quick"
    expect "$case_name: the mapping was determined" grep -q '"mapping":"' "$work/quick.verdicts"
    finish
fi

lab_servers "$natlab" "$name" "$server" "$work/up.out" "$work/STUN.ini" 0.0.0.0 "$work/server.log"
pids+=("$spid")
"$natlab" listening "$name" srv 34790 || { bad "gatewise-server is listening"; cat "$work/server.log"; finish; }

hosts=(c1)
[ "$clients" = 2 ] && hosts=(c1 c2)
for mode in full quick; do
    args=(--config "$work/STUN.ini")
    if [ "$mode" = full ]; then args+=(--tick-ms 100); else args+=(--quick); fi
    # Every copy at the same time, each on its own client host.
    runs=()
    for h in "${hosts[@]}"; do
        run "$h" "$work/$mode-$h" "${args[@]}" &
        runs+=($!)
    done
    wait "${runs[@]}"
    "$natlab" flush "$name" >/dev/null
done
for h in "${hosts[@]}"; do
    compare "$case_name ($h)" "$work/full-$h" "$work/quick-$h"
done
if [ "$clients" = 2 ]; then
    for mode in full quick; do
        expect "$case_name: a copy in the $mode run found the other" \
            grep -q "$MULTI_LINE" "$work/$mode-c1" "$work/$mode-c2"
    done
fi
finish
