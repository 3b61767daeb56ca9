#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 60), keeping its corpus in fuzz/corpus/TARGET (seeded from fuzz/seeds/TARGET
# when that exists). Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(decode_file lzari plane lzari_diff codes_diff synthesis_diff colour_bmp_diff c_api salvage)
bash scripts/deps.sh build clang libclang-rt-14-dev
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZR_BUILD_FUZZ=ON \
  -DQZR_BUILD_TESTS=OFF -DQZR_BUILD_ENCODER=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  mkdir -p "$corpus"
  seeds=()
  [[ -d fuzz/seeds/$t ]] && seeds=("fuzz/seeds/$t")
  echo "fuzzing $t for ${seconds}s"
  build-fuzz/fuzz/${t}_fuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
    -artifact_prefix="build-fuzz/$t-" -print_final_stats=1 "$corpus" "${seeds[@]}" 2>&1 |
    grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' || true
  # A crash leaves an artifact; that fails the run.
  if compgen -G "build-fuzz/$t-*" >/dev/null; then
    echo "fuzz target $t found a failure: $(ls build-fuzz/$t-*)"
    exit 1
  fi
done
