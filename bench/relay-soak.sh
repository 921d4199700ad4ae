#!/usr/bin/env bash
# A split pair on loopback under a long run of change requests, with its relays reordered:
# counts how many relays Server2 accepted and refused, by kind.
#
#   bench/relay-soak.sh BUILD_DIR [SECONDS] [REORDER_MS] [RATE]
#
# Server2 on 127.0.0.3:P, Server1 on 127.0.0.2:P with two workers (both real gatewise-server
# binaries, sharing a relay key; RELAY_SOAK_KEY=0 runs them without one). Server1's partner is
# gatewise-relay-soak's shim on 127.0.0.4:P, which holds each relay for a random 0 to
# REORDER_MS ms (default 50) before sending it on to Server2 from 127.0.0.2; the same program is
# the client, sending RATE change requests a second (default 200) for SECONDS (default 30, at
# most 900): STUN change-IP, change-IP-and-port, RFC 3489 change-IP and 0x74777003 in turn.
# At the end both servers write their counters (SIGUSR1) and are stopped by pid. Exits 1 when
# Server2 refused any relay or any request went unanswered.
# RELAY_SOAK_SERVER overrides the server binary (to measure another build against the same
# client). Traffic stays on 127.0.0.0/8.
set -euo pipefail

usage="usage: relay-soak.sh BUILD_DIR [SECONDS] [REORDER_MS] [RATE]"
build=${1:?$usage}
seconds=${2:-30}
reorder=${3:-50}
rate=${4:-200}
server=${RELAY_SOAK_SERVER:-$build/server/gatewise-server}
soak=$build/bench/gatewise-relay-soak
for f in "$server" "$soak"; do
  [ -x "$f" ] || { echo "missing $f (build with -DGATEWISE_BUILD_BENCH=ON)" >&2; exit 2; }
done
[ "$seconds" -le 900 ] || { echo "$usage (SECONDS at most 900)" >&2; exit 2; }
port=${RELAY_SOAK_PORT:-29530}
key=(--key-hex 00112233445566778899aabbccddeeff) keyed="a relay key"
[ "${RELAY_SOAK_KEY:-1}" != 0 ] || { key=(); keyed="no key"; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/gatewise-relay-soak.XXXXXX")
pid1= pid2=
stop() {  # by pid: each server gets SIGTERM and up to 5 s, then SIGKILL
  local p
  for p in $pid1 $pid2; do
    kill -TERM "$p" 2>/dev/null || continue
    for _ in $(seq 1 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  pid1= pid2=
}
trap 'stop; rm -rf "$scratch"' EXIT

"$server" --server2 127.0.0.3:"$port" --partner 127.0.0.2 --workers 2 "${key[@]}" \
  --stats-interval 0 2>"$scratch/server2.log" &
pid2=$!
"$server" --server1 127.0.0.2:"$port" --partner 127.0.0.4:"$port" --workers 2 "${key[@]}" \
  --stats-interval 0 2>"$scratch/server1.log" &
pid1=$!
for log in server1 server2; do
  for _ in $(seq 1 50); do
    grep -q "started with" "$scratch/$log.log" && break
    sleep 0.1
  done
  grep -q "started with" "$scratch/$log.log" || { cat "$scratch/$log.log" >&2; exit 1; }
done

echo "relay soak: ${seconds} s, ${rate} change requests/s, relays reordered by 0..${reorder} ms," \
  "Server1 with 2 workers, $keyed"
timeout $((seconds + 60)) "$soak" --server1 127.0.0.2:"$port" --shim 127.0.0.4:"$port" \
  --server2 127.0.0.3:"$port" --relay-from 127.0.0.2 --rate "$rate" --seconds "$seconds" \
  --reorder-ms "$reorder" | tee "$scratch/client.txt"

counters() {  # the SIGUSR1 counter line of one server
  local pid=$1 log=$2
  kill -USR1 "$pid"
  for _ in $(seq 1 50); do
    grep -q "counters (SIGUSR1)" "$log" && break
    sleep 0.1
  done
  grep "counters (SIGUSR1)" "$log" | tail -1 | sed 's/.*counters (SIGUSR1): //'
}
c1=$(counters "$pid1" "$scratch/server1.log")
c2=$(counters "$pid2" "$scratch/server2.log")
stop
echo "server1: $c1"
echo "server2: $c2"
grep "refused relay" "$scratch/server2.log" || true

value() { grep -o "\b$1=[0-9]*" <<<"$2" | cut -d= -f2 || true; }
accepted=$(value relay_accepted "$c2")
refused=0
for kind in relay_spoofed relay_malformed relay_bad_mac relay_stale relay_replayed \
            relay_sequence_ahead relay_bad_target; do
  n=$(value "$kind" "$c2")
  [ -z "$n" ] || { echo "refused $kind=$n"; refused=$((refused + n)); }
done
forwarded=$(awk '/^SHIM /{sub("relays=","",$2); print $2}' "$scratch/client.txt")
unanswered=$(awk '/^REQUESTS /{sub("unanswered=","",$4); print $4}' "$scratch/client.txt")
echo "RELAYS forwarded=${forwarded:-0} accepted=${accepted:-0} refused=$refused" \
  "unanswered_requests=${unanswered:-?}"
[ "$refused" = 0 ] && [ "${unanswered:-1}" = 0 ]
