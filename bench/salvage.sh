#!/usr/bin/env bash
# How much of a damaged file still shows: two photographs from Debian's
# plasma-workspace-wallpapers (1536 x 1152 cut from each, off the source's
# JPEG block grid), each encoded by qzrenc --bpp at about 1 and 2 bits per
# pixel and by cjpeg at the nearest size; each file then cut to its first
# 10, 20, ..., 90, 95 and 99 % and, in turn, given one flipped bit at each of
# SEEDS places. The QZR files are salvaged (qzr::salvage, through
# qzr_salvage_psnr), the JPEG files decoded by djpeg (which shows grey below
# a cut, with a warning); each picture's PSNR is taken against its own whole
# file's picture, over every RGB byte. Writes DATA/salvage/results.md.
#
# Usage: bash bench/salvage.sh   (from any directory; a few minutes)
# Environment:
#   QZR_BUILD_DIR, QZR_BENCH_DATA   as for bench/compare.sh
#   QZR_SALVAGE_PHOTOS              the photographs (default "Path Kite")
#   QZR_SALVAGE_SEEDS               flipped-bit seeds, 1..N (default 20)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
# shellcheck source=bench/common.sh
source "$root/bench/common.sh"
bench_dirs
read -r -a photos <<<"${QZR_SALVAGE_PHOTOS:-Path Kite}"
seeds=${QZR_SALVAGE_SEEDS:-20}
[[ $seeds =~ ^[1-9][0-9]*$ ]] || die "QZR_SALVAGE_SEEDS must be a whole number above 0"
rates=(1 2)
cuts=(10 20 30 40 50 60 70 80 90 95 99)

bash scripts/deps.sh build libjpeg-turbo-progs libbenchmark-dev python3
mkdir -p "$build"
log=$build/salvage-build.log
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_BENCH=ON >"$log" 2>&1 ||
  { tail -20 "$log" >&2; die "cmake configure failed (log: $log)"; }
cmake --build "$build" -j2 --target qzrenc qzr_salvage_psnr >>"$log" 2>&1 ||
  { tail -20 "$log" >&2; die "build failed (log: $log)"; }
qzrenc=$build/tools/qzrenc
measure=$build/bench/qzr_salvage_psnr
[[ -x $qzrenc && -x $measure ]] || die "qzrenc or qzr_salvage_psnr not found under $build"
mkdir -p "$data"
fetch_wallpapers "$data"
out=$data/salvage
mkdir -p "$out"
cd "$out"

# djpeg's picture of a JPEG file as a PPM; false when djpeg fails outright
# (any exit status but 0 and 2). A warning (status 2), such as a file that
# ends early, still gives a picture.
djpeg_ppm() { # jpg ppm
  local status=0
  djpeg -pnm -outfile "$2" "$1" 2>/dev/null || status=$?
  ((status == 0 || status == 2)) || { rm -f "$2"; return 1; }
}
# The JPEG side of a damaged copy: its PSNR against the whole one's picture.
jpeg_psnr() { # damaged.jpg whole.ppm
  if djpeg_ppm "$1" damaged.ppm; then "$measure" psnr "$2" damaged.ppm; else echo none; fi
}
# The lower median and the least of a column of values, "none" (no
# picture) below every number and "inf" (no loss) above: "MEDIAN WORST NONES".
summary() {
  awk '{ print($1 == "none" ? -1 : $1 == "inf" ? 1e9 : $1) }' | sort -g | awk '
    function shown(v) { return v < 0 ? "none" : v >= 1e9 ? "inf" : v }
    { x[NR] = $1; if ($1 < 0) n++ }
    END { printf "%s %s %d\n", shown(x[int((NR + 1) / 2)]), shown(x[1]), n }'
}

