#!/usr/bin/env bash
# Builds the decoder for the web with Debian's emscripten (installed with
# apt-get when missing) and puts the results in build-web/:
#   qzr.mjs, qzr.wasm   the ES module and its WebAssembly (SIMD);
#   qzr-plain.wasm      the same without SIMD, which qzr.mjs loads where SIMD is missing
#   qzr.d.ts, package.json
#   index.html          the viewer page, one file with the decoder inside
# The CMake builds themselves are build-web/cmake and cmake-plain, emscripten's cache
# build-web/emscripten-cache.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v emcc >/dev/null && command -v emcmake >/dev/null || bash scripts/deps.sh build web
jobs=$(nproc 2>/dev/null || echo 2)
out=build-web
mkdir -p "$out"
# Debian's emscripten has its system libraries built in a frozen cache; this
# build needs their variants for WebAssembly exceptions too, which emscripten
# builds (a few minutes, once) into a cache of its own seeded from Debian's.
# emcc runs on Debian's python3.
export EM_CACHE=${EM_CACHE:-$PWD/$out/emscripten-cache} EM_FROZEN_CACHE="" EMSDK_PYTHON=/usr/bin/python3
# Its JavaScript tools need Debian's node-acorn, which a Node.js of another origin does
# not look for.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
if [[ ! -d $EM_CACHE/sysroot ]]; then
  rm -rf "$EM_CACHE"
  cp -rs /usr/share/emscripten/cache "$EM_CACHE"  # Debian's files as links; what is built is added
  rm -f "$EM_CACHE/cache.lock"
fi
# Two builds of the same code: with WebAssembly SIMD (the SSE2 forms map
# onto it), and plain, for where SIMD is missing; both with WebAssembly
# exceptions, so that running out of memory is an error the caller gets, not
# the end of the module. The plain build's JavaScript must be the same as the
# SIMD build's, so that qzr.mjs can load either qzr.wasm or qzr-plain.wasm.
build() { # dir flags [cmake options]
  local dir=$1 flags=$2
  shift 2
  emcmake cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_TESTS=OFF -DQZR_BUILD_ENCODER=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fwasm-exceptions" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" --target qzr_web_all
}
build "$out/cmake" "-msimd128 -msse2 -fwasm-exceptions"
build "$out/cmake-plain" "-fwasm-exceptions" -DQZR_WEB_PLAIN=ON
cmp -s "$out/cmake/web/qzr.mjs" "$out/cmake-plain/web/qzr.mjs" ||
  { echo "build-web: the SIMD and plain builds' qzr.mjs differ; one cannot load the other's WebAssembly" >&2; exit 1; }
for f in qzr.mjs qzr.wasm qzr.d.ts package.json; do
  cp "$out/cmake/web/$f" "$out/$f"
done
cp "$out/cmake-plain/web/qzr.wasm" "$out/qzr-plain.wasm"
cmake -DTEMPLATE=web/index.html -DWORKER=web/worker.js -DDECODER="$out/cmake/web/qzr-single.js" \
  -DDECODER_PLAIN="$out/cmake-plain/web/qzr-single-plain.js" -DOUT="$out/index.html" -P web/inline.cmake
echo "build-web: $(cd "$out" && ls -l qzr.mjs qzr.wasm qzr-plain.wasm index.html | awk '{printf "%s %s bytes; ", $NF, $5}')"
