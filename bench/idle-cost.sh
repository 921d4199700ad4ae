#!/usr/bin/env bash
# Idle cost of a running client: CPU time and wake-ups per second while it does nothing but wait.
#
#   bench/idle-cost.sh BUILD_DIR [SECONDS] [ROUNDS]
#   bench/idle-cost.sh [--seconds N] [--rounds R] [--warmup S] [--ready TEXT] -- COMMAND [ARGS...]
#
# The desktop application, for example (STUN.ini beside a copy of the executable):
#   QT_QPA_PLATFORM=offscreen bench/idle-cost.sh --ready '' --warmup 4 -- /tmp/app/gatewise
#
# The first form measures BUILD_DIR/cli/gatewise-cli --respond with a STUN.ini of its own (the
# servers on 127.0.0.2/.3, no friend). The command runs inside a fresh network namespace
# (unshare -rn, no --fork, so the pid we hold is the command's own), where it can bind 9801/9802
# beside any other copy and nothing it sends can leave. Each round: start, wait until its standard
# output shows TEXT (default "Press F5 to start...", at most 15 s; --ready '' skips this), let
# it settle S seconds (default 2), then read /proc over N seconds (default 60) and stop it by pid.
#
# Figures per round: CPU as a percentage of one core (time on a CPU of all threads), wake-ups per
# second (voluntary + involuntary context switches of all threads: every time a thread was put
# to sleep or pre-empted, which is what a wake-up costs), the same per thread, and the resident
# set at the end (VmRSS) with its peak (VmHWM).
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"

seconds=60
rounds=1
warmup=2
ready="Press F5 to start..."
cmd=()
tmp=$(mktemp -d)
pid=

# shellcheck disable=SC2317  # also run by the EXIT trap
stop() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    # Bounded: up to 5 s for a clean exit, then SIGKILL.
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
  fi
}
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  stop
  rm -rf "$tmp"
}
trap cleanup EXIT

if [ $# -ge 1 ] && [ -d "$1" ]; then
  build=$1
  seconds=${2:-$seconds}
  rounds=${3:-$rounds}
  write_settings "$tmp/STUN.ini" 127.0.0.2 3478 127.0.0.3 3479
  cmd=("$build/cli/gatewise-cli" --respond --config "$tmp/STUN.ini")
else
  while [ $# -gt 0 ]; do
    case $1 in
      --seconds) seconds=$2; shift 2 ;;
      --rounds) rounds=$2; shift 2 ;;
      --warmup) warmup=$2; shift 2 ;;
      --ready) ready=$2; shift 2 ;;
      --) shift; cmd=("$@"); break ;;
      *) echo "usage: idle-cost.sh BUILD_DIR [SECONDS] [ROUNDS] | [options] -- COMMAND..." >&2
         exit 2 ;;
    esac
  done
fi
[ ${#cmd[@]} -gt 0 ] || { echo "no command to measure" >&2; exit 2; }
[ -x "${cmd[0]}" ] || { echo "missing ${cmd[0]}" >&2; exit 2; }


# Nanoseconds on a CPU of all the process's threads so far (schedstat: exact, where utime+stime
# count whole clock ticks of 10 ms).
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ ns += $1 } END { printf "%.0f", ns }'; }

# One line per thread: tid name switches, where switches = voluntary + involuntary so far.
thread_switches() {
  local t
  for t in /proc/"$1"/task/*; do
    awk -v tid="${t##*/}" '
      /^Name:/ { name = $2 }
      /^voluntary_ctxt_switches:/ { v = $2 }
      /^nonvoluntary_ctxt_switches:/ { n = $2 }
      END { print tid, name, v + n }' "$t/status" 2>/dev/null || true
  done
}

echo "command: ${cmd[*]}"
echo "rounds=$rounds seconds=$seconds warmup=$warmup load: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq 1 "$rounds"); do
  unshare -rn -- "${cmd[@]}" >"$tmp/out" 2>"$tmp/err" &
  pid=$!
  if [ -n "$ready" ]; then
    for _ in $(seq 1 150); do
      grep -qF "$ready" "$tmp/out" 2>/dev/null && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if ! grep -qF "$ready" "$tmp/out"; then
      echo "round $round: \"$ready\" never appeared" >&2
      cat "$tmp/err" >&2
      exit 1
    fi
  fi
  sleep "$warmup"

  thread_switches "$pid" | LC_ALL=C sort -k1,1 >"$tmp/s0"
  c0=$(cpu_ns "$pid")
  t0=$(date +%s.%N)
  sleep "$seconds"
  t1=$(date +%s.%N)
  c1=$(cpu_ns "$pid")
  thread_switches "$pid" | LC_ALL=C sort -k1,1 >"$tmp/s1"
  mem=$(awk '/^(VmHWM|VmRSS|Threads):/ { printf "%s %s%s  ", $1, $2, $3 }' "/proc/$pid/status")
  stop

  # Threads present at both readings; a thread born in between counts from zero.
  LC_ALL=C join -a 2 -e 0 -o '2.1,2.2,1.3,2.3' "$tmp/s0" "$tmp/s1" >"$tmp/per" || true
  awk -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v r="$round" '
    { d = $4 - $3; total += d; line[NR] = sprintf("    %-16s %8.2f/s", $2, d / (t1 - t0)) }
    END {
      el = t1 - t0
      printf "round %d: elapsed %.1f s  cpu %.4f%% of one core  wake-ups %.2f/s\n", \
        r, el, (c1 - c0) / 1e9 / el * 100, total / el
      for (i = 1; i <= NR; i++) print line[i]
    }' "$tmp/per"
  echo "    memory: $mem"
done
