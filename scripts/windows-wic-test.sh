#!/usr/bin/env bash
# Tests qzr_wic.dll (the WIC decoder and the Explorer thumbnail provider)
# under Wine: registers it with regsvr32 in a fresh Wine prefix, runs
# windows/tests/test_wic.py (WIC's pixels against qzrdec's, damaged files,
# thumbnails), then unregisters it and checks that the registry is as it
# was, a value of another program's in the shared .qzr key included.
# Cross-builds build-windows/ (qzr_wic and wic_test) and the Linux qzrdec
# when needed; installs MinGW-w64, Wine and the Python packages with
# apt-get when missing.
# usage: windows-wic-test.sh [--installed] [LINUX_BUILD_DIR]   (default: build)
#   --installed: the DLL is already registered (by the installer) in the
#   Wine prefix WINEPREFIX names; it is neither registered nor removed here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
installed=0
if [[ ${1:-} == --installed ]]; then
  installed=1
  shift
  [[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]] || { echo "windows-wic-test: --installed needs WINEPREFIX"; exit 1; }
fi
linux=$root/${1:-build}
started=$SECONDS

bash scripts/deps.sh build g++-mingw-w64-x86-64 wine64 python3-pytest python3-pil python3-numpy
wine=$(command -v wine64 || true)
[[ -n $wine ]] || wine=/usr/lib/wine/wine64  # Debian's wine64 keeps its loader there
[[ -x $wine ]] || { echo "windows-wic-test: no wine64 loader"; exit 1; }
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# An existing cross build keeps its options; a new one builds no more than
# the DLL and its test program need.
if [[ -f build-windows/CMakeCache.txt ]]; then
  cmake -S . -B build-windows -DQZR_BUILD_WIC_TEST=ON >/dev/null
else
  cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DQZR_BUILD_TESTS=OFF -DQZR_BUILD_ENCODER=OFF -DQZR_BUILD_WIC_TEST=ON >/dev/null
fi
cmake --build build-windows -j2 --target qzr_wic wic_test >/dev/null
if [[ ! -x $linux/qzrdec ]]; then
  cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$linux" -j2 --target qzrdec >/dev/null
fi
echo "windows-wic-test: built after $((SECONDS - started)) s"

work=$(mktemp -d)
cleanup() {
  if ((!installed)); then
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
  fi
  rm -rf "$work" 2>/dev/null || rm -rf "$work" || true
}
trap cleanup EXIT
((installed)) || export WINEPREFIX=$work/prefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
failed=0
fail() {
  echo "windows-wic-test: FAIL: $*"
  failed=$((failed + 1))
}
win() { timeout 120 "$wine" "$@" </dev/null; }
dll="Z:$(tr / '\\' <<<"$root/build-windows/windows/qzr_wic.dll")"
machine_classes='HKLM\Software\Classes'

# The parts of the registry registration writes to, as text, for before and
# after (Wine adds keys of its own elsewhere as it runs).
snapshot() {
  local part=0
  for key in 'HKLM\Software\Classes' 'HKLM\Software\Microsoft\Windows\CurrentVersion'; do
    part=$((part + 1))
    win reg export "$key" "Z:$(tr / '\\' <<<"$1.$part")" /y >/dev/null 2>&1 || fail "reg export $key failed"
  done
  cat "$1".[12] >"$1"
}

if ((!installed)); then
  win wineboot -i >/dev/null 2>&1 || true
  # Another program's type for .qzr, there first: registration must leave it.
  win reg add "$machine_classes\\.qzr" /ve /d Other.Picture /f >/dev/null 2>&1
  snapshot "$work/before.reg"
  win regsvr32 /s "$dll" || fail "regsvr32 failed: status $?"
  for key in 'CLSID\{ED6DD63D-67FF-45F4-A101-6A84E5EAF296}\Patterns\0' \
    'CLSID\{7ED96837-96F0-4812-B211-F13C24117ED3}\Instance\{ED6DD63D-67FF-45F4-A101-6A84E5EAF296}' \
    'CLSID\{4A6BE845-D446-46FF-856C-FCB187FBA676}\InprocServer32' \
    '.qzr\ShellEx\{e357fccd-a995-4576-b01f-234630154e96}' 'QZR.Image' 'MIME\Database\Content Type\image/x-qzr'; do
    win reg query "$machine_classes\\$key" >/dev/null 2>&1 || fail "no key $key after registration"
  done
  win reg query "$machine_classes\\.qzr" /ve 2>/dev/null | grep -q Other.Picture ||
    fail "registration took over .qzr from the program that had it"
  echo "windows-wic-test: registered after $((SECONDS - started)) s"
fi

WINE=$wine WIC_TEST=$root/build-windows/windows/wic_test.exe QZRDEC=$linux/qzrdec \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider windows/tests || fail "the WIC tests"
echo "windows-wic-test: WIC tests done after $((SECONDS - started)) s"

if ((!installed)); then
  win regsvr32 /s /u "$dll" || fail "regsvr32 /u failed: status $?"
  snapshot "$work/after.reg"
  if ! cmp -s "$work/before.reg" "$work/after.reg"; then
    fail "the registry after unregistration is not as it was:"
    diff <(iconv -f UTF-16LE -t UTF-8 "$work/before.reg") <(iconv -f UTF-16LE -t UTF-8 "$work/after.reg") | head -20
  fi
  echo "windows-wic-test: unregistration leaves the registry as it was"
fi

echo "windows-wic-test: $((SECONDS - started)) s in all"
if ((failed)); then
  echo "windows-wic-test: $failed failed"
  exit 1
fi
echo "windows-wic-test: passed"
