#!/usr/bin/env bash
# The encoder's pictures beside OpenJPEG's and libjpeg's at the same size:
# five photographs from Debian's plasma-workspace-wallpapers (1536 x 1152
# cut from each, off the source's JPEG block grid; none of them used to tune
# the encoder), each encoded by qzrenc --bpp at
# about 0.5, 1 and 2 bits per pixel, then by opj_compress and cjpeg matched
# to the size of each QZR file. PSNR over the RGB bytes against the source,
# of qzrdec's BMP, opj_decompress's and djpeg's output; the bit rate qzrenc
# reached and its encoding time beside opj_compress's (medians of three);
# and for each photograph the best PSNR any QZR file can give it (its
# colour planes exact: half-width chroma and 8-bit samples through the
# decoder's colour formula, each pixel pair's samples the best whole values
# near the exact ones). Writes DATA/encoder/results.md.
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
# The best PSNR of any QZR file of a picture: for each pixel pair, the chroma
# samples near the pair's least-squares values and each pixel's best luma
# sample, through the decoder's formula (each product shifted on its own,
# the sums clamped).
ceiling() { # source
  /usr/bin/python3 - "$1" <<'PY'
import sys
import numpy as np
from PIL import Image
t = np.asarray(Image.open(sys.argv[1]).convert("RGB"), dtype=np.float64)
t = t[:, : t.shape[1] // 2 * 2]
R, G, B = t[..., 0], t[..., 1], t[..., 2]
a, c, d, e = 359 / 256, 183 / 256, 88 / 256, 454 / 256
# Least squares per pair: unknowns y0, y1, du, dv; blue = y + a du,
# green = y - c du - d dv, red = y + e dv.
M = np.zeros((6, 4))
for k in range(2):
    M[3 * k, k], M[3 * k, 2] = 1, a
    M[3 * k + 1, k], M[3 * k + 1, 2], M[3 * k + 1, 3] = 1, -c, -d
    M[3 * k + 2, k], M[3 * k + 2, 3] = 1, e
T = np.stack([B[:, 0::2], G[:, 0::2], R[:, 0::2], B[:, 1::2], G[:, 1::2], R[:, 1::2]], -1)
X = T @ np.linalg.pinv(M).T
u0, v0 = np.round(X[..., 2]), np.round(X[..., 3])
best = None
for du in (-1, 0, 1, 2):
    for dv in (-1, 0, 1, 2):
        U = np.repeat(np.clip(u0 + du, -128, 127).astype(np.int64), 2, axis=1)
        V = np.repeat(np.clip(v0 + dv, -128, 127).astype(np.int64), 2, axis=1)
        ob, og, orr = (359 * U) >> 8, -((88 * V) >> 8) - ((183 * U) >> 8), (454 * V) >> 8
        ym = np.round(((B - ob) + (G - og) + (R - orr)) / 3)
        err = None
        for dy in (-1, 0, 1):
            y = np.clip(ym + dy, 0, 255)
            e2 = (np.clip(y + ob, 0, 255) - B) ** 2 + (np.clip(y + og, 0, 255) - G) ** 2 + (np.clip(y + orr, 0, 255) - R) ** 2
            err = e2 if err is None else np.minimum(err, e2)
        pair = err[:, 0::2] + err[:, 1::2]
        best = pair if best is None else np.minimum(best, pair)
mse = best.sum() / t.size
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
median() { # values... -> the middle one
  printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"
}

results=$out/results.md
{
  echo "# qzrenc beside opj_compress and cjpeg at the same size"
  echo
  echo "1536 x 1152 photographs; $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores."
  echo "PSNR over the RGB bytes against the source; opj_compress (-r) matched to within 2 % of each QZR"
  echo "file's size, cjpeg (-quality) to the nearest quality. QZR bound: the best PSNR any QZR file of"
  echo "the photograph can have (half-width chroma, 8-bit samples)."
  echo
  echo "| photo | target bpp | qzr bpp | qzr dB | opj_compress bpp | opj dB | cjpeg bpp | cjpeg dB | qzr - opj | QZR bound dB | qzrenc s | opj_compress s |"
  echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
} >"$results"
for photo in "${photos[@]}"; do
  jpg=$pkg/usr/share/wallpapers/$photo/contents/images/1600x1200.jpg
  [[ -f $jpg ]] || die "no $jpg"
  djpeg -pnm -outfile "$photo-full.ppm" "$jpg"
  python3 "$root/bench/mirror_tile.py" crop "$photo-full.ppm" "$photo.ppm" 1536 1152
  rm -f "$photo-full.ppm"
  raw=$(filesize "$photo.ppm")
  bound=$(ceiling "$photo.ppm")
  pixels=$((1536 * 1152))
  for rate in "${rates[@]}"; do
    base=$photo-$rate
    "$qzrenc" --force --bpp "$rate" "$photo.ppm" "$base.qzr" >/dev/null
    size=$(filesize "$base.qzr")
    "$qzrdec" "$base.qzr" "$base.bmp" </dev/null >/dev/null
    ratio=$(jp2_at_size "$photo.ppm" "$size" "$raw" "$base.jp2")
    # The encoding times: the median of three runs of each, taken in turns,
    # since a shared machine's speed drifts.
    times_qzr=() times_opj=()
    for _ in 1 2 3; do
      times_qzr+=("$(seconds "$qzrenc" --force --bpp "$rate" "$photo.ppm" "$base-timed.qzr")")
      times_opj+=("$(seconds opj_compress -i "$photo.ppm" -o "$base-timed.jp2" -r "$ratio")")
    done
    t_qzr=$(median "${times_qzr[@]}") t_opj=$(median "${times_opj[@]}")
    opj_decompress -i "$base.jp2" -o "$base-jp2.ppm" >/dev/null 2>&1 || die "opj_decompress failed on $base.jp2"
    jpeg_at_size "$photo.ppm" "$size" "$base.jpg" >/dev/null
    djpeg -pnm -outfile "$base-jpg.ppm" "$base.jpg"
    q_qzr=$(psnr "$base.bmp" "$photo.ppm") q_opj=$(psnr "$base-jp2.ppm" "$photo.ppm")
    q_jpg=$(psnr "$base-jpg.ppm" "$photo.ppm")
    bpp() { awk -v s="$1" -v n="$pixels" 'BEGIN { printf "%.3f", 8 * s / n }'; }
    echo "| $photo | $rate | $(bpp "$size") | $q_qzr | $(bpp "$(filesize "$base.jp2")") | $q_opj | $(bpp "$(filesize "$base.jpg")") | $q_jpg | $(awk -v a="$q_qzr" -v b="$q_opj" 'BEGIN { printf "%+.2f", a - b }') | $bound | $t_qzr | $t_opj |" >>"$results"
    rm -f "$base.bmp" "$base-jp2.ppm" "$base-jpg.ppm" "$base-timed.jp2" "$base-timed.qzr"
  done
done
# The mean difference from opj_compress, by rate and in all; and over the
# rows where opj_compress stays at least 3 dB below the QZR bound, where the
# format's colour planes do not already cap what a QZR file can reach.
awk -F'|' 'NR > 9 { d = $10 + 0; all += d; n++; by[$3 + 0] += d; m[$3 + 0]++
                    if ($11 == " inf " || $11 - $7 >= 3) { free += d; nf++ }
                    tq += $12; to += $13; if ($12 + 0 <= $13 + 0) faster++ }
  END { printf "\nMean qzr - opj_compress: %+.2f dB;", all / n
        for (r in by) printf " at %s bpp %+.2f;", r, by[r] / m[r]
        if (nf) printf " where the QZR bound is 3 dB or more above opj_compress (%d of %d): %+.2f", nf, n, free / nf
        printf "\nEncoding time in all: qzrenc %.2f s, opj_compress %.2f s; qzrenc as fast or faster on %d of %d\n", tq, to, faster, n
        }' "$results" >>"$results"
cat "$results"
