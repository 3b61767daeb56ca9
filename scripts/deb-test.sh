#!/usr/bin/env bash
# Builds the Debian packages with CPack (qzr, and qzr-vips, qzr-qt5 and
# qzr-qt6 for the plugins), installs them with dpkg -i, decodes the
# sample with the installed /usr/bin/qzrdec (standard input not a terminal,
# so no key wait) and compares the bytes with the build's own qzrdec, checks
# the manual pages and the library files, then that the desktop works with
# nothing else done: the gdk-pixbuf loader and the MIME type registered by
# the triggers, a GdkPixbuf program, the thumbnailer and GIO's typing; then
# ImageMagick, libvips and Qt programs with the system's configuration. Then
# removes the package again, and the triggers unregister both.
# Needs root (or sudo); without it the script says so and skips.
# usage: deb-test.sh [BUILD_DIR]   (default: build, configured and built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
sudo=""
if [[ $(id -u) != 0 ]]; then
  if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo="sudo -n"
  else
    echo "deb-test: skipped: installing a package needs root or sudo"
    exit 0
  fi
fi
if dpkg-query -W -f='${Status}' qzr 2>/dev/null | grep -q 'install ok installed'; then
  echo "deb-test: skipped: a qzr package is installed on this machine already; not replacing it"
  exit 0
fi
jobs=$(nproc 2>/dev/null || echo 2)
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_TESTS=OFF >/dev/null
fi
# The packages hold the desktop parts, the ImageMagick delegate, the libvips
# module and the Qt plugins.
cmake -S . -B "$build" -DQZR_BUILD_GDK_PIXBUF=ON -DQZR_BUILD_IMAGEMAGICK=ON -DQZR_BUILD_VIPS=ON \
  -DQZR_BUILD_QT=ON >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null
work=$(mktemp -d)
packages=()
installed=0
cleanup() {
  if ((installed)); then $sudo dpkg -r "${packages[@]}" >/dev/null || echo "deb-test: dpkg -r ${packages[*]} failed"; fi
  rm -rf "$work"
}
trap cleanup EXIT
(cd "$build" && cpack -G DEB -B "$work/cpack" >/dev/null)
deb=$(find "$work/cpack" -maxdepth 1 -name 'qzr_*.deb' | head -1)
[[ -n $deb ]] || { echo "deb-test: cpack made no package"; exit 1; }
# The plugins' packages beside it (qzr-vips, qzr-qt5, qzr-qt6), each
# depending on its own libraries alone.
mapfile -t debs < <(find "$work/cpack" -maxdepth 1 -name 'qzr*.deb' | sort)
for d in "${debs[@]}"; do
  packages+=("$(dpkg-deb -f "$d" Package)")
  echo "deb-test: $(basename "$d"), depends: $(dpkg-deb -f "$d" Depends)"
done
installed=1
if ! $sudo dpkg -i "${debs[@]}" >/dev/null; then
  # Missing dependencies: let apt bring them and finish the installation.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -f -y -qq --no-upgrade </dev/null >/dev/null
fi
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" | grep -q 'install ok installed' || { echo "deb-test: $package did not install"; exit 1; }
done

mkdir "$work/run"
(cd "$work/run" && "$root/$build/qzrdec" "$root/samples/astronaut.qzr" expected.bmp </dev/null >/dev/null)
(cd "$work/run" && /usr/bin/qzrdec "$root/samples/astronaut.qzr" got.bmp </dev/null >out.txt)
cmp -s "$work/run/got.bmp" "$work/run/expected.bmp" || { echo "deb-test: /usr/bin/qzrdec gives other bytes"; exit 1; }
[[ ! -e $work/run/temp.tmp ]] || { echo "deb-test: temp.tmp left behind"; exit 1; }
grep -q 'total decompress time' "$work/run/out.txt" || { echo "deb-test: no time report"; exit 1; }
/usr/bin/qzrenc --version >/dev/null
(cd "$work/run" && /usr/bin/qzr convert -f bmp "$root/samples/astronaut.qzr" -o tool 2>/dev/null)
cmp -s "$work/run/tool/astronaut.bmp" "$work/run/expected.bmp" || { echo "deb-test: /usr/bin/qzr gives other bytes"; exit 1; }
for page in qzrdec qzrenc qzr; do
  [[ $(man -w "$page") == /usr/share/man/man1/$page.1* ]] || { echo "deb-test: no manual page $page"; exit 1; }
done
[[ -f /usr/include/qzr/qzr.h ]] && pkg-config --exists qzr ||
  { echo "deb-test: the header or the pkg-config file is missing"; exit 1; }

