#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a small outside program
# against it twice, through the CMake package and through pkg-config; both
# must decode the sample to the bytes qzrdec writes. Works for the static
# library (the default) and for a build with -DQZR_SHARED=ON.
# usage: install-test.sh [BUILD_DIR]   (default: build, configured and built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
jobs=$(nproc 2>/dev/null || echo 2)
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j"$jobs" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/qzrdec bin/qzrenc bin/qzr include/qzr/qzr.h include/qzr/decode.h include/qzr/encode.h share/man/man1/qzr.1 share/man/man1/qzrdec.1 share/man/man1/qzrenc.1; do
  [[ -f $prefix/$f ]] || { echo "install-test: $f was not installed"; exit 1; }
done
lib=$(find "$prefix" -name 'libqzr.a' -o -name 'libqzr.so' | head -1)
for part in decoder encoder; do
  find "$prefix" -name "libqzr_$part.a" -o -name "libqzr_$part.so" | grep -q . ||
    { echo "install-test: no $part library was installed"; exit 1; }
done
[[ -n $lib ]] || { echo "install-test: no library was installed"; exit 1; }
libdir=$(dirname "$lib")
[[ -f $libdir/pkgconfig/qzr.pc && -f $libdir/cmake/qzr/qzrConfig.cmake ]] ||
  { echo "install-test: no pkg-config file or CMake package beside $lib"; exit 1; }

sample=$root/samples/astronaut.qzr
(cd "$work" && "$prefix/bin/qzrdec" "$sample" expected.bmp </dev/null >/dev/null)

consumer=$root/tests/install/consumer
cmake -S "$consumer" -B "$work/by-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/by-cmake" >/dev/null
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046 # the flags are separate words
g++ -std=c++20 -O2 "$consumer/consumer.cc" -o "$work/by-pkg-config" $(pkg-config --cflags --libs qzr)

# The build tree as a CMake package, without installing.
cmake -S "$consumer" -B "$work/by-build-tree" -Dqzr_DIR="$(cd "$build" && pwd)" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/by-build-tree" >/dev/null

for way in by-cmake/consumer by-pkg-config by-build-tree/consumer; do
  # A shared library is found as an installed one would be, through the
  # loader's path (pkg-config sets no run path).
  LD_LIBRARY_PATH=$libdir "$work/$way" "$sample" "$work/got.bmp" >/dev/null
  cmp -s "$work/got.bmp" "$work/expected.bmp" || { echo "install-test: $way gives other bytes than qzrdec"; exit 1; }
  echo "install-test: the program built $way against $(basename "$lib") decodes the sample to qzrdec's bytes"
done

# The decoder library alone (qzr::decoder) gives qzrdec's pixels; the
# sample's rows need no padding in a BMP file.
"$work/by-cmake/decode_only" "$sample" "$work/pixels.raw"
cmp -s "$work/pixels.raw" <(tail -c +55 "$work/expected.bmp") ||
  { echo "install-test: qzr::decoder alone gives other pixels than qzrdec"; exit 1; }
echo "install-test: a C program linked to qzr::decoder alone gives qzrdec's pixels"

# The C API from a C99 program built with pkg-config alone.
# shellcheck disable=SC2046
gcc -std=c99 -Wall -Wextra -Werror -pedantic "$root/tests/c_api/c_api_test.c" -o "$work/c-by-pkg-config" \
  $(pkg-config --cflags --libs qzr)
LD_LIBRARY_PATH=$libdir "$work/c-by-pkg-config" "$sample" "$root/samples/coffee.qzr" >/dev/null ||
  { echo "install-test: the C program fails against $(basename "$lib")"; exit 1; }
echo "install-test: a C99 program built by pkg-config against $(basename "$lib") passes its checks of the C API"

# A shared library exports the public API alone: the C functions and the
# C++ header's functions (the decoder's decode_buffer, decode_file, decode,
# check, salvage, to_bmp and Failure::message; encode in the encoder).
if [[ $lib == *.so ]]; then
  for name in libqzr libqzr_decoder libqzr_encoder; do
    real=$(readlink -f "$libdir/$name.so")
    soname=$(objdump -p "$real" | awk '$1 == "SONAME" {print $2}')
    [[ $soname == $name.so.1 ]] || { echo "install-test: $name: soname $soname, not $name.so.1"; exit 1; }
    others=$(nm -D --defined-only "$real" | awk '{print $3}' | c++filt |
      grep -vE '^qzr_[a-z_]+$|^qzr::(decode_buffer|decode_file|decode|check|salvage|to_bmp|encode)(\[abi:cxx11\])?\(|^qzr::Failure::message(\[abi:cxx11\])?\(\) const$' || true)
    if [[ -n $others ]]; then
      echo "install-test: $(basename "$real") exports more than the public API:"
      echo "$others" | head -20
      exit 1
    fi
    echo "install-test: $(basename "$real") (soname $soname) exports only the public API"
  done
fi
