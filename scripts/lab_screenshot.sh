#!/usr/bin/env bash
# Runs the desktop application behind one of the NAT lab's routers, under a virtual X server inside
# the lab's client namespace, and copies the pictures it took of its own windows into OUT_DIR as
# NAME-<picture>.png (result, running when the check ran long enough, main).
#
# Usage: scripts/lab_screenshot.sh PROFILE BUILD_DIR OUT_DIR NAME
#        (needs the gatewise and gatewise-server targets built in BUILD_DIR, Xvfb, and what
#        lab/natlab needs: root, network namespaces, nftables, conntrack)
# Exits 77 with the reason where this machine cannot host a lab. Every address is in
# 198.18.0.0/15 inside namespaces the lab creates and deletes; nothing reaches another host.
set -uo pipefail
[ $# -eq 4 ] || { echo "usage: $0 PROFILE BUILD_DIR OUT_DIR NAME" >&2; exit 2; }
profile=$1 build=$2 out=$3 shot_name=$4
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"
natlab=$root/lab/natlab
app=$build/app/gatewise
server=$build/server/gatewise-server
for f in "$app" "$server"; do
    [[ -x $f ]] || { echo "missing $f: build the gatewise and gatewise-server targets" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "xvfb-run not found (package xvfb)" >&2; exit 1; }
[ -x "$build/lab/natlab-probe" ] && export NATLAB_PROBE=$build/lab/natlab-probe

name="ss$$"
lab_session "$natlab" "$name"  # sets work and pids
work=${work:?}
if ! "$natlab" up "$profile" --name "$name" >"$work/up.out" 2>&1; then
    cat "$work/up.out" >&2
    echo "lab $profile did not come up" >&2
    exit 1
fi
cp "$app" "$work/gatewise"
lab_servers "$natlab" "$name" "$server" "$work/up.out" "$work/STUN.ini" 0.0.0.0 "$work/server.log"
pids+=("$spid")
"$natlab" listening "$name" srv 34790 || { cat "$work/server.log" >&2; exit 1; }

# The program photographs its own windows once the check has ended, then closes itself. The X
# server runs in the client namespace too, so the program reaches it there.
(cd "$work" && "$natlab" exec "$name" c1 xvfb-run -a -s "-screen 0 1280x900x24" \
    env QT_QPA_PLATFORM=xcb GATEWISE_AUTOSTART=1 GATEWISE_SCREENSHOTS="$work/shots" \
    GATEWISE_AUTOQUIT_MS=90000 timeout 120 ./gatewise)

[[ -s $work/shots/result.png ]] || { echo "no result.png was taken behind $profile" >&2; exit 1; }
mkdir -p "$out"
for shot in result running main; do
    for ext in png txt; do
        [[ -s $work/shots/$shot.$ext ]] && cp "$work/shots/$shot.$ext" "$out/$shot_name-$shot.$ext"
    done
done
exit 0
