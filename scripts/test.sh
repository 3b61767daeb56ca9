#!/usr/bin/env bash
# Builds everything (decoder, encoder, tests) and runs the whole test suite:
# the Release build, the same suite under AddressSanitizer and UBSan, and a
# short run of each fuzz target. QZR_TEST_QUICK=1 runs the Release build only.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_TESTS=ON -DQZR_BUILD_ENCODER=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" </dev/null
[[ ${QZR_TEST_QUICK:-0} == 1 ]] && exit 0

echo "== the suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZR_SANITIZE=ON -DQZR_BUILD_TESTS=ON \
  -DQZR_BUILD_ENCODER=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" </dev/null

echo "== fuzz smoke"
bash scripts/fuzz.sh "${QZR_FUZZ_SECONDS:-60}"
