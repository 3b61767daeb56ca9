#!/usr/bin/env bash
# Builds the web module and page (scripts/build-web.sh) and tests them: the
# module under Node.js against the native qzrdec, the page in Debian's
# headless Chromium (installed with apt-get when missing).
# usage: web-test.sh [NATIVE_BUILD_DIR]   (default: build, with qzrdec in it)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bash scripts/build-web.sh
bash scripts/deps.sh build tests web
if [[ ! -x $build/qzrdec ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target qzrdec >/dev/null
fi
QZRDEC=$PWD/$build/qzrdec QZR_WEB_DIR=$PWD/build-web QZR_ROOT=$PWD \
  node --test web/tests/module.test.mjs web/tests/page.test.mjs </dev/null
