#!/usr/bin/env bash
# Cross-builds qzrdec.exe, qzrenc.exe and qzr.exe with MinGW-w64 and runs
# them under Wine beside the Linux build, case by case in scratch
# directories: the same console text (with CRLF line ends, as the Windows C
# runtime writes them in text mode), the same exit status and the same
# files, byte for byte. Also the unit tests built for Windows, the encoder,
# parallel runs in one directory, the key wait on a real console (inside
# tmux, when it is installed), and the archive tool on a tree whose names
# are not ASCII, Ctrl-C included.
# Installs g++-mingw-w64-x86-64, libz-mingw-w64-dev and wine64 with apt-get when
# missing.
# usage: windows-test.sh [LINUX_BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux=$root/${1:-build}
jobs=$(nproc 2>/dev/null || echo 2)

started=$SECONDS
bash scripts/deps.sh build tests g++-mingw-w64-x86-64 libz-mingw-w64-dev wine64
echo "windows-test: cross compiler and Wine ready after $((SECONDS - started)) s"
wine=$(command -v wine64 || true)
[[ -n $wine ]] || wine=/usr/lib/wine/wine64  # Debian's wine64 keeps its loader there
[[ -x $wine ]] || { echo "windows-test: no wine64 loader"; exit 1; }

# The unit tests too, from the GoogleTest source that libgtest-dev ships.
unit_tests=OFF
[[ -f /usr/src/googletest/CMakeLists.txt ]] && unit_tests=ON
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DQZR_BUILD_TESTS=$unit_tests >/dev/null 2>&1 || { echo "windows-test: the cross configure failed"; exit 1; }
cmake --build build-windows -j"$jobs" >/dev/null
if [[ ! -x $linux/qzrdec || ! -x $linux/tools/qzrenc ]]; then
  cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$linux" -j"$jobs" >/dev/null
fi
if [[ -x $root/build-windows/tools/qzr.exe && ! -x $linux/tests/png_pixels ]]; then
  cmake --build "$linux" -j"$jobs" --target qzr_tool png_pixels >/dev/null
fi
echo "windows-test: built after $((SECONDS - started)) s"

work=$(mktemp -d)
cleanup() {
  # The wine server may still be writing into its prefix as it ends: wait
  # for it, and let a folder it left behind not fail a run that passed.
  if [[ -n ${WINEPREFIX:-} ]]; then
    WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null || true
    WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -w 2>/dev/null || true
  fi
  tmux kill-session -t "qzr-keywait-$$" 2>/dev/null || true
  rm -rf "$work" 2>/dev/null || rm -rf "$work" || true
}
trap cleanup EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
dec_exe=$root/build-windows/qzrdec.exe
enc_exe=$root/build-windows/tools/qzrenc.exe
failed=0
fail() {
  echo "windows-test: FAIL: $*"
  failed=$((failed + 1))
}
# Runs a Windows program under Wine without a console (standard input NUL).
win() { timeout 120 "$wine" "$@" </dev/null; }

# The first run makes the Wine prefix, which takes a few seconds.
win "$dec_exe" >/dev/null 2>&1 || true

if [[ $unit_tests == ON ]]; then
  if win "$root/build-windows/tests/qzr_tests.exe" >"$work/unit.out" 2>&1; then
    echo "windows-test: unit and library tests: $(grep -oE '[0-9]+ tests? from [0-9]+ test suites? ran' "$work/unit.out")"
  else
    fail "unit tests under Wine:"
    grep -E '^\[  FAILED|Failure' "$work/unit.out" | head -20
  fi
else
  echo "windows-test: no GoogleTest source: the unit tests are not cross-built"
fi
if win "$root/build-windows/tests/c_api_test.exe" "$root/samples/astronaut.qzr" "$root/samples/coffee.qzr" \
  >"$work/c_api.out" 2>&1; then
  echo "windows-test: the C API's checks pass, threads included"
else
  fail "the C API's checks under Wine:"
  head -20 "$work/c_api.out"
fi

samples=$root/samples
mkdir "$work/inputs"
cp "$samples/astronaut.qzr" "$samples/coffee.qzr" "$work/inputs/"
in=$work/inputs
head -c 20 "$in/coffee.qzr" >"$in/short-header.qzr"
head -c 34 "$in/coffee.qzr" >"$in/short-length.qzr"
head -c 4000 "$in/coffee.qzr" >"$in/truncated.qzr"
{ printf 'VkQZ'; tail -c +5 "$in/coffee.qzr"; } >"$in/bad-magic.qzr"
{ head -c 28 "$in/coffee.qzr"; printf '0012'; tail -c +33 "$in/coffee.qzr"; } >"$in/bad-version.qzr"

