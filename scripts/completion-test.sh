#!/usr/bin/env bash
# Tries the bash completion of talven in a real interactive bash (in a tmux server
# of its own), as a user pressing Tab would: the line is typed, Tab pressed, and
# what the completion offered is recorded by a wrapper around it. Checks that
#   - after the two folders, `--` offers exactly the long options the program
#     names when it refuses an unknown one, and `-` or nothing offers them too;
#   - an option that takes a value is completed up to its '=' with no space after;
#   - nothing is offered for an option's value;
#   - the first two words complete to folders only, also where a folder's name
#     holds '=' or ':' (which bash splits words at), and the line then reads as it
#     should.
#   scripts/completion-test.sh COMPLETION_FILE PROGRAM SCRATCH_FOLDER
# Exits 0 when every check passes, 1 when one fails, 77 (skipped) when tmux or
# bash-completion is missing.
set -uo pipefail

completion=$(realpath "$1")
program=$(realpath "$2")
scratch=$3
bash_completion=/usr/share/bash-completion/bash_completion
command -v tmux >/dev/null 2>&1 || { echo "completion-test: skipped: tmux is missing"; exit 77; }
[ -f "$bash_completion" ] || { echo "completion-test: skipped: bash-completion is missing"; exit 77; }
[ -f "$completion" ] || { echo "completion-test: no completion file $completion" >&2; exit 1; }

rm -rf "$scratch" && mkdir -p "$scratch/trees" || exit 1
scratch=$(realpath "$scratch")
socket=$scratch/tmux.socket
failed=0
fail() {
  echo "completion-test: $*" >&2
  failed=1
}
finish() { tmux -S "$socket" kill-server >/dev/null 2>&1; }
trap finish EXIT

# The folders and files the first two words may complete to.
trees=$scratch/trees
mkdir -p "$trees/alpha" "$trees/x=y" "$trees/a:b" "$trees/src" && touch "$trees/afile" "$trees/x=file" ||
  exit 1

# The long options the program names in its refusal of an unknown one, a value
# (=N, =FILE) written as the completion offers it (=). Nothing is listed or written: the
# refusal comes before the run looks at either folder.
refusal=$(cd "$trees" && "$program" no-dst no-src --completion-test-unknown 2>&1)
expected=$(sed -nE 's/^Unknown option \[[^]]*\]: the long options are (.*) !$/\1/p' <<<"$refusal" |
  tr -d ',' | tr ' ' '\n' | sed -E 's/=[A-Z]+$/=/' | sort)
[ -n "$expected" ] || { echo "completion-test: the program named no long option: $refusal" >&2; exit 1; }
[ ! -e "$trees/no-dst" ] || fail "the refused run made its destination"

# An interactive bash with nothing of the user's: bash-completion, the completion
# under test, and a wrapper that writes what each Tab offered and with which options.
reply=$scratch/reply
tmux -S "$socket" new-session -d -x 200 -y 50 "env -i HOME=$scratch TERM=xterm PATH=$PATH bash --norc --noprofile -i" ||
  { echo "completion-test: tmux could not start" >&2; exit 1; }
setup="PS1='$ '; source $bash_completion; source $completion; cd '$trees';"
setup+=" _recorded() { _talven \"\$@\"; { printf '%s\\n' \"\${COMPREPLY[@]}\"; compopt; } > '$reply.part'; mv '$reply.part' '$reply'; };"
setup+=" complete -F _recorded talven; echo ready"
tmux -S "$socket" send-keys -l "$setup" && tmux -S "$socket" send-keys Enter

wait_for() {
  local tries=0
  until [ -e "$1" ]; do
    ((tries++ < 100)) || return 1
    sleep 0.05
  done
}
# The shell is ready once it printed its answer to the setup line.
tries=0
until tmux -S "$socket" capture-pane -p | grep -qx 'ready'; do
  ((tries++ < 100)) || { echo "completion-test: the shell did not start" >&2; exit 1; }
  sleep 0.05
done

# Types a line, presses Tab and prints what was offered (one a line, sorted) and then
# the completion's options (compopt's line), or fails.
offered=""
options=""
press_tab() {
  rm -f "$reply"
  tmux -S "$socket" send-keys -l "$1" && tmux -S "$socket" send-keys Tab
  if ! wait_for "$reply"; then
    fail "no completion ran for '$1'"
    offered="" options=""
  else
    offered=$(grep -v '^compopt ' "$reply" | grep -v '^$' | sort)
    options=$(grep '^compopt ' "$reply")
  fi
  # Clear the line for the next case.
  tmux -S "$socket" send-keys C-a C-k
}

# Types a line, presses Tab and fails unless readline then shows the line wanted: what
# the completion offered was put in the right place.
expect_line() {
  local line=$1 want=$2 tries=0 shown
  rm -f "$reply"
  tmux -S "$socket" send-keys -l "$line" && tmux -S "$socket" send-keys Tab
  until shown=$(tmux -S "$socket" capture-pane -p | grep -v '^$' | tail -n 1) && [ "$shown" == "\$ $want" ]; do
    ((tries++ < 100)) || { fail "'$line' and Tab gave the line '$shown', not '\$ $want'"; break; }
    sleep 0.05
  done
  tmux -S "$socket" send-keys C-a C-k
}

expect_offered() {
  local line=$1 want=$2
  press_tab "$line"
  [ "$offered" == "$want" ] || fail "'$line' offered [$(tr '\n' ' ' <<<"$offered")], not [$(tr '\n' ' ' <<<"$want")]"
}

expect_offered "talven dst src --" "$expected"
expect_offered "talven dst src -" "$expected"
expect_offered "talven dst src -v " "$expected"
# The one option that takes a value is completed up to its '=', with no space after.
valued=$(grep '=$' <<<"$expected" | head -n 1)
if [ -n "$valued" ]; then
  expect_offered "talven dst src ${valued%???}" "$valued"
  grep -q -- '-o nospace' <<<"$options" || fail "'$valued' is followed by a space: $options"
  expect_offered "talven dst src ${valued}2" ""
fi
plain=$(grep -v '=$' <<<"$expected" | head -n 1)
if [ -n "$plain" ]; then
  press_tab "talven dst src ${plain%?}"
  grep -q -- '-o nospace' <<<"$options" && fail "'$plain' is not followed by a space: $options"
fi
# Folders, never files, for the two first words, whatever the name holds.
expect_offered "talven al" "alpha"
expect_offered "talven alpha al" "alpha"
expect_offered "talven x" "x=y"
expect_offered "talven x=" "y/"
expect_offered "talven x=y a:" "b/"
expect_offered "talven a:b s" "src"
expect_line "talven x=" "talven x=y/"
expect_line "talven a:b a:" "talven a:b a:b/"
expect_offered "talven x=y alpha -" "$expected"
expect_offered "talven a:b alpha -" "$expected"

[ "$failed" -eq 0 ] &&
  echo "completion-test: the options ($(tr '\n' ' ' <<<"$expected")) and the folders completed as expected"
exit "$failed"
