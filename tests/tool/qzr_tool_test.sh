#!/usr/bin/env bash
# qzr convert interrupted by a signal leaves only whole pictures and no
# temporaries; its progress line shows on a terminal (in tmux) and nowhere
# else. usage: qzr_tool_test.sh QZR SAMPLES_DIR   (exit 77: no tmux)
set -euo pipefail
qzr=$(realpath "$1")
samples=$(realpath "$2")
# shellcheck source=tests/tmux_test.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tmux_test.sh"
cd "$work"
mkdir in
for i in $(seq 300); do cp "$samples/coffee.qzr" "in/p$i.qzr"; done
"$qzr" convert -f bmp -o reference "$samples/coffee.qzr" 2>/dev/null

# A signal part way: every output there is is whole, no temporary is left.
for sig in TERM INT; do
  rm -rf out
  "$qzr" convert -r -j 2 -f bmp -o out in 2>"run-$sig.log" &
  pid=$!
  sleep 0.4
  kill -"$sig" "$pid" 2>/dev/null || true
  status=0
  wait "$pid" || status=$?
  # (A slow build may be stopped before it made even the folder.)
  mkdir -p out
  made=$(find out -name 'p*.bmp' | wc -l)
  if ((made == 300)); then
    echo "note: the run ended before SIG$sig came"
  elif [[ $status != $((128 + $(kill -l "$sig"))) ]]; then
    fail "SIG$sig: status $status"
  fi
  for f in out/p*.bmp; do
    [[ -e $f ]] || continue
    cmp -s "$f" reference/coffee.bmp || fail "SIG$sig: $f is not the whole picture"
  done
  leftovers=$(find out -name '.*' | wc -l)
  ((leftovers == 0)) || fail "SIG$sig: $leftovers temporaries left"
  echo "SIG$sig after $made of 300 pictures: status $status, only whole pictures, no temporaries"
done

# Not on a terminal: no progress line, no carriage returns, only the summary.
rm -rf out
"$qzr" convert -r -j 2 -o out in 2>plain.log
[[ $(cat plain.log) == "300 converted, 0 skipped, 0 failed" ]] || fail "off a terminal it printed: $(head -c 200 plain.log)"

# On a terminal: the progress line, redrawn in place, then the summary.
rm -rf out
tmux -L "$socket" new-session -d -s progress -x 120 -y 20 \
  "cd '$work' && '$qzr' convert -r -j 1 --force -o out in; echo \$? >status; sleep 60"
seen=0
for _ in $(seq 300); do
  tmux -L "$socket" capture-pane -p -t progress | grep -qE '[0-9]+ of 300 files, [0-9.]+ pictures/s, [0-9]+:[0-9]{2} left' &&
    seen=1
  [[ -s status ]] && break
  sleep 0.1
done
for _ in $(seq 300); do [[ -s status ]] && break; sleep 0.1; done
((seen)) || fail "no progress line on the terminal"
[[ $(cat status 2>/dev/null) == 0 ]] || fail "the run on the terminal failed"
tmux -L "$socket" capture-pane -p -t progress | grep -q '^300 converted, 0 skipped, 0 failed' ||
  fail "no summary on the terminal"

((failed == 0)) && echo "interrupted runs leave whole pictures; progress shows on a terminal only"
exit "$failed"
