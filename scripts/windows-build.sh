#!/usr/bin/env bash
# The Windows build of the command-line programs, tested under wine (docs/windows.md):
#   1. cross-compiles gatewise-cli.exe, gatewise-server.exe and the core, net, standard and
#      engine test suites with MinGW-w64 (cmake/mingw-w64-x86_64.cmake), warnings as errors, into build/win;
#   2. checks that both programs import system DLLs only (everything else is linked in);
#   3. runs the test suites under wine, in a throw-away WINEPREFIX under /tmp;
#   4. inside a private network namespace (own loopback, so 9801/9802 and the friend broadcast
#      stay private): gatewise-cli.exe under wine against the Linux gatewise-server on
#      127.0.0.2/127.0.0.3 must find OPEN, its --stun must complete against a Linux server on
#      127.0.0.4/127.0.0.5, --portmap must find a silent gateway (a veth pair made there) and
#      nothing present within 3 s, --help must name the protocols this build asks, and
#      gatewise-server.exe under wine must answer a binding request on 127.0.0.1 and a STUN
#      request with RESPONSE-PORT at that port;
#   5. the desktop program: Qt 6 for MinGW-w64 from its cache (scripts/qt-mingw.sh builds it
#      once, about 30 minutes), gatewise.exe and the app suite cross-built into build/win-app,
#      the zip made (scripts/windows-zip.sh, which checks the DLLs it holds), the app suite under
#      wine on a virtual X server, and in the namespace gatewise.exe from the zip's folder:
#      File > STUN Setting saved with OK beside the program, a check against the Linux server to
#      OPEN, the result dialog and the main window photographed.
#   scripts/windows-build.sh [LINUX_BUILD_DIR]   (default build/ci; its gatewise-server is built
#                                                 there when missing)
# Needs g++-mingw-w64-x86-64-posix, wine, wine64, xvfb and zip (scripts/install-deps.sh --windows),
# and root for the namespace. Every wait is bounded; every process started is stopped by its pid.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib.sh"
linux_build=${1:-$root/build/ci}
win_build=$root/build/win
app_build=$root/build/win-app

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump wine jq xvfb-run zip; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh --windows)"; exit 1; }
done

echo "--- cross build (MinGW-w64, static) into $win_build"
# The cross build is most of this stage's time: through ccache, a run after the first compiles
# only what changed.
win_configure "$root" "$win_build"
cmake --build "$win_build" -j"$(nproc)" \
  --target gatewise-cli gatewise-server core_tests net_tests standard_tests engine_tests
cli_exe=$win_build/cli/gatewise-cli.exe
server_exe=$win_build/server/gatewise-server.exe

echo "--- the desktop program (Qt 6 for MinGW-w64, DLLs beside it) into $app_build"
app_dir=
started=$SECONDS
if ! qt=$("$root/scripts/qt-mingw.sh"); then
  bad "no Qt for MinGW-w64 (scripts/qt-mingw.sh; its logs in /var/cache/gatewise/*.log)"
  qt=
fi
if [ -n "$qt" ]; then
  win_configure "$root" "$app_build" "$qt"
  cmake --build "$app_build" -j"$(nproc)" --target gatewise app_tests
  if zip_file=$("$root/scripts/windows-zip.sh" "$app_build"); then
    ok "$(basename "$zip_file") made ($(du -k "$zip_file" | cut -f1) KiB): the programs, README.txt and exactly the DLLs gatewise.exe needs beside the system's"
    app_dir=${zip_file%.zip}
  else
    bad "the Windows zip (scripts/windows-zip.sh)"
  fi
fi
echo "(Qt cache, desktop program and zip: $((SECONDS - started)) s)"

# What every Windows since 7 has in System32; a DLL of the compiler's (libstdc++, libgcc,
# libwinpthread) would have to be shipped beside the program.
system_dlls='^(kernel32|msvcrt|ws2_32|iphlpapi|bcrypt)\.dll$'
for exe in "$cli_exe" "$server_exe"; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
         tr '[:upper:]' '[:lower:]' | tr '\n' ' ')
  # shellcheck disable=SC2086  # one name per word
  others=$(printf '%s\n' $dlls | grep -Ev "$system_dlls" | tr '\n' ' ' || true)
  if [ -z "$others" ]; then
    ok "$(basename "$exe") imports system DLLs only: $dlls"
  else
    bad "$(basename "$exe") needs DLLs beside it: $others"
  fi
done

