#!/usr/bin/env bash
# The encoder's pictures beside OpenJPEG's and libjpeg's at the same size:
# five photographs from Debian's plasma-workspace-wallpapers (1536 x 1152
# cut from each, off the source's JPEG block grid; none of them used to tune
# the encoder), each encoded by qzrenc --bpp at
# about 0.5, 1 and 2 bits per pixel, then by opj_compress and cjpeg matched
# to the size of each QZR file. PSNR over the RGB bytes against the source,
# of qzrdec's BMP, opj_decompress's and djpeg's output; the bit rate qzrenc
# reached and its encoding time beside opj_compress's. Writes
# DATA/encoder/results.md.
# usage: bench/encoder.sh   (QZR_BUILD_DIR, QZR_BENCH_DATA as for compare.sh;
#                            QZR_ENCODER_PHOTOS="Autumn Kite ..." for others)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
bench_dirs
photos=(${QZR_ENCODER_PHOTOS:-Autumn BytheWater ColdRipple FallenLeaf Kite})
rates=(0.5 1 2)
out=$data/encoder
mkdir -p "$out"
bash scripts/deps.sh libjpeg-turbo-progs libopenjp2-tools python3-numpy python3-pil
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target qzrdec qzrenc >/dev/null
qzrdec=$build/qzrdec
qzrenc=$build/tools/qzrenc
fetch_wallpapers "$data"
root=$PWD
cd "$out"

# PSNR in dB of a decoded picture (BMP or PPM) against the source PPM, over
# every RGB byte.
psnr() { # decoded source
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
import numpy as np
from PIL import Image
a = np.asarray(Image.open(sys.argv[1]).convert("RGB"), dtype=np.float64)
b = np.asarray(Image.open(sys.argv[2]).convert("RGB"), dtype=np.float64)
assert a.shape == b.shape, (a.shape, b.shape)
mse = np.mean((a - b) ** 2)
print("inf" if mse == 0 else f"{10 * np.log10(255 * 255 / mse):.2f}")
PY
}
seconds() { # command... -> prints its wall time in seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 </dev/null || die "failed: $*"
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

results=$out/results.md
{
  echo "# qzrenc beside opj_compress and cjpeg at the same size"
  echo
  echo "1536 x 1152 photographs; $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores."
  echo "PSNR over the RGB bytes against the source; opj_compress (-r) matched to within 2 % of each QZR"
  echo "file's size, cjpeg (-quality) to the nearest quality."
  echo
  echo "| photo | target bpp | qzr bpp | qzr dB | opj_compress bpp | opj dB | cjpeg bpp | cjpeg dB | qzr - opj | qzrenc s | opj_compress s |"
  echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
} >"$results"
for photo in "${photos[@]}"; do
  jpg=$pkg/usr/share/wallpapers/$photo/contents/images/1600x1200.jpg
  [[ -f $jpg ]] || die "no $jpg"
  djpeg -pnm -outfile "$photo-full.ppm" "$jpg"
  python3 "$root/bench/mirror_tile.py" crop "$photo-full.ppm" "$photo.ppm" 1536 1152
  rm -f "$photo-full.ppm"
  raw=$(filesize "$photo.ppm")
  pixels=$((1536 * 1152))
  for rate in "${rates[@]}"; do
    base=$photo-$rate
    t_qzr=$(seconds "$qzrenc" --bpp "$rate" "$photo.ppm" "$base.qzr")
    size=$(filesize "$base.qzr")
    "$qzrdec" "$base.qzr" "$base.bmp" </dev/null >/dev/null
    ratio=$(jp2_at_size "$photo.ppm" "$size" "$raw" "$base.jp2")
    t_opj=$(seconds opj_compress -i "$photo.ppm" -o "$base-timed.jp2" -r "$ratio")
    opj_decompress -i "$base.jp2" -o "$base-jp2.ppm" >/dev/null 2>&1 || die "opj_decompress failed on $base.jp2"
    jpeg_at_size "$photo.ppm" "$size" "$base.jpg" >/dev/null
    djpeg -pnm -outfile "$base-jpg.ppm" "$base.jpg"
    q_qzr=$(psnr "$base.bmp" "$photo.ppm") q_opj=$(psnr "$base-jp2.ppm" "$photo.ppm")
    q_jpg=$(psnr "$base-jpg.ppm" "$photo.ppm")
    bpp() { awk -v s="$1" -v n="$pixels" 'BEGIN { printf "%.3f", 8 * s / n }'; }
    echo "| $photo | $rate | $(bpp "$size") | $q_qzr | $(bpp "$(filesize "$base.jp2")") | $q_opj | $(bpp "$(filesize "$base.jpg")") | $q_jpg | $(awk -v a="$q_qzr" -v b="$q_opj" 'BEGIN { printf "%+.2f", a - b }') | $t_qzr | $t_opj |" >>"$results"
    rm -f "$base.bmp" "$base-jp2.ppm" "$base-jpg.ppm" "$base-timed.jp2"
  done
done
# The mean difference from opj_compress, by rate and in all.
awk -F'|' 'NR > 8 { d = $10 + 0; all += d; n++; by[$3 + 0] += d; m[$3 + 0]++ }
  END { printf "\nMean qzr - opj_compress: %+.2f dB;", all / n
        for (r in by) printf " at %s bpp %+.2f;", r, by[r] / m[r]; print "" }' "$results" >>"$results"
cat "$results"
