#!/usr/bin/env bash
# Cross-builds everything for 64-bit Arm (aarch64, little-endian) and IBM Z
# (s390x, big-endian) with Debian's cross compilers and runs it under
# qemu-user: the unit tests, the process tests and the fuzz replays through
# ctest, then every test file decoded by the cross-built qzrdec beside the
# native one (the same transcript, exit status and files, byte for byte),
# and the encoder's bytes compared the same way.
# Installs the cross compilers and qemu-user with apt-get when missing.
# usage: cross-test.sh [NATIVE_BUILD_DIR [ARCH...]]   (default: build aarch64 s390x)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
native=$root/${1:-build}
shift || true
arches=("$@")
((${#arches[@]})) || arches=(aarch64 s390x)
jobs=$(nproc 2>/dev/null || echo 2)
started=$SECONDS

packages=(qemu-user libgtest-dev)
for a in "${arches[@]}"; do packages+=("g++-$a-linux-gnu"); done
bash scripts/deps.sh build tests "${packages[@]}"
if [[ ! -x $native/qzrdec || ! -x $native/tools/qzrenc ]]; then
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$native" -j"$jobs" >/dev/null
fi

# The test files: the bundled samples, the outside conformance files when
# they are beside the project, and the decoder's fuzz seeds and findings
# (damaged files among them).
inputs=("$root"/samples/*.qzr "$root"/fuzz/seeds/decode_file/*)
[[ -d $root/fuzz/regressions/decode_file ]] && inputs+=("$root"/fuzz/regressions/decode_file/*)
[[ -d $root/../shared/conformance ]] && inputs+=("$root"/../shared/conformance/*.qzr)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "cross-test: FAIL: $*"
  failed=$((failed + 1))
}

# run DIR PROGRAM INPUT: decodes INPUT in a fresh DIR; leaves the transcript
# (decode time masked), the status and the files there.
run() {
  mkdir -p "$1/files"
  local rc=0
  (cd "$1/files" && timeout 300 "$2" "$3" out.bmp </dev/null >../out 2>&1) || rc=$?
  sed -i -E 's/time: -?[0-9]+ ms/time: N ms/' "$1/out"
  echo "$rc" >"$1/status"
}

for arch in "${arches[@]}"; do
  build=$root/build-$arch
  echo "== cross-test: $arch"
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/$arch-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DQZR_BUILD_TESTS=ON >"$work/$arch-configure.log" 2>&1 || { cat "$work/$arch-configure.log"; exit 1; }
  cmake --build "$build" -j"$jobs" >/dev/null
  if ctest --test-dir "$build" --output-on-failure -j"$jobs" </dev/null >"$work/$arch-ctest.log" 2>&1; then
    grep -E 'tests passed' "$work/$arch-ctest.log"
  else
    fail "$arch: the test suite under qemu:"
    grep -E '\*\*\*|Failure|FAILED' "$work/$arch-ctest.log" | head -30
  fi

  emulated=$build/emulated/qzrdec  # the tests' own script that runs qzrdec under qemu
  n=0
  for f in "${inputs[@]}"; do
    n=$((n + 1))
    run "$work/$arch/$n/native" "$native/qzrdec" "$f"
    run "$work/$arch/$n/cross" "$emulated" "$f"
    if ! diff -r "$work/$arch/$n/native" "$work/$arch/$n/cross" >/dev/null; then
      fail "$arch: $f decodes otherwise"
      diff -r "$work/$arch/$n/native" "$work/$arch/$n/cross" | head -5
    fi
  done
  echo "cross-test: $arch: $n files decode as on this machine, byte for byte"

  # The encoder writes the same bytes from the same picture.
  bmp=$work/$arch/1/native/files/out.bmp
  for opts in "" "--bpp 1" "--quality 30 --levels 3"; do
    # shellcheck disable=SC2086 # the options are separate words
    "$native/tools/qzrenc" --force $opts "$bmp" "$work/enc-native.qzr" >/dev/null
    # shellcheck disable=SC2086
    "$build/emulated/qzrenc" --force $opts "$bmp" "$work/enc-cross.qzr" >/dev/null || fail "$arch: qzrenc $opts failed"
    cmp -s "$work/enc-native.qzr" "$work/enc-cross.qzr" || fail "$arch: qzrenc $opts writes other bytes"
  done
  echo "cross-test: $arch: qzrenc writes this machine's bytes"
done

echo "cross-test: $((SECONDS - started)) s in all"
if ((failed)); then
  echo "cross-test: $failed failed"
  exit 1
fi