echo "--- wine"
WINEPREFIX=$(mktemp -d /tmp/gatewise-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all
# No Mono or Gecko install dialogs: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
pids=()
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  stop_pids
  end_wineserver
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT
timeout 120 wineboot -i >/dev/null 2>&1 || true
timeout 60 wineserver -w || true

echo "--- unit tests under wine"
if ctest --test-dir "$win_build" --timeout 120 --output-on-failure; then
  ok "core, net, standard and engine suites pass under wine"
else
  bad "test suites under wine"
fi
# The suite runs on Qt's offscreen platform (wine passes it no QT_* variable), the cases that
# measure text on the Windows platform, on this virtual X server (tests/app/CMakeLists.txt). The
# session the suites above began without a display has no desktop process, and a window made in
# it is never shown: a fresh wineserver starts under the virtual X server.
started=$SECONDS
if [ -n "$qt" ]; then
  end_wineserver
  if xvfb-run -a -s "-screen 0 1280x1024x24" \
       ctest --test-dir "$app_build" -R '^app_tests_' --timeout 180 --output-on-failure; then
    ok "the desktop application's suite passes under wine (offscreen, and the text-measuring cases on the Windows platform; the one left out is in tests/app/CMakeLists.txt)"
  else
    bad "the desktop application's suite under wine"
  fi
fi
echo "(app suite under wine: $((SECONDS - started)) s)"

echo "--- end to end, in a private network namespace"
if [ ! -x "$linux_build/server/gatewise-server" ]; then
  [ -f "$linux_build/CMakeCache.txt" ] ||
    cmake -S "$root" -B "$linux_build" -DGATEWISE_WERROR=ON -DGATEWISE_BUILD_GUI=OFF >/dev/null
  cmake --build "$linux_build" -j"$(nproc)" --target gatewise-server
fi
if [ "$(id -u)" -ne 0 ] || ! unshare -n true 2>/dev/null; then
  bad "end-to-end checks need root for a private network namespace (unshare -n)"
  finish
fi
write_settings "$work/STUN.ini" 127.0.0.2 34780 127.0.0.3 34790
# The namespace's own script: its processes end with it, each stopped by its pid.
cat >"$work/e2e.sh" <<'INNER'
set -u
. "$ROOT/scripts/lib.sh"
ip link set lo up
pids=()
# wine's sockets are made by its wineserver, in the wineserver's network namespace: one left
# from outside (it lingers a few seconds after its last client) would put the client's sockets,
# 9801/9802 and the friend broadcast included, on the machine's own network. This prefix's server
# is ended and a new one starts in here; it is ended again before the namespace goes.
trap 'stop_pids; end_wineserver' EXIT
end_wineserver
"$LINUX_SERVER" --server1 127.0.0.2:34780 --server2 127.0.0.3:34790 --workers 1 \
  2>"$WORK/linux-server.log" &
pids+=($!)
# The same port on both addresses: an RFC 5780 STUN server for --stun.
"$LINUX_SERVER" --server1 127.0.0.4:3478 --server2 127.0.0.5:3478 --workers 1 \
  2>"$WORK/linux-stun-server.log" &
pids+=($!)
wait_udp_port 34790 && wait_udp_port 3478 || { echo "FAIL: the Linux servers did not start"; exit 1; }
# The settings file as wine names it (Z: is the Linux root).
timeout 120 wine "$CLI_EXE" --config "Z:${WORK//\//\\}\\STUN.ini" --json \
  >"$WORK/cli.out" 2>"$WORK/cli.err"
echo "cli_status=$?" >"$WORK/cli.status"
timeout 120 wine "$CLI_EXE" --stun 127.0.0.4:3478 --json >"$WORK/stun.out" 2>"$WORK/stun.err"
echo "stun_status=$?" >"$WORK/stun.status"
# The desktop program from the zip's folder (a copy, with a STUN.ini of its own that names no
# friend): File > STUN Setting answered with OK must add FRIEND_IP to the file beside the program;
# then F5's command runs a check against the servers above and, once it ends, the result dialog
# and the main window are photographed (app/automation.h). Wine takes Windows paths: Z: is /.
if [ -n "$APP_DIR" ]; then
  # A session whose first program had no display has lost its desktop process (explorer.exe):
  # a window program started in it makes its window but runs no check. A fresh session, started
  # by this program under the virtual X server, has one.
  end_wineserver
  cp -r "$APP_DIR" "$WORK/app"
  printf '[Setting]\r\nSTUN1_IP=127.0.0.2\r\nSTUN1_PORT=34780\r\nSTUN2_IP=127.0.0.3\r\nSTUN2_PORT=34790\r\n' \
    >"$WORK/app/STUN.ini"
  GATEWISE_AUTOSETTINGS=1 GATEWISE_AUTOSTART=1 GATEWISE_AUTOQUIT_MS=90000 \
    GATEWISE_SCREENSHOTS="Z:${WORK//\//\\}\\shots" GATEWISE_AUTOSAVE="Z:${WORK//\//\\}\\app-log.txt" \
    xvfb-run -a -s "-screen 0 1280x1024x24" timeout 150 wine "$WORK/app/gatewise.exe" \
    >"$WORK/app.out" 2>&1
  echo "app_status=$?" >"$WORK/app.status"
fi
# The port-mapping check needs a default gateway: 10.99.0.1 behind a veth pair made here, where
# nothing answers (its ARP goes to the pair's other end, in here too). The mapped address comes
# from the Linux server. The pair goes again before the server test, which is loopback only.
# (Windows writes text lines ending in CR LF.)
# Wine's own messages go to stderr, apart: they could land inside a line of the help.
timeout 60 wine "$CLI_EXE" --help 2>"$WORK/help.err" | tr -d '\r' >"$WORK/help.out"
if ip link add gw0 type veth peer name gw1 && ip link set gw1 up &&
   ip addr add 10.99.0.2/24 dev gw0 && ip link set gw0 up &&
   ip route add default via 10.99.0.1 dev gw0; then
  timeout 60 wine "$CLI_EXE" --portmap --hops --server1 127.0.0.2:34780 --json \
    >"$WORK/portmap.out" 2>"$WORK/portmap.err"
  echo "portmap_status=$?" >"$WORK/portmap.status"
  ip link del gw0
else
  echo "portmap_status=no veth pair" >"$WORK/portmap.status"
fi
stop_pids

# wine binds a socket for a particular address to that address's interface, so replies leave
# from the interface's first address: the server role gets 127.0.0.1, which is that address.
wine "$SERVER_EXE" --server1 127.0.0.1:34780 --server2 127.0.0.1:34790 --workers 1 \
  2>"$WORK/win-server.log" &
pids+=($!)
wait_udp_port 34790 100 || { echo "FAIL: gatewise-server.exe did not start"; exit 1; }
# A binding request of ours (type 0x0006); the answer (0x000c) carries the address it came from.
command -v python3 >/dev/null || { echo "no python3" >"$WORK/probe.out"; exit 0; }
timeout 10 python3 - >"$WORK/probe.out" 2>&1 <<'PY'
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
s.settimeout(3)
s.sendto(bytes([0x00, 0x06, 0x74, 0x77, 0x70, 0x02]), ("127.0.0.1", 34780))
reply, _ = s.recvfrom(2048)
print(reply[:2].hex(), reply[6:10].hex())
# A STUN Binding request from s with RESPONSE-PORT naming another socket's port: the success
# response (0x0101, the same transaction ID) must arrive there.
other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
other.bind(("127.0.0.1", 0))
other.settimeout(3)
tid = bytes(range(1, 13))
port = other.getsockname()[1].to_bytes(2, "big")
s.sendto(bytes([0x00, 0x01, 0x00, 0x08, 0x21, 0x12, 0xA4, 0x42]) + tid +
         bytes([0x00, 0x27, 0x00, 0x04]) + port + bytes(2), ("127.0.0.1", 34780))
reply, _ = other.recvfrom(2048)
print("response-port", reply[:2].hex(), reply[8:20] == tid)
PY
INNER
# None of this prefix's wine processes may outlive the tests above into the namespace's run.
end_wineserver
ROOT=$root WORK=$work LINUX_SERVER=$linux_build/server/gatewise-server CLI_EXE=$cli_exe \
  APP_DIR=$app_dir \
  SERVER_EXE=$server_exe timeout 300 unshare -n bash "$work/e2e.sh" || true

if grep -q '^cli_status=0$' "$work/cli.status" 2>/dev/null &&
   grep -q '"filter":{"code":1,"text":"OPEN"}' "$work/cli.out"; then
  ok "gatewise-cli.exe under wine finds OPEN against the Linux gatewise-server on loopback"
else
  bad "gatewise-cli.exe under wine against the Linux server"
  cat "$work/cli.status" "$work/cli.err" "$work/linux-server.log" 2>/dev/null | tail -20
fi
if [ -n "$app_dir" ]; then
  # The pictures stay in the build tree (docs/windows/ has two of them).
  rm -rf "$app_build/wine-shots"
  cp -r "$work/shots" "$app_build/wine-shots" 2>/dev/null || true
  if grep -q '^app_status=0$' "$work/app.status" 2>/dev/null &&
     grep -q 'NAT INCOMING PACKAGES FILTER :    OPEN' "$work/app-log.txt" 2>/dev/null; then
    ok "gatewise.exe under wine: a check from the window finds OPEN against the Linux server"
  else
    bad "gatewise.exe under wine against the Linux server"
    cat "$work/app.status" "$work/app.out" "$work/app-log.txt" 2>/dev/null | tail -30
  fi
  if grep -q 'NAT INCOMING PACKAGES FILTER :    OPEN' "$work/shots/result.txt" 2>/dev/null &&
     [ -s "$work/shots/result.png" ] && [ -s "$work/shots/main.png" ]; then
    ok "gatewise.exe under wine shows the result dialog; it and the main window photographed"
  else
    bad "gatewise.exe under wine: no result dialog, or no pictures of it and the main window"
  fi
  if tail -c 21 "$work/app/STUN.ini" 2>/dev/null | grep -qF 'FRIEND_IP=0.0.0.0'; then
    ok "gatewise.exe under wine: STUN Setting's OK saves STUN.ini beside the program"
  else
    bad "gatewise.exe under wine: STUN Setting's OK saved nothing beside the program"
  fi
fi
if grep -q '^stun_status=0$' "$work/stun.status" 2>/dev/null &&
   grep -q 'STUN SERVER :    SUPPORTS RFC 5780' "$work/stun.out"; then
  ok "gatewise-cli.exe --stun under wine completes the RFC 5780 tests against the Linux server"
else
  bad "gatewise-cli.exe --stun under wine"
  cat "$work/stun.status" "$work/stun.err" "$work/linux-stun-server.log" 2>/dev/null | tail -20
fi
# What the port-mapping check can ask in this build: UPnP only with a MinGW libminiupnpc (Debian
# has none), NAT-PMP and PCP always.
if grep -Eq '^(GATEWISE_MINIUPNPC_(LIBRARY|INCLUDE):[A-Z]+=.*NOTFOUND|GATEWISE_UPNP:BOOL=OFF)$' \
     "$win_build/CMakeCache.txt"; then
  protocols="NAT-PMP, PCP" protocols_text="NAT-PMP, PCP (this build has no UPnP)"
else
  protocols="NAT-PMP, PCP, UPnP" protocols_text="NAT-PMP, PCP, UPnP"
fi
if grep -qF "This build asks" "$work/help.out" &&
   grep -qxF "                   $protocols_text" "$work/help.out"; then
  ok "gatewise-cli.exe --help says which protocols the port-mapping check asks: $protocols_text"
else
  bad "gatewise-cli.exe --help does not say which protocols this build asks ($protocols_text)"
fi
# Debian has no c-ares for MinGW: the Windows build looks up no SRV records, and says so.
if grep -qF "(This build has no DNS SRV lookups: H is used as it is.)" "$work/help.out"; then
  ok "gatewise-cli.exe --help says this build has no SRV lookups"
else
  bad "gatewise-cli.exe --help does not say this build has no SRV lookups"
fi
# A gateway that answers nothing: no protocol present, the probes end within 3 s, exit 0; --hops
# says why it names no routers.
if grep -q '^portmap_status=0$' "$work/portmap.status" 2>/dev/null &&
   grep -q 'Routers on the path: this build cannot name them' "$work/portmap.out" &&
   tail -1 "$work/portmap.out" | jq -e --arg p "$protocols" '.portMapping.gateway == "10.99.0.1"
       and .portMapping.protocols == $p and .durationMs < 3000
       and ([.portMapping.upnp.present, .portMapping.natPmp.present, .portMapping.pcp.present]
            | any | not)' >/dev/null; then
  ok "gatewise-cli.exe --portmap --hops under wine finds the gateway, nothing present, within 3 s" \
     "($(tail -1 "$work/portmap.out" | jq .durationMs) ms)"
else
  bad "gatewise-cli.exe --portmap --hops under wine"
  cat "$work/portmap.status" "$work/portmap.err" "$work/portmap.out" 2>/dev/null | tail -20
fi
if grep -qx '000c 7f000001' "$work/probe.out" 2>/dev/null; then
  ok "gatewise-server.exe under wine answers a binding request on loopback"
elif grep -qx 'no python3' "$work/probe.out" 2>/dev/null; then
  echo "SKIP: no python3 to send gatewise-server.exe a binding request"
else
  bad "gatewise-server.exe under wine did not answer"
  cat "$work/probe.out" "$work/win-server.log" 2>/dev/null | tail -20
fi
if grep -qx 'response-port 0101 True' "$work/probe.out" 2>/dev/null; then
  ok "gatewise-server.exe under wine sends a STUN response to the RESPONSE-PORT asked for"
elif ! grep -qx 'no python3' "$work/probe.out" 2>/dev/null; then
  bad "gatewise-server.exe under wine did not answer at the RESPONSE-PORT"
  tail -5 "$work/probe.out" 2>/dev/null
fi
finish
