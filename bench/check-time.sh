#!/usr/bin/env bash
# Time and peak memory of one whole check behind each NAT lab profile, with the real one-second
# tick, and whether each stays within what its time-outs dictate.
#
#   bench/check-time.sh BUILD_DIR [ROUNDS]
#
# Per profile: the check's own durationMs (start to summary, from --json), the wall time of the
# process, and its peak resident set (VmHWM). A step's time-out fires on
# the 13th one-second tick after it was armed, 12 to 13 s later depending on the tick's phase;
# every other step takes a round trip on the lab's veths. So a check with T time-outs must end
# within T x 13 s plus one second of slack, and should take at least T x 12 s. The profiles are
# run side by side (each in its own lab), which costs nothing here: a check waits, it does not
# compute. Needs root and what lab/natlab needs; traffic stays inside the labs' namespaces.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../scripts/lib.sh"
natlab=$here/../lab/natlab
build=${1:?usage: check-time.sh BUILD_DIR [ROUNDS]}
rounds=${2:-1}
cli=$build/cli/gatewise-cli
server=$build/server/gatewise-server
for f in "$cli" "$server"; do
    [ -x "$f" ] || { echo "missing $f" >&2; exit 2; }
done
[ -x "$build/lab/natlab-probe" ] && export NATLAB_PROBE=$build/lab/natlab-probe
if ! why=$("$natlab" check 2>&1); then
    echo "check-time: no NAT lab on this machine: ${why#natlab: }"
    exit 77
fi

# label|profile|copies|time-outs the check must sit out
#   none: OPEN, straight to the summary.
#   fullcone: the friend search (step 11) finds nobody.
#   restricted, symmetric: step 3 (no reply from Server2's address), then step 11.
#   portrestricted: steps 3, 4 (no reply from the other port) and 11.
#   two copies: the friend answers, so step 11 does not time out.
rows=("none|none|1|0" "fullcone|fullcone|1|1" "restricted|restricted|1|2"
    "portrestricted|portrestricted|1|3" "symmetric|symmetric|1|2"
    "portrestricted, 2 copies|portrestricted|2|2")
work=$(mktemp -d)
pids=()
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    local p i r
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    for r in $(seq 1 "$rounds"); do
        for i in "${!rows[@]}"; do "$natlab" down "ct$$r${r}p$i" 2>/dev/null; done
    done
    rm -rf "$work"
}
trap cleanup EXIT

# run_one ROUND INDEX: one lab, a server, (a responder,) one check; all stopped by pid.
run_one() {
    local r=$1 i=$2 label profile copies timeouts name spid="" rpid="" checker=c1 tag
    IFS='|' read -r label profile copies timeouts <<<"${rows[$i]}"
    name="ct$$r${r}p$i"
    tag="$r.$i"
    if ! "$natlab" up "$profile" --clients "$copies" --name "$name" >"$work/$tag.up" 2>&1; then
        echo "lab did not come up: $(tail -1 "$work/$tag.up")" >"$work/$tag.err"
        return 1
    fi
    local friend=0.0.0.0
    [ "$copies" = 2 ] && friend=$(sed -n 's/^c1=//p' "$work/$tag.up")
    lab_servers "$natlab" "$name" "$server" "$work/$tag.up" "$work/$tag.ini" "$friend" \
        "$work/$tag.server"
    if [ "$copies" = 2 ]; then
        checker=c2
        "$natlab" exec "$name" c1 "$cli" --config "$work/$tag.ini" --respond \
            >"$work/$tag.responder" 2>&1 &
        rpid=$!
    fi
    # Up to 5 s each until the server and the responder listen.
    "$natlab" listening "$name" srv 34790 || true
    [ -z "$rpid" ] || "$natlab" listening "$name" c1 9802 || true
    # The check's peak resident set is read from its own /proc entry (VmHWM) every 100 ms up
    # to its exit: natlab exec execs all the way down, so $! becomes the client itself.
    local t0 t1 cpid hwm=0 v
    t0=$(date +%s%N)
    "$natlab" exec "$name" "$checker" "$cli" --config "$work/$tag.ini" --json \
        >"$work/$tag.log" 2>"$work/$tag.stderr" &
    cpid=$!
    for _ in $(seq 900); do  # at most 90 s
        kill -0 "$cpid" 2>/dev/null || break
        if [ "$(cat /proc/$cpid/comm 2>/dev/null)" = gatewise-cli ]; then
            v=$(awk '/^VmHWM:/ {print $2}' /proc/$cpid/status 2>/dev/null)
            [ -n "$v" ] && [ "$v" -gt "$hwm" ] && hwm=$v
        fi
        sleep 0.1
    done
    kill -0 "$cpid" 2>/dev/null && { kill -TERM "$cpid"; echo "timed out" >"$work/$tag.err"; }
    wait "$cpid"
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000000)) >"$work/$tag.wall"
    echo "$hwm" >"$work/$tag.hwm"
    [ -n "$rpid" ] && kill "$rpid" 2>/dev/null
    kill "$spid" 2>/dev/null
    wait 2>/dev/null
    "$natlab" down "$name"
}

failed=0
printf '%-26s %5s %9s %9s %11s %9s  %s\n' "profile" "round" "check ms" "wall ms" "bound ms" \
    "peak KiB" "filter verdict"
for r in $(seq 1 "$rounds"); do
    pids=()
    for i in "${!rows[@]}"; do
        run_one "$r" "$i" &
        pids+=($!)
    done
    for p in "${pids[@]}"; do wait "$p" || failed=1; done
    pids=()
    for i in "${!rows[@]}"; do
        IFS='|' read -r label _ _ timeouts <<<"${rows[$i]}"
        tag="$r.$i"
        if [ -f "$work/$tag.err" ]; then
            printf '%-26s %5s %s\n' "$label" "$r" "$(cat "$work/$tag.err")"
            failed=1
            continue
        fi
        ms=$(grep -o '"durationMs":[0-9]*' "$work/$tag.log" | cut -d: -f2)
        filter=$(grep -o '"filter":{"code":[0-9],"text":"[^"]*"' "$work/$tag.log" | sed 's/.*"text":"//; s/"$//')
        wall=$(cat "$work/$tag.wall")
        peak=$(cat "$work/$tag.hwm")
        lo=$((timeouts * 12000))
        hi=$((timeouts * 13000 + 1000))
        verdict=ok
        if [ -z "$ms" ] || [ "$ms" -gt "$hi" ] || [ "$ms" -lt "$lo" ]; then
            verdict="OUTSIDE $lo..$hi"
            failed=1
        fi
        printf '%-26s %5s %9s %9s %5s..%-5s %9s  %s (%s)\n' "$label" "$r" "${ms:-?}" "$wall" \
            "$lo" "$hi" "${peak:-?}" "${filter:-?}" "$verdict"
    done
done
exit $failed
