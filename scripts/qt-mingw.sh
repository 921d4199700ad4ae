#!/usr/bin/env bash
# Cross-builds the part of Qt 6 the desktop program needs (Core, Gui, Widgets, Test and the
# Windows platform plugin) for 64-bit Windows with MinGW-w64, once, into a cache outside the clone,
# and prints the cache's prefix. Debian ships no Qt for MinGW: the source is Debian's own qt6-base,
# the same version as qt6-base-dev, whose host tools (moc, rcc, uic in qt6-base-dev-tools) the
# cross build uses through QT_HOST_PATH.
#
#   scripts/qt-mingw.sh            builds when the cache is missing or incomplete; prints the prefix
#   scripts/qt-mingw.sh --print    prints the prefix only when a complete cache is there (exit 1 if not)
#
# The cache is keyed by everything the build depends on: the Debian source version, the MinGW
# compiler and runtime package versions, the host tools' version and this script. The build goes
# into a temporary directory that is renamed into place when complete; the stamp file written last
# holds the key, so a half-made or stale directory is never taken for a cache.
# GATEWISE_QT_CACHE overrides the cache root (default /var/cache/gatewise). About 30 minutes on
# 2 cores, 800 MB of memory at the peak, 82 MB installed.
set -euo pipefail
# The whole script is one brace group, read before anything runs: bash reads a script as it goes,
# so a checkout that changed this file during the half-hour build broke the run at its end (and
# the EXIT trap threw the finished build away).
{
cd "$(dirname "$0")/.."
root=$(pwd)

version=6.4.2
cache_root=${GATEWISE_QT_CACHE:-/var/cache/gatewise}

pkgver() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo none; }
host_tools=$(pkgver qt6-base-dev-tools)
case $host_tools in
  "$version"+*) ;;
  *) echo "qt-mingw: qt6-base-dev-tools is '$host_tools', must be $version (scripts/install-deps.sh)" >&2
     exit 1 ;;
esac
# Notes on the options, each learnt from a failed build:
#   INPUT_opengl=no      FEATURE_opengl=OFF alone leaves dynamic GL on and the plugin fails to compile
#   direct2d stays on    the Windows plugin's DirectWrite font database is built only with it
#   tabletevent=OFF      the Debian tarball leaves out the wintab sources
#   androiddeployqt=OFF  a Debian patch builds it when cross-compiling
# Optimised for size (-Os): smaller DLLs and a shorter build; a window that shows a log is no
# faster at -O2. The program reads PNG only (built into Gui): no JPEG, GIF or ICO plugins. The one
# source change, made before configuring: the Direct2D platform plugin (the Windows plugin's
# sources compiled a second time, a tenth of the build) is left out; nothing loads it.
qt_options=(
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_direct2d=ON
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_vulkan=OFF
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_icu=OFF
  -DFEATURE_zstd=OFF -DFEATURE_glib=OFF -DFEATURE_testlib=ON
  -DFEATURE_tabletevent=OFF -DFEATURE_androiddeployqt=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF -DFEATURE_optimize_size=ON
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF
  -DFEATURE_system_jpeg=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_doubleconversion=OFF
)
key=$(printf '%s\n' "qt6-base $host_tools" "gcc $(pkgver g++-mingw-w64-x86-64-posix)" \
        "runtime $(pkgver mingw-w64-x86-64-dev)" \
        "options ${qt_options[*]}" "source without the direct2d platform plugin")
tag=$(printf '%s' "$key" | sha256sum | cut -c1-12)
prefix=$cache_root/qt6-mingw-$version-$tag
stamp=$prefix/gatewise-qt.stamp

complete() { [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; }
if complete; then
  echo "$prefix"
  exit 0
fi
[ "${1:-}" = "--print" ] && exit 1

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO mkdir -p "$cache_root"
$SUDO chown "$(id -u):$(id -g)" "$cache_root"
# One build at a time: a second caller (the test command's Windows stage, while the build it
# began at its start still runs) waits here for the first and then finds the cache complete.
exec 9>"$cache_root/.lock"
if ! flock -n 9; then
  echo "qt-mingw: waiting for the build already running" >&2
  flock -w 5400 9 || { echo "qt-mingw: the other build still runs after 90 minutes" >&2; exit 1; }
fi
if complete; then
  echo "$prefix"
  exit 0
fi
work=$(mktemp -d "$cache_root/.build.XXXXXX")
chmod 755 "$work"  # apt's download user must reach its lists inside
# A failed build leaves its log beside the cache; the half-made tree goes.
trap 'cp "$work"/*.log "$cache_root/" 2>/dev/null; rm -rf "$work"' EXIT
start=$(date +%s)

echo "qt-mingw: fetching Debian's qt6-base $host_tools source" >&2
# A private apt state with one deb-src entry for the mirror and suite the machine already uses:
# the machine's own sources and package lists stay as they are.
mirror=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
[ -n "$mirror" ] || { echo "qt-mingw: no Debian mirror found in the apt sources" >&2; exit 1; }
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
mkdir -p "$work/apt/lists/partial" "$work/src"
echo "deb-src $mirror $suite main" >"$work/apt/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
          -o "Dir::State::Lists=$work/apt/lists" -o "Debug::NoLocking=1")
# As root, apt downloads as its own user, who must be able to write there.
[ "$(id -u)" -eq 0 ] && chown -R _apt "$work/apt/lists" "$work/src" 2>/dev/null || true
apt-get "${apt_opts[@]}" update -qq
(cd "$work/src" && apt-get "${apt_opts[@]}" source -qq "qt6-base=$host_tools" >/dev/null)
src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base*' | head -1)
[ -n "$src" ] || { echo "qt-mingw: the source did not unpack" >&2; exit 1; }

platforms=$src/src/plugins/platforms/CMakeLists.txt
grep -Eq '^[[:space:]]*add_subdirectory\(direct2d\)' "$platforms" ||
  { echo "qt-mingw: $platforms has no add_subdirectory(direct2d) to leave out" >&2; exit 1; }
sed -Ei 's/^([[:space:]]*)add_subdirectory\(direct2d\)/\1# &/' "$platforms"

echo "qt-mingw: configuring (MinGW-w64, shared, Core/Gui/Widgets/Test only)" >&2
cmake -G Ninja -S "$src" -B "$work/build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_CROSSCOMPILING_EMULATOR= \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$prefix" "${qt_options[@]}" \
  >"$work/configure.log" 2>&1 || { tail -40 "$work/configure.log" >&2; exit 1; }

echo "qt-mingw: building (about 30 minutes on 2 cores)" >&2
cmake --build "$work/build" -j"$(nproc)" >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log" >&2; exit 1; }
# Installed under DESTDIR, so the files name the cache's own prefix, then renamed into place.
DESTDIR=$work/dest cmake --install "$work/build" >/dev/null
rm -rf "$prefix"
mv "$work/dest$prefix" "$prefix"
printf '%s' "$key" >"$stamp"
echo "qt-mingw: built in $(( ($(date +%s) - start) / 60 )) min into $prefix" >&2
echo "$prefix"
exit
}
