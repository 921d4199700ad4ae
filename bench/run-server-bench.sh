#!/usr/bin/env bash
# Measures gatewise-server against the machine's own limit: the batched echo server and the
# probe server run back to back on loopback with the same worker count and the same load, and
# the ratio of answered requests per second is printed.
#
#   bench/run-server-bench.sh BUILD_DIR [SECONDS] [WORKERS] [ROUNDS] [PROTOCOLS]
#
# SECONDS per run (default 5), WORKERS for both servers (default: nproc), ROUNDS of one echo run
# and one server run each (default 3). The ratio printed is of the two medians.
# PROTOCOLS is "gatewise" (default), "stun" or "gatewise,stun". With stun the same load is sent
# as 20-byte STUN Binding requests with random transaction IDs (only a Binding success with the
# right ID counts): to the echo server (which sends the request back: the limit), to the server
# as an RFC 5780 server (--server1 127.0.0.2:P --server2 127.0.0.3:P) and, when `turnserver` is
# installed (Debian package coturn; BENCH_COTURN=0 skips it), to coturn in STUN-only mode on
# 127.0.0.2:P with WORKERS relay threads.
# BUILD_DIR must have been configured with -DGATEWISE_BUILD_BENCH=ON and built with the targets
# gatewise-server, gatewise-echo and gatewise-loadgen. Traffic stays on 127.0.0.0/8.
set -euo pipefail

usage="usage: run-server-bench.sh BUILD_DIR [SECONDS] [WORKERS] [ROUNDS] [gatewise|stun|gatewise,stun]"
build=${1:?$usage}
seconds=${2:-5}
workers=${3:-$(nproc)}
rounds=${4:-3}
protocols=${5:-gatewise}
case ",$protocols," in
  *,gatewise,* | *,stun,*) ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
want() { [[ ",$protocols," == *",$1,"* ]]; }
coturn=
if want stun && [ "${BENCH_COTURN:-1}" != 0 ]; then
  coturn=$(command -v turnserver || true)
  [ -n "$coturn" ] || echo "turnserver not found (Debian package coturn): no coturn runs" >&2
fi
server=$build/server/gatewise-server
echo_bin=$build/bench/gatewise-echo
loadgen=$build/bench/gatewise-loadgen
for f in "$server" "$echo_bin" "$loadgen"; do
  [ -x "$f" ] || { echo "missing $f (build with -DGATEWISE_BUILD_BENCH=ON)" >&2; exit 2; }
done

port1=${BENCH_PORT1:-29410}
port2=${BENCH_PORT2:-29420}
load=(--sockets "${BENCH_SOCKETS:-64}" --window "${BENCH_WINDOW:-512}" --seconds "$seconds"
      --threads "${BENCH_LOADGEN_THREADS:-1}" --sources 16)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/gatewise-bench.XXXXXX")
pid=
stop() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
  fi
}
trap 'stop; rm -rf "$scratch"' EXIT

mode=gatewise  # the load generator's --mode for the run in progress
wait_ready() {  # up to 5 s for the listener to answer one request
  local i
  for i in $(seq 1 50); do
    if "$loadgen" --target "$1" --mode "$mode" --sockets 1 --window 1 --seconds 0.05 \
         --warmup-ms 0 >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
  done
  echo "listener at $1 did not answer" >&2
  stop  # runs in a subshell: the caller's trap does not know this pid
  return 1
}

rate_of() { awk '/^RATE /{print $2}' <<<"$1"; }
cpu_of() { awk '/^CPU_US_PER_REQUEST /{print $2}' <<<"$1"; }
loadgen_cpu_of() { awk '/^LOADGEN_CPU_US_PER_REPLY /{print $2}' <<<"$1"; }

# Runs the load against the listener $pid, then prints its CPU time per answered request
# (user + system, from /proc): unlike the rate, this hardly moves when other work on the
# machine takes CPU away from both sides.
measure() {
  local out ticks answered
  out=$("$loadgen" --target 127.0.0.2:"$port1" --mode "$mode" "${load[@]}")
  ticks=$(awk '{ print $14 + $15 }' /proc/"$pid"/stat)
  stop
  answered=$(awk -F'[ =]' '/^answered=/{print $2}' <<<"$out")
  echo "$out"
  awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" -v a="$answered" \
    'BEGIN { printf "CPU_US_PER_REQUEST %.3f\n", (a > 0 ? t * 1e6 / hz / a : 0) }'
}

