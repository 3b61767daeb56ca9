#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev libpng-dev libcli11-dev tmux
  # the Python package (scripts/python-test.sh): its build, by CMake and by pip, and its tests
  python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pil python3-pytest python3-distributed
  python3-skbuild python3-setuptools python3-wheel python3-pip
  # the gdk-pixbuf loader and its tests: GdkPixbuf from Python, the thumbnailer, the MIME database, gio
  libgdk-pixbuf-2.0-dev libgdk-pixbuf2.0-bin gir1.2-gdkpixbuf-2.0 python3-gi shared-mime-info libglib2.0-bin
  # the web module and page (scripts/web-test.sh): emscripten, the TypeScript check, headless Chromium
  emscripten node-typescript chromium "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) == 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-upgrade --no-install-recommends "${missing[@]}" </dev/null