results=$out/results.md
pixels=$((1536 * 1152))
{
  echo "### How much survives: QZR salvage beside djpeg, same file sizes"
  echo
  echo "Each photograph 1536 x 1152; PSNR of the damaged file's picture against the whole file's"
  echo "own picture, over every RGB byte (inf: no difference; none: no picture). Cuts keep the"
  echo "first part of the file. Flipped bits: one bit a file, at $seeds places chosen by"
  echo "std::mt19937_64 seeded 1..$seeds; median (the lower middle value) and worst. Bands whole:"
  echo "the salvage report's counts, luma then both chroma planes together."
  echo "$({ djpeg -version 2>&1 || true; } | head -1); cjpeg's defaults (baseline, no restart"
  echo "markers) at the quality whose size is nearest the QZR file's."
  echo
} >"$results"
bpp() { awk -v s="$1" -v n="$pixels" 'BEGIN { printf "%.2f", 8 * s / n }'; }
for photo in "${photos[@]}"; do
  rel=usr/share/wallpapers/$photo/contents/images/1600x1200.jpg
  [[ -f $pkg/$rel ]] || die "$rel is not in the package"
  djpeg -pnm -outfile "$photo-full.ppm" "$pkg/$rel"
  python3 "$root/bench/mirror_tile.py" crop "$photo-full.ppm" "$photo.ppm" 1536 1152
  rm -f "$photo-full.ppm"
  # One table a photograph, one row a damage, three cells a rate.
  labels=() rows=() files=() head="| damage |" rule="| --- |"
  for percent in "${cuts[@]}"; do labels+=("first $percent % kept"); done
  labels+=("one bit flipped, median of $seeds" "one bit flipped, worst of $seeds" "one bit flipped, no picture")
  for rate in "${rates[@]}"; do
    base=$photo-$rate
    echo "== $photo at about $rate bpp"
    "$qzrenc" --force --bpp "$rate" "$photo.ppm" "$base.qzr" >/dev/null 2>&1 || die "qzrenc failed on $photo.ppm"
    size=$(filesize "$base.qzr")
    quality=$(jpeg_at_size "$photo.ppm" "$size" "$base.jpg")
    djpeg_ppm "$base.jpg" "$base-jpg.ppm" || die "djpeg failed on $base.jpg"
    files+=("- about $rate bpp: QZR $size bytes ($(bpp "$size") bpp), $("$measure" psnr "$photo.ppm" "$base.qzr") dB against the photograph; JPEG $(filesize "$base.jpg") bytes (cjpeg -quality $quality), $("$measure" psnr "$photo.ppm" "$base-jpg.ppm") dB")
    head+=" QZR dB, $rate bpp | bands whole, $rate bpp | JPEG dB, $rate bpp |"
    rule+=" ---: | ---: | ---: |"
    cells=()
    while read -r percent _kept q_psnr y_whole y_bands c_whole c_bands; do
      "$measure" cut "$base.jpg" cut.jpg "$percent"
      cells+=("$q_psnr | $y_whole/$y_bands, $c_whole/$c_bands | $(jpeg_psnr cut.jpg "$base-jpg.ppm")")
    done < <("$measure" cuts "$base.qzr" "${cuts[@]}")
    "$measure" flips "$base.qzr" $(seq 1 "$seeds") >flips-qzr.txt
    for seed in $(seq 1 "$seeds"); do
      "$measure" flip "$base.jpg" flipped.jpg "$seed" >/dev/null
      jpeg_psnr flipped.jpg "$base-jpg.ppm"
    done >flips-jpg.txt
    read -r q_med q_worst q_none < <(awk '{ print $3 }' flips-qzr.txt | summary)
    read -r y_med y_worst _ < <(awk '{ print $4 }' flips-qzr.txt | summary)
    read -r c_med c_worst _ < <(awk '{ print $6 }' flips-qzr.txt | summary)
    read -r j_med j_worst j_none < <(summary <flips-jpg.txt)
    read -r y_bands c_bands < <(awk '$5 > y { y = $5 } $7 > c { c = $7 } END { print y + 0, c + 0 }' flips-qzr.txt)
    cells+=("$q_med | $y_med/$y_bands, $c_med/$c_bands | $j_med"
      "$q_worst | $y_worst/$y_bands, $c_worst/$c_bands | $j_worst"
      "$q_none of $seeds | | $j_none of $seeds")
    for i in "${!cells[@]}"; do rows[i]+=" ${cells[i]} |"; done
    rm -f cut.jpg flipped.jpg damaged.ppm flips-qzr.txt flips-jpg.txt "$base-jpg.ppm"
  done
  {
    echo "#### $photo"
    echo
    printf '%s\n' "${files[@]}"
    echo
    echo "$head"
    echo "$rule"
    for i in "${!labels[@]}"; do echo "| ${labels[i]} |${rows[i]}"; done
    echo
  } >>"$results"
done
for photo in "${photos[@]}"; do
  wallpaper_credit "usr/share/wallpapers/$photo/contents/images/1600x1200.jpg" >>"$results"
  echo >>"$results"
done
cat "$results"
