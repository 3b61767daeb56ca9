# shellcheck shell=bash
# Shared by the benchmark scripts (sourced from the repository's root): the
# directories, the photographs and JPEG files of a chosen size.

die() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

# Sets build and data from QZR_BUILD_DIR (default build) and QZR_BENCH_DATA
# (default $build/bench-data), relative to the repository root.
bench_dirs() {
  build=${QZR_BUILD_DIR:-build}
  [[ $build == /* ]] || build=$PWD/$build
  data=${QZR_BENCH_DATA:-$build/bench-data}
  [[ $data == /* ]] || data=$PWD/$data
}

# Unpacks Debian's plasma-workspace-wallpapers (freely licensed photographs,
# fetched with apt-get download) into DATA/pkg once; sets pkg to it.
fetch_wallpapers() { # data_dir
  local data=$1 deb
  pkg=$data/pkg
  if [[ ! -f $pkg/usr/share/doc/plasma-workspace-wallpapers/copyright ]]; then
    echo "== fetching plasma-workspace-wallpapers into $data"
    rm -f "$data"/plasma-workspace-wallpapers_*.deb
    (cd "$data" && apt-get download plasma-workspace-wallpapers >"$data/download.log" 2>&1) ||
      { cat "$data/download.log" >&2; die "apt-get download plasma-workspace-wallpapers failed (run apt-get update first?)"; }
    deb=$(find "$data" -maxdepth 1 -name 'plasma-workspace-wallpapers_*.deb' | head -1)
    [[ -n $deb ]] || die "apt-get download left no .deb in $data"
    rm -rf "$pkg"
    dpkg-deb -x "$deb" "$pkg"
    rm -f "$deb"
  fi
}

# The credit line of a photograph of the unpacked package (fetch_wallpapers
# first): the package's copyright holder and licence, and the name, author
# and licence that the photograph's metadata.json gives.
wallpaper_credit() { # photo path relative to $pkg
  local rel=$1 copyright licence holder meta credit=""
  copyright=$pkg/usr/share/doc/plasma-workspace-wallpapers/copyright
  licence=$(awk '/^Files: \*/{f=1} f&&/^License:/{print $2; exit}' "$copyright")
  holder=$(awk '/^Files: \*/{f=1} f&&/^Copyright:/{sub(/^Copyright: */,""); print; exit}' "$copyright")
  meta=$(dirname "$(dirname "$(dirname "$pkg/$rel")")")/metadata.json
  if [[ -f $meta ]]; then
    credit=$(python3 -c '
import json, sys
k = json.load(open(sys.argv[1]))["KPlugin"]
print("\"%s\" by %s, licence %s in its metadata.json" % (k.get("Name", "?"), k.get("Authors", [{}])[0].get("Name", "?"), k.get("License", "?")))
' "$meta")
  fi
  echo "Photograph: $rel from Debian's plasma-workspace-wallpapers (copyright file: $holder, $licence)${credit:+; $credit}"
}

filesize() { stat -c %s "$1"; }

# Smallest difference from the target size over cjpeg -quality 1..100: the
# size grows with the quality, so bisect for the first quality at or above
# the target and take it or the one below, whichever is nearer.
jpeg_at_size() { # ppm target_bytes out.jpg -> prints the quality
  local ppm=$1 target=$2 out=$3 lo=1 hi=100 mid q above below
  while ((lo < hi)); do
    mid=$(((lo + hi) / 2))
    cjpeg -quality "$mid" -outfile "$out" "$ppm"
    if (($(filesize "$out") >= target)); then hi=$mid; else lo=$((mid + 1)); fi
  done
  q=$lo
  cjpeg -quality "$q" -outfile "$out" "$ppm"
  above=$(filesize "$out")
  if ((q > 1 && above >= target)); then
    cjpeg -quality $((q - 1)) -outfile "$out.lower" "$ppm"
    below=$(filesize "$out.lower")
    if ((target - below < above - target)); then
      mv "$out.lower" "$out"
      q=$((q - 1))
    fi
    rm -f "$out.lower"
  fi
  echo "$q"
}

# opj_compress at ratio 24/bpp, then corrected by the size it gave, up to
# three times, until within 2 % of the target.
jp2_at_size() { # ppm target_bytes raw_bytes out.jp2 -> prints the ratio
  local ppm=$1 target=$2 raw=$3 out=$4 ratio size i
  ratio=$(awk -v r="$raw" -v t="$target" 'BEGIN { printf "%.4f", r / t }')
  for i in 1 2 3 4; do
    opj_compress -i "$ppm" -o "$out" -r "$ratio" >/dev/null 2>&1 || die "opj_compress failed on $ppm"
    size=$(filesize "$out")
    ((i < 4)) || break
    awk -v s="$size" -v t="$target" 'BEGIN { exit !(s > t * 1.02 || s < t * 0.98) }' || break
    ratio=$(awk -v q="$ratio" -v s="$size" -v t="$target" 'BEGIN { printf "%.4f", q * s / t }')
  done
  echo "$ratio"
}
