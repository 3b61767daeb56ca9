#!/usr/bin/env bash
# The key wait on a real terminal, in tmux: a run whose standard input and
# standard output are both the terminal waits after its prompt and ends on
# one key; a run whose output goes to a file or a pipe, or whose input is not
# the terminal, ends at once, since nobody reads the prompt.
# usage: key_wait_test.sh QZRDEC PICTURE.qzr   (exit 77: no tmux, skipped)
set -euo pipefail
qzrdec=$(realpath "$1")
picture=$(realpath "$2")
# shellcheck source=tests/tmux_test.sh
source "$(dirname "${BASH_SOURCE[0]}")/tmux_test.sh"

# start NAME COMMAND: runs COMMAND in a shell on a fresh terminal in its own
# directory; the shell records the status in the file `status` there.
start() {
  mkdir "$work/$1"
  cp "$picture" "$work/$1/pic.qzr"
  tmux -L "$socket" new-session -d -s "$1" -x 100 -y 20 "cd '$work/$1' && $2; echo \$? >status; sleep 60"
}
# ended NAME SECONDS: the status file appeared within SECONDS.
ended() {
  for _ in $(seq $(($2 * 10))); do
    [[ -s $work/$1/status ]] && return 0
    sleep 0.1
  done
  return 1
}
prompt_shown() {
  for _ in $(seq 100); do
    tmux -L "$socket" capture-pane -p -t "$1" | grep -q 'Press any key' && return 0
    sleep 0.1
  done
  return 1
}

# On the terminal: waits, and one key (a plain one, or a cursor key that
# sends an escape sequence) ends the wait, with the run's own status.
for key in x Up; do
  for args in "pic.qzr out.bmp" ""; do
    name=console-$key-usage
    [[ -n $args ]] && name=console-$key-decode
    start "$name" "'$qzrdec' $args"
    prompt_shown "$name" || fail "$name: no prompt on the terminal"
    sleep 1
    if ended "$name" 0; then
      fail "$name: ended without a key"
      continue
    fi
    tmux -L "$socket" send-keys -t "$name" "$key"
    ended "$name" 10 || { fail "$name: the key did not end the wait"; continue; }
    want=0
    [[ -z $args ]] && want=255
    [[ $(cat "$work/$name/status") == "$want" ]] || fail "$name: status $(cat "$work/$name/status"), not $want"
  done
done
[[ -s $work/console-x-decode/out.bmp ]] || fail "the run on the terminal wrote no picture"

# Output or input elsewhere: the run ends by itself.
start to-file "'$qzrdec' pic.qzr out.bmp >log.txt"
start to-pipe "'$qzrdec' pic.qzr out.bmp | cat >log.txt"
start from-null "'$qzrdec' pic.qzr out.bmp </dev/null"
start usage-to-file "'$qzrdec' >log.txt"
for name in to-file to-pipe from-null usage-to-file; do
  if ! ended "$name" 20; then
    fail "$name: waited for a key nobody sees"
    continue
  fi
  want=0
  [[ $name == usage-to-file ]] && want=255
  [[ $(cat "$work/$name/status") == "$want" ]] || fail "$name: status $(cat "$work/$name/status"), not $want"
done
grep -q 'Press any key' "$work/to-file/log.txt" || fail "to-file: the prompt is not in the log"
cmp -s "$work/to-file/out.bmp" "$work/console-x-decode/out.bmp" || fail "to-file: another picture"

((failed == 0)) && echo "the key wait happens on a terminal only, and ends on one key"
exit "$failed"
