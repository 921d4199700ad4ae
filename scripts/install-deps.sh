#!/usr/bin/env bash
# Installs what building and testing need on Debian 12. Safe to run again; quiet when all is there.
set -euo pipefail

packages=(build-essential cmake g++ pkg-config libgtest-dev libgmock-dev googletest
          libbenchmark-dev qt6-base-dev libgl-dev iproute2 procps nftables conntrack clang libclang-rt-14-dev
          coturn dpkg-dev lintian file man-db desktop-file-utils appstream libseccomp-dev)
[ "${1:-}" = "--gui-tools" ] && packages+=(xvfb xauth imagemagick x11-apps)
# The Windows build and its run under wine (scripts/windows-build.sh): only when asked, as wine
# is large. The posix thread model is the MinGW-w64 whose std::thread works.
[ "${1:-}" = "--windows" ] && packages+=(g++-mingw-w64-x86-64-posix wine wine64 python3)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
