#!/usr/bin/env bash
# The main job: builds Gatewise and shows it doing its work.
# - Where this machine can host the NAT lab (root, network namespaces, nftables), it runs one check
#   behind each of the lab's kernel NATs and prints a table of profile against verdicts and the
#   whole log of one check (lab/demo.sh).
# - Where it cannot, it starts the two probe servers on loopback and runs one check against them
#   (no NAT in front of loopback: expect OPEN), and says why it could not do more.
# Everything stays on 127.0.0.0/8 or inside namespaces the lab creates and deletes itself.
#   scripts/run.sh [--loopback] [extra gatewise-cli options for the loopback check, e.g. --json]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib.sh"
build="$root/build/run"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGATEWISE_BUILD_GUI=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target gatewise-cli gatewise-server natlab-probe >/dev/null
echo "Built gatewise-cli and gatewise-server in $build"
echo

loopback_only=0
if [ "${1:-}" = "--loopback" ]; then loopback_only=1; shift; fi

if [ $loopback_only -eq 0 ]; then
  if why=$("$root/lab/natlab" check 2>&1); then
    echo "=== Checks behind the NAT lab's kernel NATs ==="
    exec "$root/lab/demo.sh" "$build"
  fi
  echo "The NAT lab cannot run here (${why#natlab: }); checking against loopback servers instead."
  echo
fi

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

s1=127.0.0.2 p1=34780 s2=127.0.0.3 p2=34790
write_settings "$work/STUN.ini" "$s1" "$p1" "$s2" "$p2"

echo "=== Probe servers: Server1 $s1:$p1 (and :$((p1 + 1))), Server2 $s2:$p2 ==="
"$build/server/gatewise-server" --server1 "$s1:$p1" --server2 "$s2:$p2" 2>"$work/server.log" &
server_pid=$!
wait_udp_port "$p2" || { cat "$work/server.log" >&2; exit 1; }

echo "=== One check against them (loopback has no NAT in front of it: expect OPEN) ==="
status=0
"$build/cli/gatewise-cli" --config "$work/STUN.ini" "$@" || status=$?
echo
echo "gatewise-cli exited with status $status"
exit "$status"
