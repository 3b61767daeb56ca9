#!/usr/bin/env bash
# Builds the Debian package with CPack, installs it with dpkg -i, decodes the
# sample with the installed /usr/bin/qzrdec (standard input not a terminal,
# so no key wait) and compares the bytes with the build's own qzrdec, checks
# the manual pages and the library files, then that the desktop works with
# nothing else done: the gdk-pixbuf loader and the MIME type registered by
# the triggers, a GdkPixbuf program, the thumbnailer and GIO's typing. Then
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
cmake -S . -B "$build" -DQZR_BUILD_GDK_PIXBUF=ON >/dev/null  # the package holds the desktop parts
cmake --build "$build" -j"$jobs" >/dev/null
work=$(mktemp -d)
installed=0
cleanup() {
  if ((installed)); then $sudo dpkg -r qzr >/dev/null || echo "deb-test: dpkg -r qzr failed"; fi
  rm -rf "$work"
}
trap cleanup EXIT
(cd "$build" && cpack -G DEB -B "$work/cpack" >/dev/null)
deb=$(find "$work/cpack" -maxdepth 1 -name 'qzr_*.deb' | head -1)
[[ -n $deb ]] || { echo "deb-test: cpack made no package"; exit 1; }
echo "deb-test: $(basename "$deb"), depends: $(dpkg-deb -f "$deb" Depends)"
installed=1
if ! $sudo dpkg -i "$deb" >/dev/null; then
  # Missing dependencies: let apt bring them and finish the installation.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -f -y -qq --no-upgrade </dev/null >/dev/null
fi
dpkg-query -W -f='${Status}' qzr | grep -q 'install ok installed' || { echo "deb-test: qzr did not install"; exit 1; }

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

$sudo dpkg -r qzr >/dev/null
installed=0
! grep -qF "$loader" "$cache" || fail "the loader cache still names the loader after dpkg -r"
[[ ! -e /usr/share/mime/image/x-qzr.xml ]] || fail "the MIME database still has image/x-qzr after dpkg -r"
echo "deb-test: the package installs, /usr/bin/qzrdec and /usr/bin/qzr decode the sample to the build's bytes, the manual pages are in place; GdkPixbuf, the thumbnailer and GIO know QZR pictures at once, and no longer after dpkg -r"
