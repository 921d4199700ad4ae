#!/usr/bin/env bash
# Peak memory of gatewise-cli --respond while its 9801 and 9802 sockets are flooded with junk.
#
#   bench/flood-memory.sh BUILD_DIR [SECONDS] [FLOODER]
#
# Runs inside a fresh network namespace (unshare -rn) with loopback up, so the flood stays on
# this namespace's 127.0.0.1 and the fixed ports collide with nobody. The flooder
# (default BUILD_DIR/tests/net/net_flooder) sends for SECONDS (default 10); the client's
# resident set is read every 0.5 s, and it is stopped by pid at the end.
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
build=${1:?usage: flood-memory.sh BUILD_DIR [SECONDS] [FLOODER]}
seconds=${2:-10}
flooder=${3:-$build/tests/net/net_flooder}
cli=$build/cli/gatewise-cli
for f in "$cli" "$flooder"; do
  [ -x "$f" ] || { echo "missing $f" >&2; exit 2; }
done

if [ "${FLOOD_MEMORY_INSIDE:-}" != 1 ]; then
  FLOOD_MEMORY_INSIDE=1 exec unshare -rn -- "$0" "$@"
fi

ip link set lo up
tmp=$(mktemp -d)
pid=
fpid=
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  [ -n "$fpid" ] && kill "$fpid" 2>/dev/null
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
write_settings "$tmp/STUN.ini" 127.0.0.2 3478 127.0.0.3 3479
"$cli" --respond --config "$tmp/STUN.ini" >"$tmp/out" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  grep -qF "Press F5 to start..." "$tmp/out" && break
  sleep 0.1
done
status() { awk '/^(VmHWM|VmRSS):/ { printf "%s %s%s  ", $1, $2, $3 }' "/proc/$pid/status"; }
echo "before the flood: $(status)"
"$flooder" "$seconds" 9801 9802 >"$tmp/sent" &
fpid=$!
for i in $(seq 1 $((seconds * 2))); do
  sleep 0.5
  [ $((i % 4)) = 0 ] && echo "after $((i / 2)) s: $(status)"
done
wait "$fpid"
fpid=
echo "flood over, $(cat "$tmp/sent") datagrams sent: $(status)"
