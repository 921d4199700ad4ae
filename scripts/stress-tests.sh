#!/usr/bin/env bash
# Runs the tests whose outcome could hang on thread timing many times over: every GoogleTest case
# labelled "threaded" and the engine's suites, which run the prober on a hand-stepped clock. Each
# run is a fresh process per test binary, as ctest starts them (some races show only in a cold
# process: first threads, first calls through the dynamic linker), running that binary's chosen
# suites in shuffled order with the run number as seed. The binaries of all build directories run
# side by side: their tests mostly wait on sockets and timers. Prints per suite how many runs
# passed and, for each failed run, the test and its message. Exits 0 when every run passed, 1 when
# one failed, 2 when the time limit ended the session first.
#
#   scripts/stress-tests.sh [--runs N] [--load] [--time-limit SECONDS] [--list] BUILD_DIR...
#     --runs N        runs per suite (default 200)
#     --load          one busy loop per core beside the tests for the whole session
#     --time-limit S  bound of the whole session (default 3600); a binary still running then is
#                     stopped and its suites reported with the runs they completed
#     --list          print the suites with their test counts and run nothing
#   e.g.  nice -n 15 scripts/stress-tests.sh --load build/asan build/tsan
# The build directories are those of scripts/test.sh (plain, ASan+UBSan, TSan); the sanitizers get
# the test command's options unless the environment sets them. Failed runs' output is kept in a
# directory named at the start.
#
# Left out, and why:
#   - label "lab": the NAT lab builds namespaces as root and spends minutes a run waiting;
#   - RESOURCE_LOCK fixed_ports (UdpNetworkFixedPorts, CliEndToEnd, the desktop program end to
#     end, fault.server_restart): they bind the host's 9801/9802, so they would collide with any
#     other test run on the machine, and each run starts real programs for seconds;
#   - RUN_SERIAL (the flood end to end): seconds of flooding that take every core, per run;
#   - tests that are not GoogleTest cases (the fault scripts): whole programs in namespaces,
#     minutes a run, with their own bounded waits.
set -euo pipefail

runs=200 load=0 limit=3600 list=0
usage() {
  sed -n '/^#   scripts\/stress-tests.sh/,/^#   e\.g\./s/^# //p' "$0" >&2
  exit 64
}
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=${2:?}; shift 2 ;;
    --load) load=1; shift ;;
    --list) list=1; shift ;;
    --time-limit) limit=${2:?}; shift 2 ;;
    -h | --help) usage ;;
    --*) usage ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || usage
[[ $runs =~ ^[1-9][0-9]*$ && $limit =~ ^[1-9][0-9]*$ ]] || usage
command -v jq >/dev/null || { echo "stress-tests: jq is needed (scripts/install-deps.sh)" >&2; exit 64; }
root=$(cd "$(dirname "$0")/.." && pwd)
deadline=$((SECONDS + limit))

# Suites on a stepped clock that carry no "threaded" label: every suite of these binaries.
stepped_binaries="engine_tests"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
ulimit -c 0  # a sanitizer's abort writes no core file

