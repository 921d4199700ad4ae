#!/usr/bin/env bash
# An off-path host that forges replies to the client's fixed ports 9801 and 9802 must not choose
# the verdicts, and one that floods a responder with unasked server replies must not grow it.
#   forged_replies_test.sh GATEWISE_CLI FAULT_FORGER
# Runs itself again in a private network namespace with only a loopback interface (root and
# unshare needed; otherwise exit 77, skipped): the check reaches the friend search, whose
# broadcast must not leave, and 9801/9802 are the namespace's own.
set -uo pipefail
cli=$1 forger=$2
for exe in "$cli" "$forger"; do
    [[ -x $exe ]] || { echo "FAIL: $exe is not built"; exit 1; }
done
if [[ ${GATEWISE_FAULT_IN_NETNS:-} != 1 ]]; then
    if [[ $(id -u) != 0 ]] || ! unshare --net true 2>/dev/null; then
        echo "SKIP: needs root and a private network namespace (unshare --net)"
        exit 77
    fi
    exec env GATEWISE_FAULT_IN_NETNS=1 unshare --net bash -c 'ip link set lo up && exec bash "$@"' \
        bash "$0" "$@"
fi

readonly FILTER="NAT INCOMING PACKAGES FILTER :    "
# GATEWISE_FLOOD_SECONDS changes the responder's flood for a measurement by hand.
readonly FLOOD_SECONDS=${GATEWISE_FLOOD_SECONDS:-10}
. "$(dirname "$0")/../../scripts/lib.sh"

work=$(mktemp -d)
pids=()
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
write_settings "$work/STUN.ini" 127.0.0.10 7000 127.0.0.20 7100

# 1. A check against a slow pair that never sends the unsolicited replies (PORT RESTRICTED),
# while forged 0x77747005, 0x7C777006 and 0x7C777002 stream into 9801 and 9802.
"$forger" pair 60 & pids+=($!)
wait_udp_port 7100 || bad "the slow pair is listening"
"$forger" forge 60 77747005 7C777006 7C777002 >"$work/forged" & pids+=($!)
# Each step waits 13 ticks of 500 ms, so a reply lost in the flood is carried by its request's
# retransmission 3 s later (under a sanitizer on a loaded machine that happens).
timeout 60 "$cli" --config "$work/STUN.ini" --tick-ms 500 >"$work/check.out" 2>"$work/check.err"
rc=$?
kill "${pids[@]}" 2>/dev/null
wait "${pids[@]}" 2>/dev/null
pids=()
[[ $rc == 0 ]] && ok "check: exit 0" || bad "check: exit $rc"
want=$(printf '%s\n' "${FILTER}PORT RESTRICTED" "UDP LOOPBACK TRANSLATION:  NO" \
    "PORT ALLOCATION RULE :    NOT SYMMETRIC NAT")
got=$(sed -n '/NAT Detect Result Summarize/,/^\*\*\*/p' "$work/check.out" | grep -v -e '^\*' \
    -e 'NAT Detect Result Summarize' -e '^$')
[[ $got == "$want" ]] && ok "check: the verdicts of the real replies" ||
    bad "check: verdicts '$got'"
for n in 1 2; do
    grep -q -- "--- STUN Server$n reports my UDP address as 127.0.0.99:40000$" "$work/check.out" &&
        ok "check: Server$n's address logged" || bad "check: Server$n's address not logged"
done
! grep -q "127.0.0.13" "$work/check.out" && ok "check: no forged address logged" ||
    bad "check: a forged address was logged"
echo "forged datagrams sent during the check: $(cat "$work/forged")"
[[ $rc == 0 ]] || cat "$work/check.out" "$work/check.err"

# 2. A responder flooded with 0x7C77700E nobody asked for stays small.
"$cli" --respond --config "$work/STUN.ini" >"$work/respond.out" 2>&1 & responder=$!
pids+=("$responder")
for _ in $(seq 50); do grep -q "Press F5 to start" "$work/respond.out" && break; sleep 0.1; done
"$forger" forge "$FLOOD_SECONDS" 7C77700E >"$work/flooded"
peak=$(awk '/^VmHWM:/ {print $2}' "/proc/$responder/status")
kill -TERM "$responder"
wait "$responder"
rc=$?
pids=()
echo "responder: $(cat "$work/flooded") datagrams in ${FLOOD_SECONDS} s, peak RSS ${peak} kB," \
    "$(wc -c <"$work/respond.out") bytes of output"
[[ $rc == 0 ]] && ok "responder: ended by SIGTERM with exit 0" || bad "responder: exit $rc"
# A sanitizer's shadow memory and quarantine dwarf the program's own; the bound is for a plain
# build.
if ldd "$cli" 2>/dev/null | grep -q -e libasan -e libtsan; then
    echo "responder: built with a sanitizer, peak RSS not judged"
else
    [[ -n $peak && $peak -lt 32768 ]] && ok "responder: peak RSS ${peak} kB < 32 MB" ||
        bad "responder: peak RSS ${peak:-?} kB"
fi

finish
