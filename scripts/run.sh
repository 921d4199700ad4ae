#!/usr/bin/env bash
# The main job: builds Gatewise, starts the two probe servers on loopback and runs one NAT check
# against them with gatewise-cli, printing the whole log and the summary. Everything stays on
# 127.0.0.0/8; the servers are stopped by their pid at the end.
#   scripts/run.sh [extra gatewise-cli options, e.g. --json or --report]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/run"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target gatewise-cli gatewise-server

work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

s1=127.0.0.2 p1=34780 s2=127.0.0.3 p2=34790
cat > "$work/STUN.ini" <<INI
[Setting]
STUN1_IP=$s1
STUN1_PORT=$p1
STUN2_IP=$s2
STUN2_PORT=$p2
FRIEND_IP=0.0.0.0
INI

echo "Starting probe servers: Server1 $s1:$p1 (and :$((p1 + 1))), Server2 $s2:$p2"
"$build/server/gatewise-server" --server1 "$s1:$p1" --server2 "$s2:$p2" 2>"$work/server.log" &
server_pid=$!
sleep 0.3

echo "Running a check (a computer on loopback has no NAT in front of it: expect OPEN)."
echo "For checks behind real NATs, see lab/ once it exists."
echo
status=0
"$build/cli/gatewise-cli" --config "$work/STUN.ini" "$@" || status=$?
echo
echo "gatewise-cli exited with status $status"
exit "$status"