# One line per selected test: binary, working directory, environment (space-separated K=V),
# time-out (s), gtest filter; separated by the unit separator (0x1F), as a field may be empty.
list_tests() {
  ctest --test-dir "$1" -N --show-only=json-v1 | jq -r --arg stepped " $stepped_binaries " '
    .tests[]
    | (reduce (.properties // [])[] as $p ({}; .[$p.name] = $p.value)) as $prop
    | select((.command // []) | length > 1)
    | (.command[1:] | map(select(startswith("--gtest_filter="))) | first // empty) as $f
    | (" " + (.command[0] | split("/") | last) + " ") as $binary
    | select(($prop.LABELS // []) | index("lab") | not)
    | select(($prop.RESOURCE_LOCK // []) | index("fixed_ports") | not)
    | select(($prop.RUN_SERIAL // false) | not)
    | select((($prop.LABELS // []) | index("threaded")) or ($stepped | contains($binary)))
    | [.command[0], ($prop.WORKING_DIRECTORY // "."), (($prop.ENVIRONMENT // []) | join(" ")),
       ($prop.TIMEOUT // 1500 | tostring), ($f | ltrimstr("--gtest_filter="))]
    | join("\u001f")'
}

# Per suite and run, from one process's output: "SUITE pass|fail|notrun", then "test NAME" for
# each failed test. A test started and never ended (a crash, a sanitizer's abort, the time-out)
# failed; a suite the process never finished did not run. `expect` is "SUITE COUNT ...".
classify() {
  awk -v expect="$1" '
    function suite(t) { sub(/,$/, "", t); sub(/\..*/, "", t); return t }
    BEGIN { n = split(expect, e, " "); for (i = 1; i < n; i += 2) want[e[i]] = e[i + 1] }
    /^\[ RUN      \] / { open = $4; next }
    /^\[       OK \] |^\[  SKIPPED \] / { if (open != "") ended[suite(open)]++; open = ""; next }
    /^\[  FAILED  \] / { if (open != "") { failed[suite(open)] = 1; bad[open] = 1 } open = ""; next }
    END {
      if (open != "") { failed[suite(open)] = 1; bad[open] = 1 }
      for (s in want) print s, (s in failed) ? "fail" : (ended[s] == want[s] ? "pass" : "notrun")
      for (t in bad) print "test", t
    }' "$2"
}

logs=$(mktemp -d "${TMPDIR:-/tmp}/gatewise-stress.XXXXXX")

# stress_binary NAME BIN DIR ENV BOUND FILTER EXPECT: the runs of one binary; the per-suite
# summary goes to $logs/NAME.summary, each failed run to stdout at once. Exit status as the script's.
stress_binary() {
  local name=$1 bin=$2 dir=$3 env=$4 bound=$5 filter=$6 expect=$7
  local out="$logs/$name.out" r rc b left s verdict status=0 counted=0 started=$SECONDS child=
  local stopped=0
  local -A passed=() ran=() bad=()
  local -a envs=()
  [ -n "$env" ] && read -r -a envs <<<"$env"
  # Stopped from outside: the run under way is not counted, the summary still written.
  trap 'stopped=1; [ -z "$child" ] || kill "$child" 2>/dev/null' TERM
  for ((r = 1; r <= runs; r++)); do
    left=$((deadline - SECONDS))
    if [ "$left" -le 0 ] || [ "$stopped" = 1 ]; then
      [ "$status" = 0 ] && status=2
      break
    fi
    b=$((left < bound ? left : bound))
    rc=0
    (cd "$dir" && exec timeout -k 5 "$b" env "${envs[@]}" "$bin" --gtest_filter="$filter" \
      --gtest_also_run_disabled_tests --gtest_shuffle --gtest_random_seed="$r") >"$out" 2>&1 &
    child=$!
    wait "$child" || rc=$?
    if [ "$stopped" = 1 ]; then
      wait "$child" 2>/dev/null || true
      [ "$status" = 0 ] && status=2
      break
    fi
    child=
    if [ "$rc" != 0 ] && [ "$b" -lt "$bound" ] && [ "$SECONDS" -ge "$deadline" ]; then
      [ "$status" = 0 ] && status=2  # cut short by the session's limit: not counted
      break
    fi
    counted=$r
    local failed_tests=""
    while read -r s verdict; do
      if [ "$s" = test ]; then
        failed_tests+=" $verdict"
        bad[$verdict]=$((${bad[$verdict]:-0} + 1))
        continue
      fi
      [ "$verdict" = notrun ] && continue
      ran[$s]=$((${ran[$s]:-0} + 1))
      [ "$verdict" = pass ] && passed[$s]=$((${passed[$s]:-0} + 1))
    done < <(classify "$expect" "$out")
    [ "$rc" = 0 ] && continue
    status=1
    if [ -z "$failed_tests" ]; then  # every test passed, and then the process failed (a leak)
      failed_tests=" (at exit)"
      bad["(at exit)"]=$((${bad["(at exit)"]:-0} + 1))
    fi
    local keep="$logs/$name.run$r.log"
    cp "$out" "$keep"
    # The first failure's message: from its "Failure" line or the sanitizer's report.
    printf '%s run %d (--gtest_random_seed=%d, exit %d) FAILED:%s\n%s\n      (whole output: %s)\n' \
      "$name" "$r" "$r" "$rc" "$failed_tests" \
      "$({ grep -m1 -A12 -E ': Failure$|^==[0-9]+==ERROR|^WARNING: ThreadSanitizer|runtime error:' \
        "$out" || tail -n 12 "$out"; } | sed 's/^/      /')" "$keep"
  done
  {
    local n what
    for s in $expect; do
      [[ $s =~ ^[0-9]+$ ]] && continue
      if [ "${passed[$s]:-0}" = "$runs" ]; then
        echo "  $name $s: $runs/$runs runs passed"
      else
        echo "  $name $s: ${passed[$s]:-0}/${ran[$s]:-0} runs passed (of $runs asked)"
      fi
    done
    what=""
    for n in "${!bad[@]}"; do what+=" $n x${bad[$n]};"; done
    echo "  $name: $counted runs in $((SECONDS - started)) s${what:+; failed:$what}"
  } >"$logs/$name.summary"
  rm -f "$out"
  return "$status"
}

load_pids=() workers=() names=() interrupted=0
stop_all() {
  local pid
  for pid in "${workers[@]}" "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${workers[@]}" "${load_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  workers=() load_pids=()
}
trap stop_all EXIT
# Interrupted: every binary stops after writing its summary, which is then printed.
trap 'interrupted=1; stop_all' INT TERM

[ "$list" = 1 ] || echo "stress: $runs runs per suite$([ "$load" = 1 ] && echo ", with a busy loop per core"); failed runs' output in $logs"
for build in "$@"; do
  [ -f "$build/CTestTestfile.cmake" ] || { echo "stress-tests: $build is no build directory" >&2; exit 64; }
  sanitize=$(sed -n 's/^GATEWISE_SANITIZE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
  tag=$(basename "$build")
  [ "$list" = 1 ] && echo "== $build (sanitizers: ${sanitize:-none})"
  # Group the tests by binary: one filter, the suites with their test counts, the summed time-outs.
  declare -A filter=() bound=() info=() count=()
  order=() suites=()
  while IFS=$'\x1f' read -r bin dir env timeout test; do
    if [ -z "${filter[$bin]:-}" ]; then
      order+=("$bin")
      filter[$bin]=$test
      bound[$bin]=0
      info[$bin]="$dir"$'\x1f'"$env"
    else
      filter[$bin]+=":$test"
    fi
    bound[$bin]=$((${bound[$bin]} + ${timeout%%.*}))
    s="$bin ${test%%.*}"
    [ -n "${count[$s]:-}" ] || suites+=("$s")
    count[$s]=$((${count[$s]:-0} + 1))
  done < <(list_tests "$build")
  [ ${#order[@]} -gt 0 ] || { echo "stress-tests: no tests found in $build" >&2; exit 64; }
  for bin in "${order[@]}"; do
    expect=""
    for s in "${suites[@]}"; do
      [ "${s%% *}" = "$bin" ] || continue
      expect+="${s#* } ${count[$s]} "
      [ "$list" = 1 ] && echo "  ${bin##*/} ${s#* }: ${count[$s]} tests"
    done
    [ "$list" = 1 ] && continue
    IFS=$'\x1f' read -r dir env <<<"${info[$bin]}"
    names+=("$tag.${bin##*/}")
    stress_binary "$tag.${bin##*/}" "$bin" "$dir" "$env" "${bound[$bin]}" "${filter[$bin]}" \
      "$expect" &
    workers+=($!)
  done
  unset filter bound info count
done
if [ "$list" = 1 ]; then
  rm -rf "$logs"
  exit 0
fi
if [ "$load" = 1 ]; then
  # Bounded by the session's own limit even if this script is killed outright.
  for ((i = 0; i < $(nproc); i++)); do
    timeout "$limit" bash -c 'while :; do :; done' &
    load_pids+=($!)
  done
fi

status=0
for pid in "${workers[@]}"; do
  rc=0
  wait "$pid" || rc=$?
  if [ "$rc" = 1 ] || { [ "$rc" != 0 ] && [ "$status" = 0 ]; }; then status=$rc; fi
done
workers=()
stop_all
[ "$interrupted" = 1 ] && status=130
echo "stress: per suite, runs passed (with sanitizers: see each build directory's name)"
for n in "${names[@]}"; do cat "$logs/$n.summary" 2>/dev/null || echo "  $n: no summary"; done
case $status in
  0) verdict="every run passed" ;;
  2) verdict="time limit reached" ;;
  130) verdict="interrupted" ;;
  *) verdict="FAILED" ;;
esac
echo "stress: $verdict after $((SECONDS / 60)) min"
[ "$status" = 0 ] && rm -rf "$logs"
exit "$status"
