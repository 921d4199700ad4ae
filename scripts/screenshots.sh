#!/usr/bin/env bash
# Runs the desktop application under a virtual X server, lets it check the NAT against two probe
# servers on loopback, and saves screenshots of the main window after the check, the settings
# dialog, the result dialog and the about box into docs/images/ (see docs/app.md).
#
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build; needs the gatewise and
#        gatewise-server targets built there, and Xvfb)
# All traffic stays on 127.0.0.0/8. The program binds the local ports 9801 and 9802 as every copy
# does, so do not run it while a test that needs them runs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"
build=${1:-$root/build}
app=$build/app/gatewise
server=$build/server/gatewise-server
out=$root/docs/images

for f in "$app" "$server"; do
    [[ -x $f ]] || { echo "missing $f: build the gatewise and gatewise-server targets" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "xvfb-run not found (package xvfb)" >&2; exit 1; }

work=$(mktemp -d)
server_pid=""
cleanup() {
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Server 1 answers on P and P+1 (and sends from P+2), server 2 on Q (and sends from Q+1).
p=$((41000 + RANDOM % 4000 * 2))
q=$((p + 10))
cp "$app" "$work/gatewise"
write_settings "$work/STUN.ini" 127.0.0.2 "$p" 127.0.0.3 "$q"

"$server" --server1 "127.0.0.2:$p" --server2 "127.0.0.3:$q" >"$work/server.log" 2>&1 &
server_pid=$!
wait_udp_port "$q" || { cat "$work/server.log" >&2; exit 1; }

# The program photographs its own windows once the check has ended, then closes itself.
(cd "$work" && xvfb-run -a -s "-screen 0 1280x900x24" \
    env QT_QPA_PLATFORM=xcb GATEWISE_AUTOSTART=1 GATEWISE_SCREENSHOTS="$work/shots" \
    GATEWISE_AUTOQUIT_MS=60000 timeout 90 ./gatewise)

mkdir -p "$out"
for shot in main settings result about; do
    [[ -s $work/shots/$shot.png ]] || { echo "no $shot.png was taken" >&2; exit 1; }
    cp "$work/shots/$shot.png" "$out/$shot.png"
done
echo "screenshots saved in $out"
