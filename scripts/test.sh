#!/usr/bin/env bash
# The test command: installs what is missing, builds with warnings as errors and runs every test;
# then the whole suite under AddressSanitizer+UndefinedBehaviorSanitizer and the threaded tests under
# ThreadSanitizer, a clang build that checks the thread annotations, each fuzz target for a
# short while, and the Windows build of the command-line programs with its tests under wine; the
# Debian packages are built from the plain build and checked (contents, lintian, the programs run
# from an unpacked copy). Exits non-zero on any failure.
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the plain build and its tests only
# FUZZ_SECONDS (default 20) is how long each fuzz target runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

# A full run needs the Windows tools too (its last stage, and the Qt build begun below): one
# call, so apt reads its lists once.
if [ "${1:-}" = "--quick" ]; then
  "$root/scripts/install-deps.sh"
else
  "$root/scripts/install-deps.sh" --windows
fi

# Without the Qt for Windows cache, its half-hour build begins now, in the idle scheduling class:
# it takes only the processor time the stages before the Windows one leave unused (their tests
# mostly wait for replies and time-outs), and that stage waits for it (scripts/qt-mingw.sh holds
# a lock). A session of its own, so the whole build can be stopped by its process group.
qt_pid=
if [ "${1:-}" != "--quick" ] && ! "$root/scripts/qt-mingw.sh" --print >/dev/null; then
  mkdir -p "$root/build"
  # Where the kernel shares the processor between sessions first (autogroup), a session of its
  # own would take half of it whatever its class: its group gets the lowest weight as well, set
  # from inside the new session (from here it could still name this script's own group).
  # shellcheck disable=SC2016  # expanded by the inner shell
  setsid bash -c 'echo 19 >/proc/self/autogroup 2>/dev/null; exec chrt --idle 0 nice -n 19 "$0"' \
    "$root/scripts/qt-mingw.sh" >"$root/build/qt-mingw.log" 2>&1 &
  qt_pid=$!
  echo "Building Qt for Windows beside the other stages (pid $qt_pid, build/qt-mingw.log)"
fi
# shellcheck disable=SC2317  # run by the EXIT trap
stop_qt_build() { [ -z "$qt_pid" ] || kill -- -"$qt_pid" 2>/dev/null || true; }
trap stop_qt_build EXIT

# Tests that need a display use Qt's offscreen platform; nothing here needs X.
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

step() { printf '\n=== %s ===\n' "$*"; }
# A failing test stage does not stop the later ones, so one run shows every failure; the script
# still exits non-zero at the end. A failing build stops at once.
failed=()

# Every build goes through ccache: paths under the clone are hashed relative to it, so a run in
# another clone of the same commit compiles nothing that an earlier run compiled.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

build() {  # build <dir> <cmake args...>
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DGATEWISE_WERROR=ON "${launcher[@]}" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

# run_tests DIR TIMEOUT [CTEST ARGS...]: the suite in two passes. The NAT lab's tests build their
# own namespaces and spend their time waiting for replies and time-outs, not on the CPU, so they
# run three to a core; everything else one to a core. Both passes run even if the first fails.
run_tests() {
  local dir=$1 timeout=$2 rc=0; shift 2
  ctest --test-dir "$dir" -j"$jobs" --timeout "$timeout" -E '^lab[.]' "$@" || rc=1
  ctest --test-dir "$dir" -j"$((jobs * 3))" --timeout "$timeout" -R '^lab[.]' "$@" || rc=1
  return $rc
}

step "build (warnings are errors)"
# Installed under /usr, as the Debian packages made from this build are.
build "$root/build/ci" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
step "tests"
run_tests "$root/build/ci" 120 || failed+=("tests")

finish() {
  if [ ${#failed[@]} -gt 0 ]; then
    printf '\nFAILED stages: %s\n' "${failed[*]}"
    exit 1
  fi
  printf '\nAll stages passed.\n'
  exit 0
}
[ "${1:-}" = "--quick" ] && finish

step "Debian packages (cpack -G DEB from the plain build)"
bash "$root/tests/package/package_test.sh" "$root/build/ci" || failed+=("packages")

step "AddressSanitizer + UndefinedBehaviorSanitizer build"
build "$root/build/asan" -DCMAKE_BUILD_TYPE=Debug "-DGATEWISE_SANITIZE=address;undefined"
step "tests under ASan+UBSan (not the mapping-lifetime lab tests: minutes of waiting, no new code)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions="$root/scripts/lsan.supp":print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_tests "$root/build/asan" 240 -LE lifetime || failed+=("asan-tests")

step "ThreadSanitizer build (no GUI)"
build "$root/build/tsan" -DCMAKE_BUILD_TYPE=Debug -DGATEWISE_SANITIZE=thread -DGATEWISE_BUILD_GUI=OFF
step "threaded tests under TSan"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_tests "$root/build/tsan" 240 -L threaded || failed+=("tsan-tests")

step "thread-safety analysis (clang -Wthread-safety, warnings are errors)"
CC=clang CXX=clang++ build "$root/build/tsa" -DCMAKE_BUILD_TYPE=Debug -DGATEWISE_BUILD_GUI=OFF \
  -DGATEWISE_BUILD_TESTS=OFF

step "fuzz targets (clang, libFuzzer), ${FUZZ_SECONDS:-20} s each"
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build/fuzz" -DGATEWISE_FUZZ=ON -DGATEWISE_WERROR=ON "${launcher[@]}" \
  -DGATEWISE_BUILD_GUI=OFF -DGATEWISE_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build/fuzz" -j"$jobs" --target fuzzers
bash "$root/fuzz/run-fuzzers.sh" "$root/build/fuzz" "${FUZZ_SECONDS:-20}" || failed+=("fuzz")

step "Windows build (MinGW-w64) and tests under wine"
if [ -n "$qt_pid" ]; then
  # The build begun at the start; its script's lock makes the stage wait for it all the same.
  started=$SECONDS
  wait "$qt_pid" || { echo "The Qt build begun at the start failed:"; tail -20 "$root/build/qt-mingw.log"; }
  qt_pid=
  echo "(waited $((SECONDS - started)) s for the Qt build; $(tail -2 "$root/build/qt-mingw.log" | head -1))"
fi
"$root/scripts/windows-build.sh" "$root/build/ci" || failed+=("windows")

finish
