#!/usr/bin/env bash
# Installs the Debian packages a command needs, when missing, never
# upgrading what is there. usage: deps.sh [GROUP...] [PACKAGE...]
#   build    a compiler and CMake: qzrdec and the library
#   tests    the test suite's build: GoogleTest, Google Benchmark, libpng
#            (qzrenc's PNG input, the qzr tool), CLI11 (qzrenc's and qzr's
#            command lines), tmux (terminal tests)
#   desktop  the gdk-pixbuf loader and its tests: GdkPixbuf from Python, the
#            thumbnailer, the MIME database, gio
#   python   the Python package (scripts/python-test.sh): its build, by CMake
#            and by pip, and its tests
#   plugins  the libvips module, the Qt 5 and Qt 6 plugins and the ImageMagick
#            delegate, with the programs their tests run
#   web      the web module and page (scripts/web-test.sh): emscripten, the
#            TypeScript check, headless Chromium
# With no group named, all of them; other words are packages to add.
# QZR_DEPS_LIST=1 prints the packages instead of installing them.
set -euo pipefail
declare -A group=(
  [build]="cmake g++ make pkg-config"
  [tests]="libgtest-dev libbenchmark-dev libpng-dev libcli11-dev tmux"
  [desktop]="libgdk-pixbuf-2.0-dev libgdk-pixbuf2.0-bin gir1.2-gdkpixbuf-2.0 python3-gi shared-mime-info libglib2.0-bin"
  [python]="python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pil python3-pytest python3-distributed \
python3-skbuild python3-setuptools python3-wheel python3-pip"
  [web]="emscripten node-typescript chromium"
  [plugins]="imagemagick libvips-dev libvips-tools qtbase5-dev qt6-base-dev"
)
packages=() named=0
for word in "$@"; do
  if [[ -n ${group[$word]:-} ]]; then
    read -r -a words <<<"${group[$word]}"
    packages+=("${words[@]}")
    named=1
  else
    packages+=("$word")
  fi
done
if ((named == 0)); then
  for g in build tests desktop plugins python web; do
    read -r -a words <<<"${group[$g]}"
    packages+=("${words[@]}")
  done
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ -n ${QZR_DEPS_LIST:-} ]] && { echo "${packages[@]}"; exit 0; }
((${#missing[@]} == 0)) && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) == 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-upgrade --no-install-recommends "${missing[@]}" </dev/null
