#!/usr/bin/env bash
# Builds everything (decoder, encoder, gdk-pixbuf loader, libvips module, Qt
# plugins, ImageMagick delegate, tests, benchmarks)
# and runs the whole test suite: the Release build, the same suite under
# AddressSanitizer and UBSan, the C API's threads under ThreadSanitizer, and
# a short run of each fuzz target, with the Python package, the web module
# and page, a short pass of the benchmarks and the install, Debian package,
# Windows, portable-form and cross-build checks after the Release suite.
# QZR_TEST_QUICK=1 runs the Release build only.
set -euo pipefail
cd "$(dirname "$0")/.."
# The quick run installs what its suite needs; the whole run everything.
if [[ ${QZR_TEST_QUICK:-0} == 1 ]]; then bash scripts/deps.sh build tests desktop plugins; else bash scripts/deps.sh; fi
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQZR_BUILD_TESTS=ON -DQZR_BUILD_ENCODER=ON -DQZR_BUILD_BENCH=ON \
  -DQZR_BUILD_GDK_PIXBUF=ON -DQZR_BUILD_IMAGEMAGICK=ON -DQZR_BUILD_VIPS=ON -DQZR_BUILD_QT=ON
cmake --build build -j"$jobs"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs one ctest suite, keeping its count of tests for the closing line.
run_suite() {
  ctest --test-dir "$@" --output-on-failure -j"$jobs" </dev/null | tee -a "$log"
  return "${PIPESTATUS[0]}"
}
summary() {
  local total
  total=$(grep -oE 'tests failed out of [0-9]+' "$log" | awk '{s += $5} END {print s + 0}')
  echo "all suites: $total passed, 0 failed"
}
run_suite build
if [[ ${QZR_TEST_QUICK:-0} == 1 ]]; then
  summary
  exit 0
fi

# The LZARI expansion runs the widest vector form the CPU has; QZR_SIMD caps
# it. Whole decodes once more with AVX2 and with SSE2 forced where the CPU
# has them (the fast-form tests compare every form in one process already),
# and the wide registers nowhere in the library but in the forms chosen at
# run time.
echo "== the LZARI expansion's vector forms: decodes with each forced (QZR_SIMD), wide registers only where chosen"
cpu_has() { grep -qw "$1" /proc/cpuinfo 2>/dev/null; }
for form in avx2 sse2; do
  if [[ $form == avx2 ]] && ! cpu_has avx2; then continue; fi
  echo "QZR_SIMD=$form"
  QZR_SIMD=$form build/tests/qzr_tests --gtest_brief=1 \
    --gtest_filter='Lzari*:FastLzari*:SimdForms*:ReferenceOutput*:Damage*' </dev/null
  if [[ -f ../shared/conformance/check.sh ]]; then QZR_SIMD=$form bash ../shared/conformance/check.sh build/qzrdec; fi
done
wide=$(objdump -d --no-show-raw-insn -C build/libqzr.a | awk '/^[0-9a-f]+ <.*>:$/ {f = $0} /%[yz]mm/ {print f}' |
  sort -u | grep -vE 'expand_avx(2|512)|Avx(2|512)Model' || true)
if [[ -n $wide ]]; then
  printf 'AVX2 or AVX-512 registers outside the forms chosen at run time:\n%s\n' "$wide"
  exit 1
fi

echo "== the Python package"
bash scripts/python-test.sh | tee -a "$log"

echo "== the web module under Node.js and the viewer page in headless Chromium"
bash scripts/web-test.sh build

# Benchmarks are measured by hand (see doc/performance.md); here they only have to
# build and run.
echo "== the stage benchmarks, one short pass"
build/bench/qzr_bench --benchmark_min_time=0.01 </dev/null
if [[ ${CI:-} == true || ${QZR_TEST_COMPARE:-0} == 1 ]]; then
  echo "== the decoder comparison, one short pass"
  QUICK=1 QZR_BUILD_DIR=build bash bench/compare.sh </dev/null
  echo "== the archive conversion benchmark, one short pass"
  QUICK=1 QZR_BUILD_DIR=build bash bench/archive.sh </dev/null
