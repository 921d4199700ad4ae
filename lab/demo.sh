#!/usr/bin/env bash
# Runs one Tarnwick check behind each of the lab's NAT routers and prints what each found, as a
# table, followed by the whole log of one check. Builds nothing: give it the build directory
# that holds cli/gatewise-cli and server/gatewise-server.
#   lab/demo.sh BUILD_DIR [--tick-ms N]     (default 100: a step times out after 1.3 s, not 13 s)
# Where this machine cannot host a lab (root, network namespaces, nftables and conntrack are
# needed), it says why and exits 0. It exits 1 when a check could not be run.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../scripts/lib.sh"
natlab=$here/natlab
build=${1:-}
tick=100
if [ -z "$build" ] || { [ $# -ge 2 ] && { [ "$2" != --tick-ms ] || [ -z "${3:-}" ]; }; }; then
    echo "usage: lab/demo.sh BUILD_DIR [--tick-ms N]" >&2
    exit 2
fi
[ $# -ge 3 ] && tick=$3
cli=$build/cli/gatewise-cli
server=$build/server/gatewise-server
for f in "$cli" "$server"; do
    [ -x "$f" ] || { echo "demo: $f is missing: build gatewise-cli and gatewise-server first"; exit 1; }
done
[ -x "$build/lab/natlab-probe" ] && export NATLAB_PROBE=$build/lab/natlab-probe

if ! why=$("$natlab" check 2>&1); then
    echo "demo: this machine cannot host the NAT lab, so no check is run behind a NAT."
    echo "demo: ${why#natlab: }"
    exit 0
fi

# label|profile|natlab options|copies
rows=("none|none||1" "fullcone|fullcone||1" "restricted|restricted||1"
    "portrestricted|portrestricted||1" "portrestricted, hairpin|portrestricted|--hairpin|1"
    "addrdep|addrdep||1" "symmetric|symmetric||1" "portrestricted, 2 copies|portrestricted||2"
    "symmetric, 2 copies|symmetric||2")
shown=2  # the row whose whole log is printed: a NAT with filtering worth reading about
work=$(mktemp -d)
pids=()
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    local p i
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    # Normally each lab is down already; after an interruption this stops what runs in them.
    for i in "${!rows[@]}"; do "$natlab" down "d$$r$i" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# run_one INDEX: one lab, one server, one check (and a responder for two copies). Its own
# processes are stopped by pid, its lab taken down, whatever happens.
run_one() {
    local i=$1 label profile opts copies name spid="" rpid="" checker=c1
    IFS='|' read -r label profile opts copies <<<"${rows[$i]}"
    name="d$$r$i"
    # shellcheck disable=SC2086  # opts are separate words
    if ! "$natlab" up "$profile" $opts --clients "$copies" --name "$name" >"$work/$i.up" 2>&1; then
        echo "lab did not come up: $(tail -1 "$work/$i.up")" >"$work/$i.err"
        return 1
    fi
    lab_servers "$natlab" "$name" "$server" "$work/$i.up" "$work/$i.ini" \
        "$(sed -n 's/^c1=//p' "$work/$i.up")" "$work/$i.server"
    if [ "$copies" = 2 ]; then
        checker=c2
        "$natlab" exec "$name" c1 "$cli" --config "$work/$i.ini" --tick-ms "$tick" --respond \
            >"$work/$i.responder" 2>&1 &
        rpid=$!
    fi
    # Up to 5 s each until the server and the responder listen.
    "$natlab" listening "$name" srv 34790 || true
    [ -z "$rpid" ] || "$natlab" listening "$name" c1 9802 || true
    timeout 120 "$natlab" exec "$name" "$checker" "$cli" --config "$work/$i.ini" --tick-ms "$tick" \
        2>&1 | tr -d '\r' >"$work/$i.log"
    [ -n "$rpid" ] && kill "$rpid" 2>/dev/null
    kill "$spid" 2>/dev/null
    wait 2>/dev/null
    "$natlab" down "$name"
}

echo "Starting ${#rows[@]} labs, one check behind each (tick $tick ms)..."
for i in "${!rows[@]}"; do
    run_one "$i" &
    pids+=($!)
done
failed=0
for p in "${pids[@]}"; do wait "$p" || failed=1; done
pids=()

verdict() {  # verdict INDEX PREFIX: the rest of the summary line that starts with PREFIX
    awk '/NAT Detect Result Summarize/ {on = 1; next} on && /^\*+$/ {exit} on' "$work/$1.log" 2>/dev/null |
        sed -n "s/^$2//p" | head -1
}
echo
printf '%-26s %-16s %-30s %-33s %-16s %s\n' "NAT profile" "FILTER" "UDP LOOPBACK TRANSLATION" \
    "PORT ALLOCATION RULE" "EXCEPTIONAL" "MORE THAN ONE BEHIND IT"
for i in "${!rows[@]}"; do
    IFS='|' read -r label _ _ _ <<<"${rows[$i]}"
    if [ -f "$work/$i.err" ]; then
        printf '%-26s %s\n' "$label" "$(cat "$work/$i.err")"
        continue
    fi
    exceptional=$(awk '/NAT Detect Result Summarize/ {on = 1; next} on && /EXCEPTIONAL/ {print; exit}' "$work/$i.log")
    case $exceptional in
    *" NO EXCEPTIONAL"*) exceptional=no ;;
    *EXCEPTIONAL*) exceptional=yes ;;
    esac
    multi=$(awk '/NAT Detect Result Summarize/ {on = 1; next} on && /TARNWICK BEHIND/ {print; exit}' "$work/$i.log")
    case $multi in
    "MAYBE NOT"*) multi="maybe not good" ;;
    GOOD*) multi="good" ;;
    esac
    printf '%-26s %-16s %-30s %-33s %-16s %s\n' "$label" \
        "$(verdict "$i" 'NAT INCOMING PACKAGES FILTER :    ')" \
        "$(verdict "$i" 'UDP LOOPBACK TRANSLATION:  ')" \
        "$(verdict "$i" 'PORT ALLOCATION RULE :    ')" "${exceptional:--}" "${multi:--}"
done
echo
IFS='|' read -r label _ _ _ <<<"${rows[$shown]}"
echo "==== The whole log of the check behind '$label' ===="
cat "$work/$shown.log" 2>/dev/null
exit "$failed"
