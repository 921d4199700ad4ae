#!/usr/bin/env bash
# Makes the Windows zip, gatewise-windows-VERSION.zip: gatewise.exe, gatewise-cli.exe,
# gatewise-server.exe, the DLLs the desktop program needs (Qt's Core, Gui and Widgets, the
# Windows platform plugin in platforms/, the native style in styles/, the MinGW C++ runtime), all
# stripped, and a README.txt. Builds what it needs: the Qt for MinGW-w64 cache when missing
# (scripts/qt-mingw.sh, about 30 minutes once), the command-line programs (build/win, static) and
# the desktop program (build/win-app). Then checks the folder: exactly those DLLs, and every DLL
# that any of its files imports is either one of them or one every Windows has.
#   scripts/windows-zip.sh [OUT_DIR]     (default build/; prints the zip's path)
# Needs scripts/install-deps.sh --windows (MinGW-w64, zip).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib.sh"
out=${1:-$root/build}
win_build=$root/build/win
app_build=$root/build/win-app

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump x86_64-w64-mingw32-strip zip; do
  command -v "$tool" >/dev/null || { echo "windows-zip: $tool is missing (scripts/install-deps.sh --windows)" >&2; exit 1; }
done
qt=$("$root/scripts/qt-mingw.sh")
win_configure "$root" "$win_build"
cmake --build "$win_build" -j"$(nproc)" --target gatewise-cli gatewise-server >/dev/null
win_configure "$root" "$app_build" "$qt"
cmake --build "$app_build" -j"$(nproc)" --target gatewise >/dev/null

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$app_build/CMakeCache.txt")
name=gatewise-windows-$version
stage=$out/$name
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage/platforms" "$stage/styles"
# The desktop program's folder holds it and the DLLs beside it (app/CMakeLists.txt stages them).
app_dir=$app_build/app
cp "$app_dir"/gatewise.exe "$app_dir"/*.dll "$stage/"
cp "$app_dir"/platforms/qwindows.dll "$stage/platforms/"
cp "$app_dir"/styles/qwindowsvistastyle.dll "$stage/styles/"
cp "$win_build/cli/gatewise-cli.exe" "$win_build/server/gatewise-server.exe" "$stage/"
find "$stage" \( -name '*.exe' -o -name '*.dll' \) -exec x86_64-w64-mingw32-strip --strip-unneeded {} +
# Notepad's line ends.
sed 's/$/\r/' "$root/packaging/windows/README.txt" | sed "s/@VERSION@/$version/" >"$stage/README.txt"

# What the folder may hold, and what every Windows that Qt 6 runs on (10 and later) has in
# System32, so it need not be shipped: the system's DLLs and its API sets (api-ms-win-core-*,
# which the loader maps onto them). A new import of Qt's or ours fails here until it is named in
# one list or the other.
shipped=(Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libstdc++-6.dll libgcc_s_seh-1.dll
         libwinpthread-1.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll)
system_dlls='^(kernel32|user32|gdi32|shell32|ole32|oleaut32|advapi32|comdlg32|imm32|winmm|ws2_32|iphlpapi|bcrypt|msvcrt|uxtheme|dwmapi|version|netapi32|userenv|d3d9|d3d11|dxgi|dwrite|shlwapi|wtsapi32|mpr|authz|shcore|api-ms-win-core-[a-z0-9-]+)\.dll$'
present=$(cd "$stage" && find . -iname '*.dll' | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
expected=$(printf '%s\n' "${shipped[@]}" | LC_ALL=C sort | tr '\n' ' ')
problems=()
[ "$present" = "$expected" ] || problems+=("the folder holds DLLs '$present', not '$expected'")
top=$(find "$stage" -maxdepth 1 -iname '*.dll' -printf '%f\n' | tr '[:upper:]' '[:lower:]')
while IFS= read -r file; do
  for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' |
               tr '[:upper:]' '[:lower:]'); do
    # A DLL is looked for beside the program that loads it (plugins load into gatewise.exe).
    grep -qxF "$dll" <<<"$top" || grep -Eq "$system_dlls" <<<"$dll" ||
      problems+=("${file#"$stage"/} imports $dll, neither shipped nor a system DLL")
  done
done < <(find "$stage" -name '*.exe' -o -name '*.dll')
if [ ${#problems[@]} -gt 0 ]; then
  printf 'windows-zip: %s\n' "${problems[@]}" >&2
  exit 1
fi
(cd "$out" && zip -qr9 "$name.zip" "$name")
echo "$out/$name.zip"
