#!/usr/bin/env bash
# Builds everything (decoder, encoder, tests) and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_TESTS=ON -DQZR_BUILD_ENCODER=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" </dev/null
