#!/usr/bin/env bash
# Builds the decoder and decodes the bundled sample into build/astronaut.bmp.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_TESTS=OFF
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target qzrdec
cd build
./qzrdec ../samples/astronaut.qzr astronaut.bmp
