#!/usr/bin/env bash
# Tries the bash completion of talven in a real interactive bash (in a tmux server
# of its own), as a user pressing Tab would: the line is typed, Tab pressed, and
# what the completion offered is recorded by a wrapper around it. Checks that
#   - after the two folders, `--` offers exactly the long options the program
#     names when it refuses an unknown one, and `-` or nothing offers them and the
#     one-letter options: those the program names when it refuses an unknown one,
#     and -v, -l, -p and -q in any case;
#   - an option that takes a value is completed up to its '=' with no space after;
#   - the value of an option that takes a file (FILE in the program's refusal:
#     --log, --exclude-from, --include-from) completes to file and folder names,
#     and that of one that takes a folder (DIR: --backup-dir) to folder names only,
#     after '=' or as the next word, also where the value holds '=';
#   - nothing is offered for any other option's value;
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
mkdir -p "$trees/alpha" "$trees/x=y" "$trees/a:b" "$trees/src" "$trees/logs/old" &&
  touch "$trees/afile" "$trees/x=file" "$trees/logs/run.log" || exit 1

# The long options the program names in its refusal of an unknown one, a value
# (=N, =FILE) written as the completion offers it (=). Nothing is listed or written: the
# refusal comes before the run looks at either folder.
refusal=$(cd "$trees" && "$program" no-dst no-src --completion-test-unknown 2>&1)
named=$(sed -nE 's/^Unknown option \[[^]]*\]: the long options are (.*) !$/\1/p' <<<"$refusal" |
  tr -d ',' | tr ' ' '\n')
expected=$(sed -E 's/=[A-Z]+$/=/' <<<"$named" | sort)
[ -n "$expected" ] || { echo "completion-test: the program named no long option: $refusal" >&2; exit 1; }
[ ! -e "$trees/no-dst" ] || fail "the refused run made its destination"
# The options whose value is a file name, a folder name, or neither.
file_options=$(sed -nE 's/=FILE$//p' <<<"$named")
folder_options=$(sed -nE 's/=DIR$//p' <<<"$named")
other_valued=$(grep -E '=[A-Z]+$' <<<"$named" | grep -vE '=(FILE|DIR)$' | sed -E 's/=[A-Z]+$//')
for option in --log --exclude-from --include-from; do
  grep -qxF -- "$option" <<<"$file_options" || fail "the program names no $option=FILE: $refusal"
done
grep -qxF -- --backup-dir <<<"$folder_options" || fail "the program names no --backup-dir=DIR: $refusal"
# The one-letter options: those the program names, and these four in any case.
letters=$(cd "$trees" && "$program" no-dst no-src -x 2>&1 |
  sed -nE 's/^Unknown option \[[^]]*\]: the one-letter options are (.*) !$/\1/p' | grep -oE -- '-[a-z]')
letters=$(printf '%s\n' $letters -v -l -p -q | sort -u)
every_option=$(printf '%s\n' $letters $expected | sort)

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
expect_offered "talven dst src -" "$every_option"
expect_offered "talven dst src -v " "$every_option"
expect_offered "talven dst src -q" "-q"
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
# File names and folder names for a file, folder names alone for a folder; what
# readline then shows is the line wanted.
for option in $file_options; do
  expect_offered "talven dst src $option=logs/" "$(printf '%s\n' logs/old logs/run.log)"
  expect_line "talven dst src $option=logs/r" "talven dst src $option=logs/run.log"
  expect_offered "talven dst src -v $option logs/" "$(printf '%s\n' logs/old logs/run.log)"
  expect_line "talven dst src $option logs/r" "talven dst src $option logs/run.log"
  # Readline replaces only what follows the last '=': the name is cut to it.
  expect_offered "talven dst src $option=x=f" "file"
  expect_line "talven dst src $option=x=f" "talven dst src $option=x=file"
done
for option in $folder_options; do
  expect_offered "talven dst src $option=logs/" "logs/old"
  expect_line "talven dst src $option=logs/o" "talven dst src $option=logs/old/"
  expect_offered "talven dst src $option logs/" "logs/old"
  expect_offered "talven dst src $option=x" "x=y"
  expect_line "talven dst src $option=x=" "talven dst src $option=x=y/"
done
for option in $other_valued; do
  expect_offered "talven dst src $option=" ""
  expect_offered "talven dst src $option " ""
done
# Folders, never files, for the two first words, whatever the name holds.
expect_offered "talven al" "alpha"
expect_offered "talven alpha al" "alpha"
expect_offered "talven x" "x=y"
expect_offered "talven x=" "y/"
expect_offered "talven x=y a:" "b/"
expect_offered "talven a:b s" "src"
expect_line "talven x=" "talven x=y/"
expect_line "talven a:b a:" "talven a:b a:b/"
expect_offered "talven x=y alpha -" "$every_option"
expect_offered "talven a:b alpha -" "$every_option"

[ "$failed" -eq 0 ] &&
  echo "completion-test: the options ($(tr '\n' ' ' <<<"$every_option")), the values of$(printf ' %s' $file_options $folder_options) and the folders completed as expected"
exit "$failed"
