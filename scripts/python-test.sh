#!/usr/bin/env bash
# Builds the Python package qzr both ways (CMake with -DQZR_BUILD_PYTHON=ON
# in build-py, and pip through setup.py into build-py/pip) and runs its
# pytest suite on each, the CMake one as a ctest. Debian's own python3, where
# apt puts numpy, Pillow and Dask. Outside CI, missing Python packages skip
# this with a message; in CI (CI=true) they fail it.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3
[[ -x $python ]] || python=$(command -v python3)
jobs=$(nproc 2>/dev/null || echo 2)

if ! missing=$("$python" - <<'PY'
import importlib.util, sys
need = ["pybind11", "numpy", "PIL", "pytest", "distributed", "skbuild", "wheel"]
gone = [m for m in need if importlib.util.find_spec(m) is None]
print(" ".join(gone))
sys.exit(1 if gone else 0)
PY
); then
  if [[ ${CI:-} == true ]]; then
    echo "python-test: $python lacks $missing" >&2
    exit 1
  fi
  echo "== the Python package: skipped, $python lacks $missing (bash scripts/deps.sh python installs them)"
  exit 0
fi

echo "== the Python package, built by CMake (build-py)"
cmake -S . -B build-py -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_PYTHON=ON -DQZR_BUILD_TESTS=ON \
  -DQZR_BUILD_ENCODER=OFF -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build-py -j"$jobs" --target _qzr qzrdec
ctest --test-dir build-py -R '^python\.' --output-on-failure </dev/null

echo "== the Python package, installed by cmake --install"
stage=build-py/stage
rm -rf "$stage"
cmake --install build-py --component python --prefix "$stage" >/dev/null
site=$(find "$stage" -path '*-packages/qzr/__init__.py' -printf '%h\n' | xargs dirname)
PYTHONPATH=$site "$python" -c 'import qzr, qzr.pillow, qzr.cluster; assert qzr.__file__.startswith("'"$PWD/$site"'")'

echo "== the Python package, built by pip"
rm -rf build-py/pip
"$python" -m pip install --no-build-isolation --no-deps --no-index --quiet --root-user-action=ignore --target build-py/pip . </dev/null
QZRDEC=$PWD/build-py/qzrdec PYTHONPATH=$PWD/build-py/pip \
  "$python" -m pytest -q -p no:cacheprovider python/tests/test_decode.py python/tests/test_pillow.py </dev/null
