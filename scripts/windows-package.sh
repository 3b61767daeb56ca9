#!/usr/bin/env bash
# Builds the Windows installer, build-windows/qzr-VERSION-setup.exe: the
# MinGW-w64 cross build of qzrdec.exe, qzrenc.exe, qzr.exe and the WIC
# decoder qzr_wic.dll, the manual pages as text, all packed by Debian's NSIS.
# Installs the cross compiler, zlib for MinGW, CLI11, groff and NSIS with
# apt-get when missing.
# usage: windows-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build g++-mingw-w64-x86-64 libz-mingw-w64-dev libcli11-dev groff-base nsis

build=build-windows
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target qzrdec qzrenc qzr_tool qzr_wic >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n $version ]] || { echo "windows-package: no project version in $build/CMakeCache.txt"; exit 1; }

# The manual pages as plain text with Windows line ends.
docs=$build/installer-docs
rm -rf "$docs"
mkdir -p "$docs"
for page in man/*.1; do
  name=$(basename "$page" .1)
  GROFF_NO_SGR=1 groff -man -Tutf8 -P-cbou "$page" | sed 's/$/\r/' >"$docs/$name.txt"
done

out=$build/qzr-$version-setup.exe
makensis -V2 -NOCD -DVERSION="$version" -DBUILD="$build" -DDOCS="$docs" -DOUTFILE="$out" \
  windows/installer/qzr.nsi
echo "windows-package: $out ($(du -k "$out" | cut -f1) KiB)"