fail() { echo "deb-test: $*"; exit 1; }
cache=$(pkg-config --variable=gdk_pixbuf_cache_file gdk-pixbuf-2.0)
loader=$(pkg-config --variable=gdk_pixbuf_moduledir gdk-pixbuf-2.0)/libpixbufloader-qzr.so
[[ -f $loader ]] || fail "no gdk-pixbuf loader at $loader"
grep -qF "$loader" "$cache" || fail "gdk-pixbuf's loader cache does not name the loader: its trigger did not run"
[[ -f /usr/share/mime/image/x-qzr.xml ]] || fail "the MIME database has no image/x-qzr: its trigger did not run"
[[ -f /usr/share/thumbnailers/qzr.thumbnailer ]] || fail "no thumbnailer entry"
cp "$root/samples/astronaut.qzr" "$work/run/no-extension"
type=$(gio info -a standard::content-type "$work/run/no-extension" | sed -n 's/.*standard::content-type: //p')
[[ $type == image/x-qzr ]] || fail "GIO types a QZR file without its extension as '$type'"
# A GdkPixbuf program, with the machine's own loader cache, gets qzrdec's pixels.
env -u GDK_PIXBUF_MODULE_FILE /usr/bin/python3 - "$work/run/no-extension" "$work/run/expected.bmp" <<'PY' ||
import sys
import gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf
from PIL import Image
p = GdkPixbuf.Pixbuf.new_from_file(sys.argv[1])
w, h, stride, data = p.get_width(), p.get_height(), p.get_rowstride(), p.read_pixel_bytes().get_data()
got = b"".join(data[y * stride: y * stride + 3 * w] for y in range(h))
with Image.open(sys.argv[2]) as im:
    sys.exit(0 if (w, h) == im.size and got == im.convert("RGB").tobytes() else 1)
PY
  fail "GdkPixbuf does not give qzrdec's pixels"
env -u GDK_PIXBUF_MODULE_FILE gdk-pixbuf-thumbnailer -s 128 "file://$root/samples/coffee.qzr" "$work/run/thumb.png"
[[ -s $work/run/thumb.png ]] || fail "gdk-pixbuf-thumbnailer made no thumbnail"

# Two picture files with the same pixels (Pillow reads both).
same_pixels() {
  /usr/bin/python3 -c 'import sys; from PIL import Image; a, b = (Image.open(f).convert("RGB") for f in sys.argv[1:])
sys.exit(a.size != b.size or a.tobytes() != b.tobytes())' "$1" "$2"
}
# ImageMagick, with the system's configuration alone, reads a QZR picture
# through the delegate, by its name and by its content.
if command -v convert >/dev/null; then
  for source in "$root/samples/astronaut.qzr" "$work/run/no-extension"; do
    rm -f "$work/run/magick.ppm"
    env -u MAGICK_CONFIGURE_PATH convert "$source" "$work/run/magick.ppm" 2>"$work/run/magick.err" ||
      fail "ImageMagick does not read $(basename "$source"): $(head -3 "$work/run/magick.err")"
    same_pixels "$work/run/magick.ppm" "$work/run/expected.bmp" ||
      fail "ImageMagick does not give qzrdec's pixels for $(basename "$source")"
  done
fi

# libvips finds the module in its own folder, with nothing registered.
if command -v vips >/dev/null; then
  module=$(pkg-config --variable=libdir vips)/vips-modules-$(pkg-config --modversion vips | cut -d. -f1,2)/vips-qzr.so
  [[ -f $module ]] || fail "no libvips module at $module"
  rm -f "$work/run/vips.ppm"
  env -u VIPSHOME vips copy "$work/run/no-extension" "$work/run/vips.ppm" 2>"$work/run/vips.err" ||
    fail "vips does not read a QZR picture: $(head -3 "$work/run/vips.err")"
  same_pixels "$work/run/vips.ppm" "$work/run/expected.bmp" || fail "vips does not give qzrdec's pixels"
fi
# Qt programs find the plugins in Qt's own folders (the build's test reader,
# with no plugin path of its own).
for major in 5 6; do
  reader=$build/qt/qzr_qt${major}_reader
  [[ -x $reader ]] || continue
  rm -f "$work/run/qt.ppm"
  env -u QT_PLUGIN_PATH QT_QPA_PLATFORM=offscreen "$reader" read name "$work/run/no-extension" "$work/run/qt.ppm" \
    >/dev/null 2>"$work/run/qt.err" || fail "Qt $major does not read a QZR picture: $(head -3 "$work/run/qt.err")"
  same_pixels "$work/run/qt.ppm" "$work/run/expected.bmp" || fail "Qt $major does not give qzrdec's pixels"
done

$sudo dpkg -r "${packages[@]}" >/dev/null
installed=0
! grep -qF "$loader" "$cache" || fail "the loader cache still names the loader after dpkg -r"
[[ ! -e /usr/share/mime/image/x-qzr.xml ]] || fail "the MIME database still has image/x-qzr after dpkg -r"
echo "deb-test: the packages install; /usr/bin/qzrdec and /usr/bin/qzr decode the sample to the build's bytes, the manual pages are in place; GdkPixbuf, the thumbnailer, GIO, ImageMagick, libvips and Qt know QZR pictures at once, and the desktop parts no longer after dpkg -r"