# case NAME INPUT_FILES -- ARGS: runs both builds in fresh directories
# holding copies of the inputs and compares transcript, status and files.
case_() {
  local name=$1
  shift
  local files=()
  while [[ $1 != -- ]]; do files+=("$1"); shift; done
  shift
  local l=$work/linux/$name w=$work/windows/$name
  mkdir -p "$l" "$w"
  for f in "${files[@]}"; do cp "$in/${f%%=*}" "$l/${f##*=}"; cp "$in/${f%%=*}" "$w/${f##*=}"; done
  if [[ -n ${PLANT:-} ]]; then (cd "$l" && eval "$PLANT") && (cd "$w" && eval "$PLANT"); fi
  local lrc=0 wrc=0
  (cd "$l" && timeout 60 "$linux/qzrdec" "$@" </dev/null >"$work/$name.linux.out" 2>&1) || lrc=$?
  (cd "$w" && win "$dec_exe" "$@" >"$work/$name.windows.out" 2>"$work/$name.windows.err") || wrc=$?
  [[ $lrc == "$wrc" ]] || fail "$name: exit status $wrc under Wine, $lrc on Linux"
  local mask='s/time: -?[0-9]+ ms/time: N ms/'
  # Every line end of the Windows transcript is CRLF; without the CRs it is
  # the Linux transcript.
  local crs lfs
  crs=$(tr -cd '\r' <"$work/$name.windows.out" | wc -c)
  lfs=$(tr -cd '\n' <"$work/$name.windows.out" | wc -c)
  [[ $crs == "$lfs" ]] || fail "$name: $lfs line ends but $crs CRs"
  if ! cmp -s <(tr -d '\r' <"$work/$name.windows.out" | sed -E "$mask") <(sed -E "$mask" "$work/$name.linux.out"); then
    fail "$name: other console text under Wine:"
    diff <(tr -d '\r' <"$work/$name.windows.out") "$work/$name.linux.out" | head -10 || true
  fi
  [[ $(cd "$l" && ls -A) == "$(cd "$w" && ls -A)" ]] ||
    fail "$name: other files left: Wine [$(cd "$w" && ls -A | tr '\n' ' ')], Linux [$(cd "$l" && ls -A | tr '\n' ' ')]"
  for f in $(cd "$l" && ls -A); do
    [[ ! -f $w/$f ]] || cmp -s "$l/$f" "$w/$f" || fail "$name: $f differs"
  done
  echo "windows-test: $name: status $wrc, $(ls -A "$w" | tr '\n' ' ')"
}

case_ astronaut astronaut.qzr -- astronaut.qzr out.bmp
case_ coffee-default-output coffee.qzr -- coffee.qzr
case_ extra-arguments coffee.qzr -- coffee.qzr out.bmp ignored
case_ no-arguments --
case_ missing-input --  no-such-file.qzr
case_ bad-magic bad-magic.qzr -- bad-magic.qzr
case_ bad-version bad-version.qzr -- bad-version.qzr
case_ short-header short-header.qzr -- short-header.qzr
case_ short-length-word short-length.qzr -- short-length.qzr
case_ truncated-stream truncated.qzr -- truncated.qzr out.bmp
case_ input-is-temp-tmp coffee.qzr=temp.tmp -- temp.tmp out.bmp
case_ output-is-temp-tmp coffee.qzr -- coffee.qzr temp.tmp
case_ output-directory-missing coffee.qzr -- coffee.qzr no-such-dir/out.bmp
case_ output-is-the-input coffee.qzr -- coffee.qzr coffee.qzr
case_ output-is-a-picture coffee.qzr astronaut.qzr -- coffee.qzr astronaut.qzr
case_ stale-temp-tmp coffee.qzr truncated.qzr=temp.tmp -- coffee.qzr out.bmp
# A hard link in temp.tmp's place is refused and the file it shares kept as
# it was. (A symbolic link is a reparse point on Windows, refused the same
# way; Wine shows a Linux link as the file it points to, so it is not tried.)
PLANT='echo keep >victim && ln victim temp.tmp' case_ temp-tmp-hard-link coffee.qzr -- coffee.qzr out.bmp

