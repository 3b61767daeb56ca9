#!/usr/bin/env bash
# Builds the decoder for the web with Debian's emscripten (installed with
# apt-get when missing) and puts the results in build-web/:
#   qzr.mjs, qzr.wasm   the ES module and its WebAssembly (SIMD)
#   qzr.d.ts, package.json
#   index.html          the viewer page, one file with the decoder inside
# The CMake build itself is build-web/cmake, emscripten's cache
# build-web/emscripten-cache.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v emcc >/dev/null && command -v emcmake >/dev/null || bash scripts/deps.sh emscripten
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
# WebAssembly SIMD (every current browser and Node.js 16 on) and its own
# exceptions, so that running out of memory is an error the caller gets, not
# the end of the module.
flags="-msimd128 -fwasm-exceptions"
emcmake cmake -S . -B "$out/cmake" -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_TESTS=OFF -DQZR_BUILD_ENCODER=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fwasm-exceptions" >/dev/null
cmake --build "$out/cmake" -j"$jobs" --target qzr_web_page
for f in qzr.mjs qzr.wasm qzr.d.ts package.json index.html; do
  cp "$out/cmake/web/$f" "$out/$f"
done
echo "build-web: $(cd "$out" && ls -l qzr.mjs qzr.wasm index.html | awk '{printf "%s %s bytes; ", $NF, $5}')"