# In the STUN mode the echo server sends each request back unchanged: its rate is the limit for
# datagrams of that size, with the same ID check on the load generator's side.
run_echo() {
  "$echo_bin" --listen 127.0.0.2:"$port1" --workers "$workers" &
  pid=$!
  wait_ready 127.0.0.2:"$port1"
  measure
}

# The rate limit stays on (so its cost is measured) but set far above the offered load. For
# STUN both roles share the port, so the server is an RFC 5780 server and every response carries
# XOR-MAPPED-ADDRESS, MAPPED-ADDRESS, RESPONSE-ORIGIN, OTHER-ADDRESS and FINGERPRINT.
run_server() {
  local second=127.0.0.3:"$port2"
  [ "$mode" = gatewise ] || second=127.0.0.3:"$port1"
  "$server" --server1 127.0.0.2:"$port1" --server2 "$second" --workers "$workers" \
    --rate-limit 100000000 --rate-burst 100000000 --stats-interval 0 2>/dev/null &
  pid=$!
  wait_ready 127.0.0.2:"$port1"
  measure
}

# coturn as a plain STUN server on one loopback address: no TURN, no TLS/DTLS, no CLI, no
# credentials, nothing logged per request; WORKERS relay threads (its own default is one per
# CPU) besides its listener and authentication threads.
run_coturn() {
  cat >"$scratch/turnserver.conf" <<EOF
listening-ip=127.0.0.2
listening-port=$port1
relay-ip=127.0.0.2
relay-threads=$workers
stun-only
no-tls
no-dtls
no-cli
no-auth
no-stdout-log
log-file=/dev/null
simple-log
pidfile=$scratch/turnserver.pid
userdb=$scratch/turndb
EOF
  "$coturn" -c "$scratch/turnserver.conf" >/dev/null 2>&1 &
  pid=$!
  wait_ready 127.0.0.2:"$port1"
  measure
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

# Alternating runs, compared by their medians: a burst of other load on the machine then hits
# all sides alike instead of deciding the ratio.
echo "workers=$workers seconds=$seconds rounds=$rounds protocols=$protocols load: ${load[*]}"
kinds=()
if want gatewise; then kinds+=(echo server); fi
if want stun; then kinds+=(stun_echo stun_server); fi
if [ -n "$coturn" ]; then kinds+=(stun_coturn); fi
declare -A rates cpus loadgen_cpus
for round in $(seq 1 "$rounds"); do
  for kind in "${kinds[@]}"; do
    case $kind in
      echo) mode=gatewise; out=$(run_echo) ;;
      server) mode=gatewise; out=$(run_server) ;;
      stun_echo) mode=stun-echo; out=$(run_echo) ;;
      stun_server) mode=stun; out=$(run_server) ;;
      stun_coturn) mode=stun; out=$(run_coturn) ;;
    esac
    rates[$kind]+="$(rate_of "$out") "
    cpus[$kind]+="$(cpu_of "$out") "
    loadgen_cpus[$kind]+="$(loadgen_cpu_of "$out") "
    printf 'round %s %-12s %s\n' "$round" "$kind:" "$(tr '\n' ' ' <<<"$out")"
  done
done
declare -A rate cpu loadgen_cpu
for kind in "${kinds[@]}"; do
  rate[$kind]=$(tr ' ' '\n' <<<"${rates[$kind]}" | grep . | median)
  cpu[$kind]=$(tr ' ' '\n' <<<"${cpus[$kind]}" | grep . | median)
  loadgen_cpu[$kind]=$(tr ' ' '\n' <<<"${loadgen_cpus[$kind]}" | grep . | median)
done
# The rate ratio is of the medians; the cost ratio (requests per CPU-second of the listener,
# over the echo server's) is the same ratio with contention taken out.
compare() {  # LABEL KIND REFERENCE
  awk -v l="$1" -v s="${rate[$2]}" -v e="${rate[$3]}" -v sc="${cpu[$2]}" -v ec="${cpu[$3]}" \
    -v lg="${loadgen_cpu[$2]}" \
    'BEGIN { printf "median %-12s %9.0f/s  %6.2f us/request  rate ratio %.3f  cost ratio %.3f  (load generator %.2f us/reply)\n",
             l, s, sc, (e > 0 ? s / e : 0), (sc > 0 ? ec / sc : 0), lg }'
}
echo "ratios against the echo server on the same protocol:"
if want gatewise; then
  compare "echo" echo echo
  compare "server" server echo
fi
if want stun; then
  compare "stun echo" stun_echo stun_echo
  compare "stun server" stun_server stun_echo
  if [ -n "$coturn" ]; then compare "stun coturn" stun_coturn stun_echo; fi
fi
