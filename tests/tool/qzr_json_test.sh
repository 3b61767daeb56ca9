#!/usr/bin/env bash
# qzr info --json gives valid UTF-8 JSON for any file name, and a script
# gets each name's exact bytes back (Python: surrogateescape).
# usage: qzr_json_test.sh QZR SAMPLES_DIR   (exit 77: no python3)
set -euo pipefail
qzr=$(realpath "$1")
samples=$(realpath "$2")
command -v python3 >/dev/null || { echo "no python3"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir names
# Latin-1 from an old archive, UTF-8, a stray continuation byte, quotes,
# a backslash and control characters.
for name in $'caf\xe9' $'\xc9t\xe9 \xe0 Paris' 'café' $'bad\x80\xbf' 'say "hi" \ back' $'tab\there\x1b' ; do
  cp "$samples/coffee.qzr" "names/$name.qzr"
done
printf 'VKQZ' >names/$'\xff'broken.qzr
status=0
"$qzr" info --json -r names >info.json || status=$?
[[ $status == 1 ]] || { echo "status $status, not 1 (one file is no QZR file)"; exit 1; }

python3 - names info.json <<'PY'
import json, os, sys
names, out = sys.argv[1], sys.argv[2]
raw = open(out, "rb").read()
raw.decode("utf-8")  # strict: the output is UTF-8 whatever the names
got = sorted(json.loads(line)["file"].encode("utf-8", "surrogateescape") for line in raw.splitlines())
want = sorted(os.path.join(os.fsencode(names), n) for n in os.listdir(os.fsencode(names)))
if got != want:
    sys.exit("names not given back:\n %r\n %r" % (got, want))
for line in raw.splitlines():
    if any(b < 0x20 for b in line):
        sys.exit("a raw control character in %r" % line)
PY
if command -v jq >/dev/null; then
  jq -e .file info.json >/dev/null || { echo "jq cannot read the output"; exit 1; }
fi
echo "qzr info --json: every name is UTF-8 JSON and comes back byte for byte"
