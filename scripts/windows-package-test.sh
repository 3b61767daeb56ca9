#!/usr/bin/env bash
# The Windows installer under Wine, as a user meets it: builds it
# (windows-package.sh), installs it silently into a fresh Wine prefix, checks
# the files, the registry and the PATH, runs the WIC tests against the
# installed decoder (windows-wic-test.sh --installed), then uninstalls it and
# checks that the folder and the registry are as they were before. A second
# round installs into a folder of the user's choosing, without the PATH.
# usage: windows-package-test.sh [LINUX_BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux=${1:-build}
started=$SECONDS
bash scripts/windows-package.sh
bash scripts/deps.sh wine64 python3
setup=$(ls build-windows/qzr-*-setup.exe)
echo "windows-package-test: built after $((SECONDS - started)) s"

wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
work=$(mktemp -d)
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  rm -rf "$work" 2>/dev/null || rm -rf "$work" || true
}
trap cleanup EXIT
# UTF-8, so that names that are not ASCII reach Windows programs whole.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
failed=0
fail() {
  echo "windows-package-test: FAIL: $*"
  failed=$((failed + 1))
}
# A Windows program under Wine, then every process it started has ended and
# the registry is on disk.
win() {
  local rc=0
  timeout 300 "$wine" "$@" </dev/null || rc=$?
  timeout 120 "$wineserver" -w || true
  return "$rc"
}
# A value's data as `reg query` shows it: "    NAME    REG_TYPE    DATA".
reg_value() {
  win reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v v="$2" '{ n = split($0, f, /    /) } n >= 4 && f[2] == v { print f[4] }'
}

# Everything the prefix holds, registry and files, in a form to compare.
snapshot() {
  python3 - "$WINEPREFIX" >"$work/$1.registry" <<'EOF'
import re, sys
from pathlib import Path
# Wine rewrites these at every start of the prefix (its device and network
# enumeration); they are not the installer's.
wine_noise = re.compile(r"^\[(System\\\\CurrentControlSet\\\\(Control\\\\Class|Enum|Control\\\\Video|Services\\\\Tcpip)"
                        r"|Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\NetworkCards|Hardware\\\\)")
for hive in ("system.reg", "user.reg"):
    key = None
    for line in (Path(sys.argv[1]) / hive).read_text(encoding="utf-8", errors="replace").splitlines():
        if line.startswith("["):
            key = None if wine_noise.match(line) else re.sub(r"\] \d+$", "]", line)
        elif key and line and not line.startswith("#time=") and not line.startswith(";"):
            # The uninstaller's copy of itself in the temporary folder goes at
            # the next start, as on Windows.
            if line.startswith('"PendingFileRenameOperations"') and "~nsu" in line:
                continue
            print(hive, key, line)
EOF
  (cd "$WINEPREFIX/drive_c" && find . -path ./users/*/Temp -prune -o -print | sort) >"$work/$1.files"
}
same_as() {
  local before=$1 after=$2 what=$3
  cmp -s "$work/$before.registry" "$work/$after.registry" ||
    { fail "$what: the registry differs:"; diff "$work/$before.registry" "$work/$after.registry" | head -20; }
  cmp -s "$work/$before.files" "$work/$after.files" ||
    { fail "$what: the files differ:"; diff "$work/$before.files" "$work/$after.files" | head -20; }
}

win wineboot -i >/dev/null 2>&1
# A PATH of the user's own, which the installer must keep.
win reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d 'C:\tools' /f >/dev/null
snapshot before

# Round one: the default folder, on the PATH.
win "$setup" /S /PATH || fail "the silent install ended with status $?"
dir='C:\Program Files\qzr'
unix_dir=$WINEPREFIX/drive_c/Program\ Files/qzr
for f in qzrdec.exe qzrenc.exe qzr.exe qzr_wic.dll uninstall.exe doc/qzr.txt doc/qzrdec.txt doc/qzrenc.txt; do
  [[ -f $unix_dir/$f ]] || fail "the install lacks $f"
done
[[ $(reg_value 'HKCU\Environment' Path) == "C:\\tools;$dir" ]] ||
  fail "the user's PATH is '$(reg_value 'HKCU\Environment' Path)' after the install"
[[ $(reg_value 'HKCR\.qzr' 'Content Type') == image/x-qzr ]] || fail ".qzr is not typed image/x-qzr"
[[ $(reg_value 'HKCR\.qzr' PerceivedType) == image ]] || fail ".qzr is not perceived as an image"
[[ $(reg_value 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\qzr' QuietUninstallString) == \
  "\"$dir\\uninstall.exe\" /S" ]] || fail "no uninstall entry"
# The programs from the PATH, in a new console as a user would start them.
win cmd /c 'qzr --version' >"$work/version.out" 2>&1 || fail "qzr from the PATH failed"
grep -q '^qzr ' "$work/version.out" || { fail "qzr --version from the PATH:"; head -5 "$work/version.out"; }
mkdir "$work/decode"
cp samples/coffee.qzr "$work/decode/"
(cd "$work/decode" && win cmd /c 'qzrdec coffee.qzr out.bmp' >/dev/null 2>&1) || fail "qzrdec from the PATH failed"
"$root/$linux/qzrdec" samples/coffee.qzr "$work/linux.bmp" </dev/null >/dev/null
cmp -s "$work/decode/out.bmp" "$work/linux.bmp" || fail "the installed qzrdec writes other bytes"
echo "windows-package-test: installed into $dir, on the PATH, after $((SECONDS - started)) s"

# Every WIC program finds the installed decoder.
bash scripts/windows-wic-test.sh --installed "$linux" || fail "the WIC tests against the installed decoder"

win "$dir\\uninstall.exe" /S || fail "the silent uninstall ended with status $?"
snapshot after
same_as before after "after the uninstall"
echo "windows-package-test: the uninstall left the registry and the files as they were"

# Round two: a folder of the user's own, with a space and a letter that is
# not ASCII; the PATH is left alone.
dir='C:\Werkzeuge\Bildformate Ä'
# /D= takes the rest of the command line as it stands, unquoted, as a user
# types it; Wine would quote an argument with a space, so cmd passes it.
cp "$setup" "$WINEPREFIX/drive_c/qzr-setup.exe"
win cmd /c "C:\\qzr-setup.exe /S /D=$dir" || fail "the silent install into '$dir' ended with status $?"
[[ -f "$WINEPREFIX/drive_c/Werkzeuge/Bildformate Ä/qzr_wic.dll" ]] || fail "nothing installed into '$dir'"
[[ $(reg_value 'HKCU\Environment' Path) == 'C:\tools' ]] || fail "the PATH changed without /PATH"
mkdir "$work/wic"
cp samples/astronaut.qzr "$work/wic/picture"  # found by its content, not its name
(cd "$work/wic" && win "$WINEPREFIX/drive_c/Werkzeuge/Bildformate Ä/qzr.exe" info picture >/dev/null 2>&1) ||
  fail "qzr.exe from '$dir' failed"
win "$dir\\uninstall.exe" /S || fail "the second uninstall ended with status $?"
# The folder the user named goes with what was in it; its parent stays.
rm "$WINEPREFIX/drive_c/qzr-setup.exe"
snapshot after2
grep -v '^./Werkzeuge$' "$work/after2.files" >"$work/after2.files.new" && mv "$work/after2.files.new" "$work/after2.files"
same_as before after2 "after the second uninstall"

echo "windows-package-test: $((SECONDS - started)) s in all"
if ((failed)); then
  echo "windows-package-test: $failed failed"
  exit 1
fi
echo "windows-package-test: passed"
