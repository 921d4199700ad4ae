#!/usr/bin/env bash
# Quick mode against the full run, timed, behind every NAT lab profile (plus hairpinning and two
# copies behind one router running at once): for the Tarnwick check (gatewise-server in the lab,
# the full run on the real one-second tick) and for --stun (coturn in the lab, the full run on
# RFC 5389 timing), the wall-clock time from process start to exit of each run and whether the
# verdicts are equal; then, with 20 % of the packets through the router dropped at random, 20
# quick runs: how many found the full run's verdicts and how many of those ended within 5 s.
# Prints a markdown table. The labs run side by side (one per case), so the whole takes about
# as long as the slowest case: a few minutes.
#   scripts/bench-quick.sh BUILD_DIR [CASE...]
# CASE: none fullcone restricted portrestricted symmetric portrestricted-hairpin
# multi-portrestricted (all by default). Needs root, nftables, conntrack, coturn for the --stun
# columns; every address is in 198.18.0.0/15 inside the labs' own namespaces. BENCH_KEEP=DIR keeps
# the whole output of every loss run that found other verdicts in DIR.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [CASE...]" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
shift
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(none fullcone restricted portrestricted symmetric
    portrestricted-hairpin multi-portrestricted)
cli=$build/cli/gatewise-cli
server=$build/server/gatewise-server
natlab=$root/lab/natlab
[ -x "$build/lab/natlab-probe" ] && export NATLAB_PROBE=$build/lab/natlab-probe
for f in "$cli" "$server"; do
    [ -x "$f" ] || { echo "missing $f (build gatewise-cli and gatewise-server)" >&2; exit 2; }
done
"$natlab" check || exit $?
have_coturn=yes
command -v turnserver >/dev/null || have_coturn=no

readonly LOSS_RUNS=20 LOSS_LIMIT_MS=5000 STUN_PORT=3478
out=$(mktemp -d "${TMPDIR:-/tmp}/gatewise-bench-quick.XXXXXX")
labs=()
jobs_=()
cleanup() {
    local j l
    for j in "${jobs_[@]}"; do kill "$j" 2>/dev/null; done
    wait 2>/dev/null
    for l in "${labs[@]}"; do "$natlab" down "$l" >/dev/null 2>&1; done
    rm -rf "$out"
}
trap cleanup EXIT

# Verdicts are compared as scripts/lib.sh's verdicts picks them, without the several-copies line;
# a run of two copies counts as the same when at least one copy reports that line in each mode.

# timed LAB HOST OUT ARGS...: one client run on HOST; its milliseconds from start to exit in
# OUT.ms, its verdicts in OUT.v.
timed() {
    local lab=$1 host=$2 o=$3 t0 t1
    shift 3
    t0=$(date +%s%N)
    timeout 120 "$natlab" exec "$lab" "$host" "$cli" "$@" --json >"$o" 2>"$o.err"
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000000)) >"$o.ms"
    verdicts "$o" >"$o.v"
}

# round LAB DIR TAG ARGS...: one run on every client host at once; DIR/TAG-HOST.*
round() {
    local lab=$1 d=$2 tag=$3 h runs=()
    shift 3
    for h in $(cat "$d/hosts"); do
        timed "$lab" "$h" "$d/$tag-$h" "$@" &
        runs+=($!)
    done
    wait "${runs[@]}"
    "$natlab" flush "$lab" >/dev/null
}

# loss LAB on|off: 20 % of the packets the router forwards (for "none", with no router: of the
# packets into and out of each client) dropped at random.
loss() {
    local lab=$1 h
    if [ "$(cat "$out/$lab/profile")" = none ]; then
        for h in $(cat "$out/$lab/hosts"); do
            if [ "$2" = on ]; then
                "$natlab" exec "$lab" "$h" nft -f - <<'NFT'
table ip benchloss {
    chain lossin { type filter hook input priority -10; numgen random mod 5 == 0 drop; }
    chain lossout { type filter hook output priority -10; numgen random mod 5 == 0 drop; }
}
NFT
            else
                "$natlab" exec "$lab" "$h" nft delete table ip benchloss
            fi
        done
    elif [ "$2" = on ]; then
        "$natlab" exec "$lab" nat nft -f - <<'NFT'
table ip benchloss {
    chain lossy { type filter hook forward priority -10; numgen random mod 5 == 0 drop; }
}
NFT
    else
        "$natlab" exec "$lab" nat nft delete table ip benchloss
    fi
}

