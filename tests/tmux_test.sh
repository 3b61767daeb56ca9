# shellcheck shell=bash
# Sourced by the shell tests that drive a terminal in tmux: skips the test
# (exit 77) without tmux; sets work (a scratch directory) and socket (a tmux
# server of the test's own), both removed at exit; fail() records a failure
# in `failed`.
command -v tmux >/dev/null || { echo "no tmux: skipped"; exit 77; }
work=$(mktemp -d)
socket=qzr-test-$$
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
