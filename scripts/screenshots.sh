#!/usr/bin/env bash
# Remakes every picture in docs/images/ (see docs/app.md): the desktop application under a virtual
# X server checks the NAT against two probe servers on loopback (an OPEN result: result-open.png,
# main.png, settings.png, about.png), then behind the NAT lab's port-restricted and symmetric
# routers (result-portrestricted.png, result-symmetric.png, and running.png, the main window
# during the symmetric check with its progress). Result dialogs are taken with their details shown.
#
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build; needs the gatewise and
#        gatewise-server targets built there, and Xvfb: scripts/install-deps.sh --gui-tools)
# Loopback traffic stays on 127.0.0.0/8; as root it runs in a network namespace of its own, so the
# local ports 9801 and 9802 every copy binds collide with nothing. The lab pictures need root,
# nftables and conntrack (lab/README.md); where the lab cannot run they are left as they are.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# As root, the loopback part runs in a network namespace of its own (only lo, brought up here);
# the lab part is started from there too: natlab names its namespaces, it does not inherit ours.
if [[ $(id -u) == 0 && -z ${GATEWISE_SHOTS_NETNS:-} ]] && command -v unshare >/dev/null; then
    # shellcheck disable=SC2016  # expanded by that inner shell
    exec env GATEWISE_SHOTS_NETNS=1 unshare -n -- sh -c 'ip link set lo up && exec "$0" "$@"' \
        "$0" "$@"
fi
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
# shellcheck disable=SC2317  # run by the EXIT trap
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
    [[ -s $work/shots/$shot.png && -s $work/shots/$shot.txt ]] || {
        echo "no $shot.png was taken" >&2
        exit 1
    }
done
# Each picture with its text file, which the app tests compare with what the program shows.
for shot in main settings about; do cp "$work/shots/$shot".{png,txt} "$out/"; done
cp "$work/shots/result.png" "$out/result-open.png"
cp "$work/shots/result.txt" "$out/result-open.txt"

# Behind the lab's routers; 77: no lab on this machine, the old pictures stay.
lab_status=0
for profile in portrestricted symmetric; do
    rc=0
    "$root/scripts/lab_screenshot.sh" "$profile" "$build" "$work/lab" "$profile" || rc=$?
    if [[ $rc == 77 ]]; then
        echo "no NAT lab here: result-portrestricted.png, result-symmetric.png and running.png" \
            "were not remade" >&2
        break
    fi
    [[ $rc == 0 ]] || { lab_status=1; continue; }
    cp "$work/lab/$profile-result.png" "$out/result-$profile.png"
    cp "$work/lab/$profile-result.txt" "$out/result-$profile.txt"
done
if [[ -s $work/lab/symmetric-running.png ]]; then
    cp "$work/lab/symmetric-running.png" "$out/running.png"
    cp "$work/lab/symmetric-running.txt" "$out/running.txt"
elif [[ -s $work/lab/symmetric-result.png ]]; then
    echo "the symmetric check ended before running.png could be taken" >&2
    lab_status=1
fi
echo "screenshots saved in $out"
exit "$lab_status"
