#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on a scratch copy of its seed corpus (the checked-in
# corpus never grows). Exits non-zero when any target finds a crash, a leak, undefined behaviour
# or a broken property; the input that did it is kept under the scratch directory and named.
#
#   fuzz/run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]
# BUILD_DIR is a tree configured with CC=clang CXX=clang++ -DGATEWISE_FUZZ=ON and built with
# `cmake --build BUILD_DIR --target fuzzers`.
set -u

here=$(cd "$(dirname "$0")" && pwd)
if [[ $# -lt 2 ]]; then
    echo "usage: $0 BUILD_DIR SECONDS [TARGET...]" >&2
    exit 2
fi
build=$1
seconds=$2
shift 2
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(fuzz_datagram fuzz_engine fuzz_settings fuzz_probe_handler fuzz_stun
                                 fuzz_stun_check fuzz_quick fuzz_text fuzz_portmap)
if ! [[ $seconds =~ ^[0-9]+$ ]] || [[ $seconds -lt 1 ]]; then
    echo "SECONDS must be a positive whole number" >&2
    exit 2
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/gatewise-fuzz-run.XXXXXX")
failed=0
summary=()
for t in "${targets[@]}"; do
    bin=$build/fuzz/$t
    if [[ ! -x $bin ]]; then
        echo "$t: not built ($bin missing)" >&2
        failed=1
        summary+=("$t: NOT BUILT")
        continue
    fi
    work=$scratch/$t
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$here/corpus/$t/"* "$work/corpus/" 2>/dev/null || true
    # -max_total_time bounds the run; timeout(1) bounds a hang in start-up or shut-down.
    # One input may take at most 10 s (-timeout) and 2 GiB (-rss_limit_mb).
    timeout --kill-after=10 $((seconds + 60)) "$bin" "$work/corpus" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$work/log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
    rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$work/log" | tail -1)
    if [[ $rc -ne 0 ]]; then
        failed=1
        echo "=== $t: FINDING (exit $rc); log $work/log" >&2
        grep -E "ERROR|fuzz finding|SUMMARY|runtime error" "$work/log" | head -20 >&2
        ls "$work/artifacts" >&2
        summary+=("$t: FAILED (exit $rc, ${execs:-?} executions)")
    else
        summary+=("$t: ok, ${execs:-?} executions in ${seconds} s, peak RSS ${rss:-?} MB")
    fi
done
printf '%s\n' "${summary[@]}"
if [[ $failed -eq 0 ]]; then
    rm -rf "$scratch"
else
    echo "inputs and logs kept in $scratch" >&2
fi
exit $failed
