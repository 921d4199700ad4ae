#!/usr/bin/env bash
# Measures gatewise-server against the machine's own limit: the batched echo server and the
# probe server run back to back on loopback with the same worker count and the same load, and
# the ratio of answered requests per second is printed.
#
#   bench/run-server-bench.sh BUILD_DIR [SECONDS] [WORKERS] [ROUNDS]
#
# SECONDS per run (default 5), WORKERS for both servers (default: nproc), ROUNDS of one echo run
# and one server run each (default 3). The ratio printed is of the two medians.
# BUILD_DIR must have been configured with -DGATEWISE_BUILD_BENCH=ON and built with the targets
# gatewise-server, gatewise-echo and gatewise-loadgen. Traffic stays on 127.0.0.0/8.
set -euo pipefail

build=${1:?usage: run-server-bench.sh BUILD_DIR [SECONDS] [WORKERS] [ROUNDS]}
seconds=${2:-5}
workers=${3:-$(nproc)}
rounds=${4:-3}
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

pid=
stop() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
  fi
}
trap stop EXIT

wait_ready() {  # up to 5 s for the listener to answer one request
  local i
  for i in $(seq 1 50); do
    if "$loadgen" --target "$1" --sockets 1 --window 1 --seconds 0.05 --warmup-ms 0 \
         >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
  done
  echo "listener at $1 did not answer" >&2
  return 1
}

rate_of() { awk '/^RATE /{print $2}' <<<"$1"; }
cpu_of() { awk '/^CPU_US_PER_REQUEST /{print $2}' <<<"$1"; }

# Runs the load against the listener $pid, then prints its CPU time per answered request
# (user + system, from /proc): unlike the rate, this hardly moves when other work on the
# machine takes CPU away from both sides.
measure() {
  local out ticks answered
  out=$("$loadgen" --target 127.0.0.2:"$port1" "${load[@]}")
  ticks=$(awk '{ print $14 + $15 }' /proc/"$pid"/stat)
  stop
  answered=$(awk -F'[ =]' '/^answered=/{print $2}' <<<"$out")
  echo "$out"
  awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" -v a="$answered" \
    'BEGIN { printf "CPU_US_PER_REQUEST %.3f\n", (a > 0 ? t * 1e6 / hz / a : 0) }'
}

run_echo() {
  "$echo_bin" --listen 127.0.0.2:"$port1" --workers "$workers" &
  pid=$!
  wait_ready 127.0.0.2:"$port1"
  measure
}

# The rate limit stays on (so its cost is measured) but set far above the offered load.
run_server() {
  "$server" --server1 127.0.0.2:"$port1" --server2 127.0.0.3:"$port2" --workers "$workers" \
    --rate-limit 100000000 --rate-burst 100000000 --stats-interval 0 2>/dev/null &
  pid=$!
  wait_ready 127.0.0.2:"$port1"
  measure
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

# Alternating runs, compared by their medians: a burst of other load on the machine then hits
# both sides alike instead of deciding the ratio.
echo "workers=$workers seconds=$seconds rounds=$rounds load: ${load[*]}"
echo_rates=()
server_rates=()
echo_cpus=()
server_cpus=()
for round in $(seq 1 "$rounds"); do
  out=$(run_echo)
  echo_rates+=("$(rate_of "$out")")
  echo_cpus+=("$(cpu_of "$out")")
  echo "round $round echo:   $(tr '\n' ' ' <<<"$out")"
  out=$(run_server)
  server_rates+=("$(rate_of "$out")")
  server_cpus+=("$(cpu_of "$out")")
  echo "round $round server: $(tr '\n' ' ' <<<"$out")"
done
echo_rate=$(printf '%s\n' "${echo_rates[@]}" | median)
server_rate=$(printf '%s\n' "${server_rates[@]}" | median)
echo_cpu=$(printf '%s\n' "${echo_cpus[@]}" | median)
server_cpu=$(printf '%s\n' "${server_cpus[@]}" | median)
awk -v s="$server_rate" -v e="$echo_rate" \
  'BEGIN { printf "median rate:  echo %.0f/s  server %.0f/s  ratio %.3f\n", e, s, (e > 0 ? s / e : 0) }'
# Requests per CPU-second, server over echo: the same ratio with contention taken out.
awk -v s="$server_cpu" -v e="$echo_cpu" \
  'BEGIN { printf "median cost:  echo %.2f us/request  server %.2f us/request  ratio %.3f\n", e, s, (s > 0 ? e / s : 0) }'