# The encoder: the same .qzr bytes from the same picture (BMP input; the
# Windows build has no PNG input).
bmp=$work/linux/astronaut/out.bmp
for opts in "" "--bpp 1" "--quality 30 --levels 3"; do
  # shellcheck disable=SC2086 # the options are separate words
  "$linux/tools/qzrenc" --force $opts "$bmp" "$work/enc-linux.qzr" >/dev/null
  # shellcheck disable=SC2086
  (cd "$work" && win "$enc_exe" --force $opts "$bmp" enc-windows.qzr >/dev/null 2>&1) || fail "qzrenc.exe $opts failed"
  cmp -s "$work/enc-linux.qzr" "$work/enc-windows.qzr" || fail "qzrenc.exe $opts writes other bytes"
done
# Names that are not ASCII, in and out.
cp "$bmp" "$work/Kaffee ☕.bmp"
(cd "$work" && win "$enc_exe" "Kaffee ☕.bmp" "出力 é.qzr" >/dev/null 2>&1) || fail "qzrenc.exe with names not in ASCII failed"
"$linux/tools/qzrenc" "$bmp" "$work/enc-linux.qzr" --force >/dev/null
cmp -s "$work/enc-linux.qzr" "$work/出力 é.qzr" || fail "qzrenc.exe with names not in ASCII writes other bytes"
echo "windows-test: qzrenc.exe writes the Linux build's bytes"

# Runs in one directory take turns with temp.tmp.
mkdir "$work/parallel"
pids=()
for i in 1 2 3 4; do
  s=astronaut
  ((i % 2)) || s=coffee
  (cd "$work/parallel" && win "$dec_exe" "$in/$s.qzr" "$s$i.bmp" >/dev/null 2>&1) &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || fail "a parallel run failed"; done
cmp -s "$work/parallel/astronaut1.bmp" "$work/linux/astronaut/out.bmp" &&
  cmp -s "$work/parallel/astronaut3.bmp" "$work/linux/astronaut/out.bmp" &&
  cmp -s "$work/parallel/coffee2.bmp" "$work/linux/coffee-default-output/coffee.qzr.bmp" &&
  cmp -s "$work/parallel/coffee4.bmp" "$work/linux/coffee-default-output/coffee.qzr.bmp" ||
  fail "parallel runs gave other pictures"
[[ ! -e $work/parallel/temp.tmp ]] || fail "parallel runs left temp.tmp"
echo "windows-test: four parallel runs in one directory each give their picture"

# The key wait on a console: Wine gives a program started on a terminal a
# console; the run must wait after its prompt and end on one key. Wine's
# console now and then hands the program an input event of its own at the
# start, which ends the wait at once; one more try tells that from a run that
# never waits.
console_try() {
  local dir=$work/console$1 session=qzr-keywait-$$-$1
  mkdir "$dir"
  tmux new-session -d -s "$session" -x 100 -y 20 \
    "cd '$dir' && '$wine' '$dec_exe' '$in/coffee.qzr' out.bmp; echo \$? >status; sleep 60"
  for _ in $(seq 100); do
    tmux capture-pane -p -t "$session" | grep -q 'Press any key' && break
    sleep 0.2
  done
  sleep 1
  local result=0
  if [[ -e $dir/status ]]; then
    result=1
  else
    tmux send-keys -t "$session" Up  # an escape sequence on the terminal: one key
    for _ in $(seq 50); do [[ -e $dir/status ]] && break; sleep 0.2; done
    [[ $(cat "$dir/status" 2>/dev/null) == 0 ]] || result=2
  fi
  tmux kill-session -t "$session" 2>/dev/null || true
  return "$result"
}
if command -v tmux >/dev/null; then
  outcome=0
  for attempt in 1 2; do
    console_try "$attempt" && { outcome=0; break; } || outcome=$?
    echo "windows-test: console try $attempt: $([[ $outcome == 1 ]] && echo 'no wait' || echo 'no end on the key')"
  done
  case $outcome in
    0) echo "windows-test: on a console the run waits after its prompt and ends on one key" ;;
    1) fail "the console run did not wait for a key" ;;
    *) fail "the console run did not end on a key" ;;
  esac
  # Output to a file: nobody reads the prompt, so the run does not wait.
  dir=$work/console-log session=qzr-keywait-$$-log
  mkdir "$dir"
  tmux new-session -d -s "$session" -x 100 -y 20 \
    "cd '$dir' && '$wine' '$dec_exe' '$in/coffee.qzr' out.bmp >log.txt; echo \$? >status; sleep 60"
  for _ in $(seq 300); do [[ -s $dir/status ]] && break; sleep 0.2; done
  tmux kill-session -t "$session" 2>/dev/null || true
  if [[ $(cat "$dir/status" 2>/dev/null) == 0 ]] && grep -q 'Press any key' "$dir/log.txt"; then
    echo "windows-test: with the output logged to a file the run ends without a key"
  else
    fail "the run logged to a file waited for a key, or failed"
  fi