# losses LAB DIR KIND ARGS...: LOSS_RUNS quick runs with loss; DIR/KIND-loss: "same under5".
losses() {
    local lab=$1 d=$2 kind=$3 i h same=0 fast=0 ok ms slowest=0
    shift 3
    loss "$lab" on
    for ((i = 0; i < LOSS_RUNS; i++)); do
        round "$lab" "$d" "$kind-loss$i" "$@"
        for h in $(cat "$d/hosts"); do
            ok=no
            cmp -s "$d/$kind-full-$h.v" "$d/$kind-loss$i-$h.v" && [ -s "$d/$kind-full-$h.v" ] && ok=yes
            ms=$(cat "$d/$kind-loss$i-$h.ms")
            [ "$ms" -gt "$slowest" ] && slowest=$ms
            if [ $ok = yes ]; then
                same=$((same + 1))
                [ "$ms" -lt $LOSS_LIMIT_MS ] && fast=$((fast + 1))
            else
                # Kept for the report: what this run found instead.
                diff "$d/$kind-full-$h.v" "$d/$kind-loss$i-$h.v" | sed "s/^/loss run $i $h: /" \
                    >>"$d/$kind-lossdiff"
                [ -n "${BENCH_KEEP:-}" ] && cp "$d/$kind-loss$i-$h" "$BENCH_KEEP/$(cat "$d/case")-$kind-loss$i-$h.log"
            fi
        done
    done
    loss "$lab" off
    echo "$same $fast $slowest" >"$d/$kind-loss"
}

