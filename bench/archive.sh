#!/usr/bin/env bash
# Converts a folder of real photographs, as QZR files, to PNG with qzr
# convert at -j 1 and -j 2, side by side with the JPEG pipeline an archivist
# would otherwise run: djpeg piped to a PNG writer with qzr's PNG settings,
# over JPEG files of the same pictures at the same size, by xargs -P 1 and 2.
# Reports pictures per second.
#
# The pictures: the photographs of Debian's plasma-workspace-wallpapers at
# 1920x1080 and up (2 to 15 megapixels, JPEG), each also mirrored left to right,
# cropped by 8 pixels so that no JPEG block grid of the source survives;
# QZR files by qzrenc at its default quality, JPEG files by cjpeg at the
# quality that comes nearest to each QZR file's size.
#
# Usage: bash bench/archive.sh
# Environment: QZR_BUILD_DIR (default build), QZR_BENCH_DATA (default
# $QZR_BUILD_DIR/bench-data), QZR_BENCH_RUNS (timed runs each, default 3),
# QUICK=1 (a smoke check: 8 pictures, one run).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
# shellcheck source=bench/common.sh
source "$root/bench/common.sh"
bench_dirs
runs=${QZR_BENCH_RUNS:-3}
limit=1000
if [[ ${QUICK:-0} == 1 ]]; then
  runs=1
  limit=4
fi
helper=(python3 "$root/bench/mirror_tile.py")

echo "== tools"
bash scripts/deps.sh libjpeg-turbo-progs libcli11-dev python3
echo "== building qzr, qzrenc and the PNG writer (Release) in $build"
log=$build/archive-build.log
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_BENCH=ON >"$log" 2>&1 ||
  { tail -20 "$log" >&2; die "cmake configure failed (log: $log)"; }
cmake --build "$build" -j2 --target qzr_tool qzrenc qzr_ppm_to_png >>"$log" 2>&1 ||
  { tail -20 "$log" >&2; die "build failed (log: $log)"; }
qzr=$build/tools/qzr
qzrenc=$build/tools/qzrenc
to_png=$build/bench/qzr_ppm_to_png

mkdir -p "$data"
fetch_wallpapers "$data"
work=$data/archive
set_dir=$work/set-$limit
if [[ ! -f $set_dir/done ]]; then
  echo "== preparing the pictures in $set_dir"
  rm -rf "$set_dir"
  mkdir -p "$set_dir/qzr" "$set_dir/jpeg" "$set_dir/ppm"
  n=0
  while read -r photo; do
    ((n < limit)) || break
    name=$(echo "$photo" | sed -E 's|.*/wallpapers/([^/]+)/contents/([^/]+)/([^/]+)\.[a-z]+$|\1-\2-\3|')
    src=$set_dir/ppm/$name-src.ppm
    djpeg -rgb -pnm -outfile "$src" "$photo"  # RGB also from a grey photograph
    read -r w h < <("${helper[@]}" dims "$src")
    "${helper[@]}" crop "$src" "$set_dir/ppm/$name.ppm" $((w - 8)) $((h - 8))
    "${helper[@]}" mirror "$set_dir/ppm/$name.ppm" "$set_dir/ppm/$name-mirrored.ppm"
    rm -f "$src"
    for p in "$name" "$name-mirrored"; do
      "$qzrenc" "$set_dir/ppm/$p.ppm" "$set_dir/qzr/$p.qzr" >/dev/null
      jpeg_at_size "$set_dir/ppm/$p.ppm" "$(filesize "$set_dir/qzr/$p.qzr")" "$set_dir/jpeg/$p.jpg" >/dev/null 2>&1
      rm -f "$set_dir/ppm/$p.ppm"
      n=$((n + 1))
    done
  done < <(find "$pkg/usr/share/wallpapers" -regextype posix-extended \
    -regex '.*/(1920x1080|1920x1200|2560x1440|2560x1600|5120x2880)\.jpg' | sort)
  touch "$set_dir/done"
fi
count=$(find "$set_dir/qzr" -name '*.qzr' | wc -l)
megapixels=$("$qzr" info --json "$set_dir"/qzr/*.qzr |
  sed -E 's/.*"width": ([0-9]+), "height": ([0-9]+).*/\1 \2/' | awk '{s += $1 * $2} END {printf "%.1f", s / NR / 1e6}')
qzr_bytes=$(cat "$set_dir"/qzr/*.qzr | wc -c)
jpeg_bytes=$(cat "$set_dir"/jpeg/*.jpg | wc -c)

# The median of `runs` wall times of a command, in seconds.
timed() {
  local times=() t0 t1
  for _ in $(seq "$runs"); do
    rm -rf "$work/out"
    mkdir -p "$work/out"
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 </dev/null
    t1=$(date +%s.%N)
    times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}
jpeg_pipeline() { # parallel
  find "$set_dir/jpeg" -name '*.jpg' -print0 |
    xargs -0 -P "$1" -I{} sh -c 'djpeg -pnm "$1" | "$2" >"$3/$(basename "$1" .jpg).png"' _ {} "$to_png" "$work/out"
}

echo "== $count pictures, $megapixels MP on average; $runs timed run(s) each"
q1=$(timed "$qzr" convert -r -j 1 -o "$work/out" "$set_dir/qzr")
q2=$(timed "$qzr" convert -r -j 2 -o "$work/out" "$set_dir/qzr")
j1=$(timed jpeg_pipeline 1)
j2=$(timed jpeg_pipeline 2)
cpu=$(lscpu | sed -nE 's/^Model name: *//p' | head -1)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
table="| to PNG, $count pictures ($megapixels MP mean) | 1 at a time | 2 at once | 2 / 1 |
| --- | ---: | ---: | ---: |
| qzr convert (-j 1, -j 2), pictures/s | $(ratio "$count" "$q1") | $(ratio "$count" "$q2") | $(ratio "$q1" "$q2") |
| djpeg \\| PNG writer (xargs -P 1, -P 2), pictures/s | $(ratio "$count" "$j1") | $(ratio "$count" "$j2") | $(ratio "$j1" "$j2") |
| qzr / JPEG pipeline | $(ratio "$j1" "$q1") | $(ratio "$j2" "$q2") | |

Files: QZR $((qzr_bytes / 1048576)) MiB, JPEG $((jpeg_bytes / 1048576)) MiB (cjpeg matched to each QZR file's size). PNG: zlib level 1, sub filter, in both. Median of $runs run(s), on $(nproc) cores ($cpu)."
echo "$table"
echo "$table" >"$work/results.md"
echo "Written: $work/results.md"