fi

echo "== the installed library, used by an outside program"
bash scripts/install-test.sh build
cmake -S . -B build-shared -DCMAKE_BUILD_TYPE=Release -DQZR_SHARED=ON -DQZR_BUILD_TESTS=OFF >/dev/null
bash scripts/install-test.sh build-shared
# Installing a package changes the machine: CI (CI=true) does it, a
# developer asks for it with QZR_TEST_DEB=1.
if [[ ${CI:-} == true || ${QZR_TEST_DEB:-0} == 1 ]]; then
  echo "== the Debian package"
  bash scripts/deb-test.sh build
else
  echo "== the Debian package: not installed here (set QZR_TEST_DEB=1, or run scripts/deb-test.sh)"
fi
# The Windows build under Wine: in CI always (the script installs MinGW-w64
# and Wine), elsewhere when both are installed; QZR_TEST_WINDOWS=0 skips it.
windows_tools() { command -v x86_64-w64-mingw32-g++-posix >/dev/null && [[ -x /usr/lib/wine/wine64 ]]; }
if [[ ${QZR_TEST_WINDOWS:-} != 0 ]] && { [[ ${CI:-} == true || ${QZR_TEST_WINDOWS:-} == 1 ]] || windows_tools; }; then
  echo "== the Windows build under Wine"
  bash scripts/windows-test.sh build
  echo "== the Windows installer under Wine: install, WIC programs, thumbnails, uninstall"
  bash scripts/windows-package-test.sh build
else
  echo "== the Windows build: MinGW-w64 or Wine missing (set QZR_TEST_WINDOWS=1 to install them)"
fi

# The portable forms of the vector kernels, which the aarch64 and s390x
# builds compile, on x86 too: the unit tests' pinned outputs hold them to the
# same bytes as the SSE2 forms.
echo "== the unit tests with the portable forms of the vector kernels (QZR_PORTABLE)"
cmake -S . -B build-portable -DCMAKE_BUILD_TYPE=Release -DQZR_PORTABLE=ON -DQZR_BUILD_TESTS=ON \
  -DQZR_BUILD_ENCODER=OFF -DQZR_BUILD_BENCH=OFF -DQZR_BUILD_GDK_PIXBUF=OFF >/dev/null
cmake --build build-portable -j"$jobs" --target qzr_tests >/dev/null
build-portable/tests/qzr_tests --gtest_brief=1 </dev/null

# The 64-bit Arm and big-endian IBM Z builds under qemu-user: in CI always
# (the script installs the cross compilers and qemu), elsewhere when they are
# installed; QZR_TEST_CROSS=0 skips it.
cross_tools() { command -v aarch64-linux-gnu-g++ >/dev/null && command -v s390x-linux-gnu-g++ >/dev/null && command -v qemu-s390x >/dev/null; }
if [[ ${QZR_TEST_CROSS:-} != 0 ]] && { [[ ${CI:-} == true || ${QZR_TEST_CROSS:-} == 1 ]] || cross_tools; }; then
  echo "== the aarch64 and s390x builds under qemu"
  bash scripts/cross-test.sh build
else
  echo "== the aarch64 and s390x builds: cross compilers or qemu-user missing (set QZR_TEST_CROSS=1 to install them)"
fi

echo "== the suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZR_SANITIZE=ON -DQZR_BUILD_TESTS=ON \
  -DQZR_BUILD_ENCODER=ON -DQZR_BUILD_GDK_PIXBUF=ON -DQZR_BUILD_VIPS=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_suite build-asan

echo "== threads decoding at once through the C API, one decode on several threads, and the synthesis bands and BMP rows on threads, under ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZR_SANITIZE_THREAD=ON -DQZR_BUILD_TESTS=ON \
  -DQZR_BUILD_ENCODER=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target c_api_test qzr_run_tests qzr_tests >/dev/null
TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan -R '^(c_api|Threads\.|FastSynthesis\.Bands|BmpWriter\.RowsStraight)'

echo "== fuzz smoke"
bash scripts/fuzz.sh "${QZR_FUZZ_SECONDS:-60}"
summary