# bench CASE: everything for one case in its own lab; results under $out/LAB.
bench() {
    local c=$1 lab=$2 profile=$1 opts=() clients=1 d s1 s2 spid cpid
    d=$out/$lab
    if [[ $profile == multi-* ]]; then clients=2 profile=${profile#multi-}; fi
    if [[ $profile == *-hairpin ]]; then opts+=(--hairpin) profile=${profile%-hairpin}; fi
    echo "$profile" >"$d/profile"
    if [ "$clients" = 2 ]; then echo "c1 c2" >"$d/hosts"; else echo c1 >"$d/hosts"; fi
    if ! "$natlab" up "$profile" "${opts[@]}" --clients "$clients" --name "$lab" >"$d/up.out" 2>&1; then
        echo "lab did not come up" >"$d/error"
        return
    fi
    s1=$(sed -n 's/^server1=//p' "$d/up.out")
    s2=$(sed -n 's/^server2=//p' "$d/up.out")

    # The Tarnwick check.
    write_settings "$d/STUN.ini" "$s1" 34780 "$s2" 34790 0.0.0.0
    "$natlab" exec "$lab" srv "$server" --server1 "$s1:34780" --server2 "$s2:34790" \
        >"$d/server.log" 2>&1 &
    spid=$!
    if "$natlab" listening "$lab" srv 34790 >/dev/null; then
        round "$lab" "$d" check-full --config "$d/STUN.ini"
        round "$lab" "$d" check-quick --config "$d/STUN.ini" --quick
        # Until the check's quick engine is built, --quick runs the full check, whose log never
        # says "quick": its loss runs would take many minutes and measure the wrong thing.
        if grep -qi quick "$d/check-quick-c1"; then
            losses "$lab" "$d" check --config "$d/STUN.ini" --quick
        fi
    fi
    kill "$spid" 2>/dev/null
    wait "$spid" 2>/dev/null

    # --stun against coturn.
    [ "$have_coturn" = yes ] || return
    lab_coturn "$natlab" "$lab" "$s1" "$s2" "$STUN_PORT" "$d"
    if "$natlab" listening "$lab" srv "$STUN_PORT" >/dev/null; then
        round "$lab" "$d" stun-full --stun "$s1:$STUN_PORT"
        round "$lab" "$d" stun-quick --stun "$s1:$STUN_PORT" --quick
        losses "$lab" "$d" stun --stun "$s1:$STUN_PORT" --quick
    fi
    kill "$cpid" 2>/dev/null
    wait "$cpid" 2>/dev/null
}

. "$here/lib.sh"
i=0
for c in "${cases[@]}"; do
    lab=bq$$x$i
    i=$((i + 1))
    labs+=("$lab")
    mkdir -p "$out/$lab"
    echo "$c" >"$out/$lab/case"
    bench "$c" "$lab" >"$out/$lab/bench.log" 2>&1 &
    jobs_+=($!)
done
wait "${jobs_[@]}"
jobs_=()

# seconds FILE...: the slowest of the runs' times, in seconds with one decimal.
seconds() {
    local f max=0 ms
    for f in "$@"; do
        [ -f "$f" ] || { echo "-"; return; }
        ms=$(cat "$f")
        [ "$ms" -gt "$max" ] && max=$ms
    done
    printf '%d.%d' $((max / 1000)) $((max % 1000 / 100))
}
# same D KIND: "yes" when every host's quick verdicts equal its full ones.
same() {
    local d=$1 kind=$2 h
    for h in $(cat "$d/hosts"); do
        [ -s "$d/$kind-full-$h.v" ] || { echo "-"; return; }
        cmp -s "$d/$kind-full-$h.v" "$d/$kind-quick-$h.v" || { echo "NO"; return; }
    done
    if [ "$kind" = check ] && [ "$(wc -w <"$d/hosts")" = 2 ]; then
        # shellcheck disable=SC2046  # one file per host
        grep -q "$MULTI_LINE" $(files "$d" check-quick | sed 's/\.ms$//') || { echo "NO"; return; }
    fi
    echo yes
}
lossed() {
    local d=$1 kind=$2 n
    n=$(($(wc -w <"$d/hosts") * LOSS_RUNS))
    if [ -f "$d/$kind-loss" ]; then
        read -r s f ms <"$d/$kind-loss"
        echo "$s/$n same, $f/$n under 5 s, slowest $((ms / 1000)).$((ms % 1000 / 100)) s"
    elif [ "$kind" = check ] && [ -f "$d/check-quick-c1.ms" ]; then
        echo "n/a (quick check not built yet)"
    else
        echo "-"
    fi
}
files() {  # files D TAG: DIR/TAG-HOST.ms for every host
    local h
    for h in $(cat "$1/hosts"); do echo "$1/$2-$h.ms"; done
}

echo "| case | check full | check quick | same verdicts | check quick, 20 % loss | --stun full | --stun quick | same verdicts | --stun quick, 20 % loss |"
echo "|---|---|---|---|---|---|---|---|---|"
for lab in "${labs[@]}"; do
    d=$out/$lab
    c=$(cat "$d/case")
    if [ -f "$d/error" ]; then
        echo "| $c | $(cat "$d/error") | | | | | | | |"
        continue
    fi
    # shellcheck disable=SC2046  # one file per host
    echo "| $c | $(seconds $(files "$d" check-full)) s | $(seconds $(files "$d" check-quick)) s" \
        "| $(same "$d" check) | $(lossed "$d" check)" \
        "| $(seconds $(files "$d" stun-full)) s | $(seconds $(files "$d" stun-quick)) s" \
        "| $(same "$d" stun) | $(lossed "$d" stun) |"
done
echo
echo "Times: process start to exit, the slowest copy where two run at once. Loss: runs (copies"
echo "times $LOSS_RUNS) with the full run's verdicts, and of those the ones under 5 s."
[ "$have_coturn" = yes ] || echo "coturn is not installed: no --stun columns."
# Where a quick run disagreed, its output and the full run's, for the reader.
for lab in "${labs[@]}"; do
    d=$out/$lab
    for kind in check stun; do
        if [ -s "$d/$kind-lossdiff" ]; then
            echo
            echo "== $(cat "$d/case") $kind: loss runs that differ from the full run"
            cat "$d/$kind-lossdiff"
        fi
        if [ "$(same "$d" "$kind")" = NO ]; then
            echo
            echo "== $(cat "$d/case") $kind: full vs quick verdicts"
            for h in $(cat "$d/hosts"); do diff "$d/$kind-full-$h.v" "$d/$kind-quick-$h.v"; done
        fi
    done
done
