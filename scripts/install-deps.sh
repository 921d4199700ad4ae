#!/usr/bin/env bash
# Installs what building and testing need on Debian 12. Safe to run again; quiet when all is there.
set -euo pipefail

packages=(build-essential cmake g++ pkg-config libgtest-dev libgmock-dev googletest
          libbenchmark-dev qt6-base-dev libgl-dev iproute2 procps nftables conntrack clang libclang-rt-14-dev
          coturn dpkg-dev lintian file man-db desktop-file-utils appstream jq libseccomp-dev
          libminiupnpc-dev libc-ares-dev dnsmasq-base ccache
          prometheus-cpp-dev)
# dnsmasq-base is the SRV lab test's DNS server: the program alone (the package dnsmasq would
# start a DNS service on this machine).
[ "${1:-}" = "--gui-tools" ] && packages+=(xvfb xauth imagemagick x11-apps)
# The Windows build and its run under wine (scripts/windows-build.sh): only when asked, as wine
# is large. The posix thread model is the MinGW-w64 whose std::thread works. The desktop program's
# tests under wine need a virtual X server; zip makes the Windows zip (scripts/windows-zip.sh).
# Qt for MinGW-w64 is built from Debian's source by scripts/qt-mingw.sh, with qt6-base-dev-tools'
# moc, rcc and uic (above, through qt6-base-dev), and Ninja (cmake only suggests it).
[ "${1:-}" = "--windows" ] && packages+=(g++-mingw-w64-x86-64-posix wine wine64 python3 xvfb xauth zip
                                         qt6-base-dev-tools ninja-build)

. "$(dirname "$0")/lib.sh"  # INTEROP_DIR

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Debian's RFC 3489 STUN client and server (stun-client: stun, stun-server: stund) are the lab's
# interop partners (tests/lab/rfc3489_interop_test.sh). Installing stun-server would start stund on
# this machine (its maintainer script starts the service), so neither package is installed: both
# are downloaded and unpacked with dpkg-deb -x into INTEROP_DIR, which runs no maintainer script,
# registers nothing with dpkg and starts nothing. The tests take stun and stund from there.
# The port-mapping lab's router daemon is treated the same way: the package miniupnpd would ask
# debconf questions and enable and start its service on this machine; miniupnpd-nftables alone
# holds the program (nftables variant), whose libraries nftables has already brought.
# promtool, which checks gatewise-server's metrics page and the sample alert rules, comes in the
# package prometheus, whose maintainer script would start a Prometheus server here: unpacked too.
unpack=()
[ -x "$INTEROP_DIR/usr/bin/stun" ] || unpack+=(stun-client)
[ -x "$INTEROP_DIR/usr/sbin/stund" ] || unpack+=(stun-server)
[ -x "$INTEROP_DIR/usr/sbin/miniupnpd" ] || unpack+=(miniupnpd-nftables)
[ -x "$INTEROP_DIR/usr/bin/promtool" ] || unpack+=(prometheus)
[ ${#missing[@]} -eq 0 ] && [ ${#unpack[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ ${#unpack[@]} -gt 0 ]; then
  echo "Unpacking (not installing) into $INTEROP_DIR: ${unpack[*]}"
  debs=$(mktemp -d)
  trap 'rm -rf "$debs"' EXIT
  # As root, apt downloads as its own user, who must be able to write there.
  [ "$(id -u)" -eq 0 ] && { chown _apt "$debs" 2>/dev/null || true; }
  (cd "$debs" && apt-get download -qq "${unpack[@]}")
  $SUDO mkdir -p "$INTEROP_DIR"
  for deb in "$debs"/*.deb; do $SUDO dpkg-deb -x "$deb" "$INTEROP_DIR"; done
fi
