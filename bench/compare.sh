#!/usr/bin/env bash
# Compares qzrdec's whole-run decode time, CPU time (user + system) and peak
# memory with djpeg
# (libjpeg-turbo), opj_decompress (OpenJPEG) and a plain cp of a BMP of the
# same size (the I/O floor), on a real photograph at about 1 and 2 bits per
# pixel, at 2560x1440 and at a 2 x 2 mirror tiling of it (5120x2880).
#
# Usage: bash bench/compare.sh          (from any directory)
# Environment:
#   QZR_BUILD_DIR      build directory (default build, under the repository)
#   QZR_BENCH_DATA     cache and scratch directory (default $QZR_BUILD_DIR/bench-data)
#   QZR_BENCH_RUNS     timed runs per command (default 10)
#   QZR_BENCH_WARMUP   untimed runs first (default 2)
#   QZR_BENCH_PHOTO    the picture, relative to the unpacked package
#                      (default usr/share/wallpapers/Path/contents/images/2560x1600.jpg)
#   QUICK=1            smoke check: 2 runs, 1 warm-up, the small size only
#
# Writes the tables to standard output and to $QZR_BENCH_DATA/results.md,
# hyperfine's JSON beside them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
# shellcheck source=bench/common.sh
source "$root/bench/common.sh"
[[ -f CMakeLists.txt && -f bench/mirror_tile.py ]] || die "$root does not look like the qzrdec repository"
bench_dirs
runs=${QZR_BENCH_RUNS:-10}
warmup=${QZR_BENCH_WARMUP:-2}
sizes=(small large)
rates=(1 2)
if [[ ${QUICK:-0} == 1 ]]; then
  runs=2
  warmup=1
  sizes=(small)
fi
[[ $runs =~ ^[1-9][0-9]*$ && $warmup =~ ^[0-9]+$ ]] || die "QZR_BENCH_RUNS and QZR_BENCH_WARMUP must be whole numbers"
photo_rel=${QZR_BENCH_PHOTO:-usr/share/wallpapers/Path/contents/images/2560x1600.jpg}
helper=(python3 "$root/bench/mirror_tile.py")

# --- tools -------------------------------------------------------------------
echo "== tools"
bash scripts/deps.sh hyperfine libjpeg-turbo-progs libopenjp2-tools time python3
for tool in hyperfine cjpeg djpeg opj_compress opj_decompress python3 lscpu dpkg-deb apt-get; do
  command -v "$tool" >/dev/null || die "$tool is missing (bash scripts/deps.sh should have installed it)"
done
[[ -x /usr/bin/time ]] || die "/usr/bin/time (GNU time) is missing"

echo "== building qzrdec and qzrenc (Release) in $build"
mkdir -p "$build"
log=$build/compare-build.log
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 ||
  { tail -20 "$log" >&2; die "cmake configure failed (log: $log)"; }
cmake --build "$build" -j2 --target qzrdec qzrenc >>"$log" 2>&1 ||
  { tail -20 "$log" >&2; die "build failed (log: $log)"; }
qzrdec=$build/qzrdec
qzrenc=$build/tools/qzrenc
[[ -x $qzrdec ]] || qzrdec=$(find "$build" -name qzrdec -type f -perm -u+x | head -1)
[[ -x $qzrenc ]] || qzrenc=$(find "$build" -name qzrenc -type f -perm -u+x | head -1)
[[ -x $qzrdec && -x $qzrenc ]] || die "qzrdec or qzrenc not found under $build"
"$qzrenc" --help | grep -q -- "--bpp" || die "qzrenc has no --bpp option"

# --- the photograph ----------------------------------------------------------
mkdir -p "$data"
fetch_wallpapers "$data"
[[ -f $pkg/$photo_rel ]] || die "$photo_rel is not in the package"
photo=$pkg/$photo_rel
licence_line=$(wallpaper_credit "$photo_rel")

work=$data/pictures
mkdir -p "$work"
echo "== preparing the pictures in $work"
djpeg -pnm -outfile "$work/full.ppm" "$photo"
read -r pw ph < <("${helper[@]}" dims "$work/full.ppm")
if ((pw >= 5120 && ph >= 2880)); then # a larger original: halve it first
  djpeg -scale 1/2 -pnm -outfile "$work/full.ppm" "$photo"
fi
"${helper[@]}" crop "$work/full.ppm" "$work/small.ppm" 2560 1440
"${helper[@]}" tile "$work/small.ppm" "$work/large.ppm"
rm -f "$work/full.ppm"

# Dies unless the BMP is 24-bit and w x h.
check_bmp() { # file w h who
  local dims
  dims=$("${helper[@]}" dims "$1") || die "$4 wrote no valid BMP ($1)"
  [[ $dims == "$2 $3" ]] || die "$4 wrote a $dims BMP, not $2 x $3"
}

peak_kib() { # command... -> prints the peak resident set in KiB
  local out=$scratch/time.txt
  /usr/bin/time -f %M -o "$out" "$@" </dev/null >/dev/null 2>&1 || die "failed: $*"
  tail -1 "$out"
}

# --- measurements ------------------------------------------------------------
scratch=$data/scratch
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch" # qzrdec's intermediate temp.tmp and all the BMPs land here
style=basic
[[ -t 1 ]] && style=auto

cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)
machine="Machine: ${cpu:-unknown CPU}, $(nproc) cores, Linux $(uname -r)"
qzr_rev=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
git -C "$root" diff --quiet HEAD -- 2>/dev/null || qzr_rev="$qzr_rev+changes"
opj_version=$({ opj_decompress -h 2>&1 || true; } | sed -n 's/.*openjp2 library v\([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' | head -1)
versions="Tools: qzrdec $qzr_rev (Release), $({ djpeg -version 2>&1 || true; } | head -1), OpenJPEG ${opj_version:-?} (opj_decompress, one thread), $(hyperfine --version), GNU time for peak RSS"
method="Each command run $warmup time(s) untimed, then $runs times by hyperfine (no shell, standard input from /dev/null), all four in one hyperfine run; BMP output to a scratch directory on the same disk. PSNR over every 4th row against the source picture."

results=$data/results.md
{
  echo "### Decode time and memory: qzrdec against djpeg and opj_decompress"
  echo
  echo "$machine"
  echo
  echo "$versions"
  echo
  echo "$licence_line"
  echo
  echo "$method"
  echo
} >"$results"

for size in "${sizes[@]}"; do
  ppm=$work/$size.ppm
  read -r w h < <("${helper[@]}" dims "$ppm")
  pixels=$((w * h))
  raw=$((3 * pixels))
  mp=$(awk -v p="$pixels" 'BEGIN { printf "%.1f", p / 1e6 }')
  for rate in "${rates[@]}"; do
    tag=$size-${rate}bpp
    echo "== $w x $h ($mp MP) at about $rate bpp"
    qzr=$tag.qzr jpg=$tag.jpg jp2=$tag.jp2 # in the scratch directory, the working one
    "$qzrenc" --bpp "$rate" "$ppm" "$qzr" >/dev/null 2>&1 || die "qzrenc --bpp $rate failed on $ppm"
    target=$(filesize "$qzr")
    quality=$(jpeg_at_size "$ppm" "$target" "$jpg")
    ratio=$(jp2_at_size "$ppm" "$target" "$raw" "$jp2")
    echo "   qzr $target bytes; cjpeg -quality $quality: $(filesize "$jpg"); opj_compress -r $ratio: $(filesize "$jp2")"

    # One real decode of each, checked, before anything is timed.
    "$qzrdec" "$qzr" out.bmp </dev/null >/dev/null 2>&1 || die "qzrdec failed on $qzr"
    check_bmp out.bmp "$w" "$h" qzrdec
    [[ ! -e temp.tmp ]] || die "qzrdec left temp.tmp behind"
    qzr_psnr=$("${helper[@]}" psnr out.bmp "$ppm")
    cp out.bmp same-size.bmp
    djpeg -bmp -outfile out.bmp "$jpg" || die "djpeg failed on $jpg"
    check_bmp out.bmp "$w" "$h" djpeg
    jpg_psnr=$("${helper[@]}" psnr out.bmp "$ppm")
    opj_decompress -i "$jp2" -o out.bmp >/dev/null 2>&1 || die "opj_decompress failed on $jp2"
    check_bmp out.bmp "$w" "$h" opj_decompress
    jp2_psnr=$("${helper[@]}" psnr out.bmp "$ppm")

    json=$data/hyperfine-$tag.json
    hyperfine -N --style "$style" --warmup "$warmup" --runs "$runs" --export-json "$json" \
      -n qzrdec "$qzrdec $qzr out.bmp" \
      -n djpeg "djpeg -bmp -outfile out.bmp $jpg" \
      -n opj_decompress "opj_decompress -i $jp2 -o out.bmp" \
      -n cp "cp same-size.bmp out.bmp" </dev/null
    [[ ! -e temp.tmp ]] || die "qzrdec left temp.tmp behind"
    check_bmp out.bmp "$w" "$h" cp

    m_qzr=$(peak_kib "$qzrdec" "$qzr" out.bmp)
    m_jpg=$(peak_kib djpeg -bmp -outfile out.bmp "$jpg")
    m_jp2=$(peak_kib opj_decompress -i "$jp2" -o out.bmp)
    m_cp=$(peak_kib cp same-size.bmp out.bmp)

    table=$(python3 - "$json" "$pixels" <<EOF
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
pixels = int(sys.argv[2])
mp = pixels / 1e6
rows = [
    ("qzrdec", $(filesize "$qzr"), "$qzr_psnr", $m_qzr),
    ("djpeg", $(filesize "$jpg"), "$jpg_psnr", $m_jpg),
    ("opj_decompress", $(filesize "$jp2"), "$jp2_psnr", $m_jp2),
    ("cp (BMP, I/O floor)", $(filesize same-size.bmp), "", $m_cp),
]
base = results["djpeg"]["median"]
cpu = lambda r: r["user"] + r["system"]  # hyperfine's means, user + system
cpu_base = cpu(results["djpeg"])
print("| tool | file bpp | PSNR dB | median ms | x djpeg | CPU ms (user + system) | CPU x djpeg | peak RSS MiB | MiB per MP |")
print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
for (name, size, psnr, kib), key in zip(rows, ["qzrdec", "djpeg", "opj_decompress", "cp"]):
    med = results[key]["median"]
    c = cpu(results[key])
    mib = kib / 1024
    print("| %s | %.3f | %s | %.1f | %.2f | %.1f | %.2f | %.1f | %.2f |" % (
        name, 8 * size / pixels, psnr or "-", med * 1000, med / base, c * 1000, c / cpu_base, mib, mib / mp))
EOF
)
    heading="#### $w x $h ($mp MP), about $rate bpp (cjpeg -quality $quality, opj_compress -r $ratio)"
    printf '\n%s\n\n%s\n\n' "$heading" "$table"
    printf '%s\n\n%s\n\n' "$heading" "$table" >>"$results"
  done
done

rm -f out.bmp same-size.bmp
echo "$machine"
echo "$versions"
echo "$licence_line"
echo
echo "Written: $results (hyperfine JSON beside it in $data)"
