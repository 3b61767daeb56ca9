#!/usr/bin/env bash
# The web decoder's speed beside the native one, on a 3-MP photograph
# (2048 x 1536 from Debian's plasma-workspace-wallpapers, encoded by qzrenc
# at 1 and 2 bpp): qzr.decode in WebAssembly under Node.js and in headless
# Chromium (the viewer's worker), each timed inside the program, against
# native qzrdec as a whole process (hyperfine; on all cores and on one) and
# the native library's in-memory decode through the Python package on one
# core. Writes DATA/web/results.md.
# usage: bench/web.sh   (QZR_BENCH_RUNS, QZR_BUILD_DIR, QZR_BENCH_DATA as for compare.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source bench/common.sh
bench_dirs
runs=${QZR_BENCH_RUNS:-15}
out=$data/web
mkdir -p "$out"
bash scripts/deps.sh hyperfine libjpeg-turbo-progs
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target qzrdec qzrenc >/dev/null
[[ -f build-web/qzr.mjs ]] || bash scripts/build-web.sh
python=/usr/bin/python3
if [[ ! -f build-py/python/qzr/__init__.py ]]; then bash scripts/python-test.sh >/dev/null; fi
fetch_wallpapers "$data"
djpeg -pnm "$pkg/usr/share/wallpapers/Path/contents/images/2560x1600.jpg" >"$out/path.ppm"
python3 bench/mirror_tile.py crop "$out/path.ppm" "$out/3mp.ppm" 2048 1536
pictures=()
for rate in 1 2; do
  "$build/tools/qzrenc" --force --bpp "$rate" "$out/3mp.ppm" "$out/3mp-${rate}bpp.qzr" >/dev/null
  pictures+=("$out/3mp-${rate}bpp.qzr")
done

cd "$out"
results=$out/results.md
{
  echo "# The web decoder beside the native one"
  echo
  echo "2048 x 1536 (3.1 MP), $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores; median of $runs."
  echo
  echo "| picture | qzrdec, process, $(nproc) cores | qzrdec, process, 1 core | library in memory, 1 core | Node.js $(node --version), SIMD | plain | Chromium $(chromium --version 2>/dev/null | awk '{print $2}'), SIMD | plain | Node.js SIMD / library | Chromium SIMD / library |"
  echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
} >"$results"
web=$(node "$root/bench/web_decode.mjs" "$root/build-web" "$runs" "${pictures[@]}")
for p in "${pictures[@]}"; do
  name=$(basename "$p")
  hyperfine -N --warmup 2 --runs "$runs" --export-json times.json \
    "$build/qzrdec $p out.bmp" "taskset -c 0 $build/qzrdec $p out.bmp" >/dev/null </dev/null
  read -r all one < <(python3 -c 'import json; print(*["%.1f" % (x["median"] * 1000) for x in json.load(open("times.json"))["results"]])')
  lib=$(PYTHONPATH=$root/build-py/python taskset -c 0 "$python" - "$p" "$runs" <<'PY'
import statistics, sys, time
import qzr
data = open(sys.argv[1], "rb").read()
times = []
for i in range(int(sys.argv[2]) + 2):
    t = time.perf_counter()
    qzr.decode(data)
    times.append((time.perf_counter() - t) * 1000)
print(f"{statistics.median(times[2:]):.1f}")
PY
)
  ms() { awk -v p="$1" -v f="$2" -v n="$name" '$1 == p && $2 == f && $3 == n {print $7}' <<<"$web"; }
  ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }
  node_ms=$(ms node simd) chrome_ms=$(ms chromium simd)
  echo "| $name | $all ms | $one ms | $lib ms | $node_ms ms | $(ms node plain) ms | $chrome_ms ms | $(ms chromium plain) ms | $(ratio "$node_ms" "$lib") | $(ratio "$chrome_ms" "$lib") |" >>"$results"
done
echo >>"$results"
echo "First decode in a fresh module (compiling included): $(awk '{printf "%s %s %s %s ms; ", $1, $2, $3, $5}' <<<"$web")" >>"$results"
cat "$results"