else
  echo "windows-test: no tmux: the key wait on a console is not tried"
fi

# qzr.exe beside the Linux qzr, each on its own copy of an archive whose
# folder and file names are not ASCII: the same lines on standard output
# and error (CRLF and "\" aside) and the same statuses, for convert, check
# and info on sound and damaged files; PNG files that libpng reads strictly
# (png_pixels: any warning or bad CRC fails) with the Linux files' pixels.
qzr_exe=$root/build-windows/tools/qzr.exe
if [[ -x $qzr_exe && -x $linux/tools/qzr && -x $linux/tests/png_pixels ]]; then
  qzr_started=$SECONDS
  tree=$work/qzr-tree
  mkdir -p "$tree/Fotos/Österreich" "$tree/写真" "$tree/kaputt"
  cp "$samples/coffee.qzr" "$tree/Fotos/Österreich/Café ☕.qzr"
  cp "$samples/astronaut.qzr" "$tree/Fotos/Österreich/Wien.QZR"
  cp "$samples/astronaut.qzr" "$tree/写真/宇宙飛行士.qzr"
  "$linux/tools/qzrenc" --quality 30 --levels 3 "$bmp" "$tree/写真/エンコード済み.qzr" >/dev/null
  "$linux/tools/qzrenc" --bpp 0.5 "$work/linux/coffee-default-output/coffee.qzr.bmp" "$tree/Fotos/Kaffee ½.qzr" >/dev/null
  cp "$in/truncated.qzr" "$tree/kaputt/Ünterbrochen.qzr"
  cp "$in/bad-magic.qzr" "$tree/kaputt/ÿ bad magic.qzr"
  cp -r "$tree" "$work/qzr-linux"
  cp -r "$tree" "$work/qzr-windows"
  # Text with "\" (or "\\" in JSON) as "/" and no CRs; with SORTED set, its
  # lines sorted (failures at -j 2 come in the order the files end).
  normal() { tr -d '\r' | sed 's#\\\\#/#g; s#\\#/#g' | if [[ -n ${SORTED:-} ]]; then sort; else cat; fi; }
  # qzr_case NAME ARGS...: both programs in their copies, from the top.
  qzr_case() {
    local name=qzr-$1 lrc=0 wrc=0
    shift
    (cd "$work/qzr-linux" && timeout 60 "$linux/tools/qzr" "$@" </dev/null >"$work/$name.l1" 2>"$work/$name.l2") || lrc=$?
    (cd "$work/qzr-windows" && win "$qzr_exe" "$@" >"$work/$name.w1" 2>"$work/$name.w2") || wrc=$?
    [[ $lrc == "$wrc" ]] || fail "$name: exit status $wrc under Wine, $lrc on Linux"
    for s in 1 2; do
      cmp -s <(normal <"$work/$name.w$s") <(normal <"$work/$name.l$s") || {
        fail "$name: other text on descriptor $s under Wine:"
        diff <(normal <"$work/$name.w$s") <(normal <"$work/$name.l$s") | head -10 || true
      }
    done
    echo "windows-test: $name: status $wrc, $(wc -l <"$work/$name.w1") + $(wc -l <"$work/$name.w2") lines"
  }
  # The pictures of two output trees: the same names, the same pixels.
  same_pictures() {
    local l=$work/qzr-linux/$1 w=$work/qzr-windows/$1 f
    [[ $(cd "$l" && find . | sort) == "$(cd "$w" && find . | sort)" ]] || fail "qzr: other files in $1 under Wine"
    while IFS= read -r -d '' f; do
      "$linux/tests/png_pixels" "$w/$f" >"$work/win.ppm" || fail "qzr: libpng does not read $1/$f as written by qzr.exe"
      "$linux/tests/png_pixels" "$l/$f" | cmp -s - "$work/win.ppm" || fail "qzr: $1/$f has other pixels"
    done < <(cd "$w" && find . -name '*.png' -print0)
  }
  # One thread where the order of the failure lines is compared.
  qzr_case convert convert -r -j 1 -o Bilder Fotos 写真 kaputt
  same_pictures Bilder
  qzr_case resume convert -r -j 1 -o Bilder Fotos 写真 kaputt
  SORTED=1 qzr_case convert-j2 convert -r -j 2 -o Bilder2 .
  same_pictures Bilder2
  # Beside the inputs: an output that exists is kept, --force replaces it.
  for side in linux windows; do echo keep >"$work/qzr-$side/写真/宇宙飛行士.png"; done
  qzr_case beside convert -r 写真
  [[ $(cat "$work/qzr-windows/写真/宇宙飛行士.png") == keep ]] || fail "qzr.exe replaced an output without --force"
  qzr_case force convert --force -r 写真
  same_pictures 写真
  qzr_case one-damaged convert "kaputt/Ünterbrochen.qzr"
  qzr_case check check -r .
  qzr_case check-json check --json -j 2 -r Fotos kaputt
  qzr_case info info -r . "kaputt/ÿ bad magic.qzr" no-such.qzr
  qzr_case info-json info --json -r Fotos
  qzr_case usage convert Fotos
  (cd "$work/qzr-windows" && win "$qzr_exe" convert -o - "Fotos/Österreich/Café ☕.qzr" >"$work/stdout.png" 2>/dev/null) &&
    "$linux/tests/png_pixels" "$work/stdout.png" | cmp -s - <("$linux/tools/qzr" convert -f ppm -o - "$tree/Fotos/Österreich/Café ☕.qzr") ||
    fail "qzr.exe -o - does not write the picture's PNG to standard output"
  [[ -z $(find "$work"/qzr-windows -name '.qzr-*') ]] || fail "qzr.exe left temporaries"

  # Ctrl-C on a console: a long run ends with 130, as at SIGINT on Linux,
  # and leaves no temporary; the outputs written are whole.
  if command -v tmux >/dev/null; then
    dir=$work/qzr-ctrl-c session=qzr-ctrl-c-$$
    mkdir -p "$dir/in"
    for i in $(seq 40); do cp "$samples/astronaut.qzr" "$dir/in/$i.qzr"; done
    tmux new-session -d -s "$session" -x 100 -y 20 \
      "cd '$dir' && '$wine' '$qzr_exe' convert -j 2 --png-level 9 -r -o out in; echo \$? >status; sleep 60"
    for _ in $(seq 300); do [[ -n $(find "$dir" -name '*.png' 2>/dev/null) ]] && break; sleep 0.1; done
    sleep 0.5
    tmux send-keys -t "$session" C-c
    for _ in $(seq 100); do [[ -s $dir/status ]] && break; sleep 0.1; done
    tmux kill-session -t "$session" 2>/dev/null || true
    done_files=$(find "$dir/out" -name '*.png' | wc -l)
    [[ $(cat "$dir/status" 2>/dev/null) == 130 ]] || fail "qzr.exe stopped by Ctrl-C: status $(cat "$dir/status" 2>/dev/null), not 130"
    [[ -z $(find "$dir" -name '.qzr-*') ]] || fail "qzr.exe left temporaries at Ctrl-C"
    ((done_files > 0 && done_files < 40)) || fail "qzr.exe at Ctrl-C: $done_files of 40 pictures written"
    for f in "$dir"/out/*.png; do "$linux/tests/png_pixels" "$f" >/dev/null || fail "qzr.exe at Ctrl-C left ${f##*/} unreadable"; done
    echo "windows-test: qzr.exe at Ctrl-C: status 130, $done_files of 40 pictures whole, no temporary"
  else
    echo "windows-test: no tmux: Ctrl-C on qzr.exe is not tried"
  fi
  echo "windows-test: qzr.exe: $((SECONDS - qzr_started)) s"
else
  fail "qzr.exe, the Linux qzr or png_pixels was not built"
fi

echo "windows-test: $((SECONDS - started)) s in all"
if ((failed)); then
  echo "windows-test: $failed failed"
  exit 1
fi
echo "windows-test: passed"
