#!/usr/bin/env bash
# Folders typed the wrong way round, with talven.exe under Wine on a terminal (tmux
# gives Wine one, which it shows the program as its console): a run that would
# delete files newer than every source file asks on the console first; answered n
# it stops with exit status 2 and nothing changed, answered y it goes on; --yes
# and a standard error that is no console are never asked.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-wrong-way.sh build/win/talven.exe
# Works in a scratch folder of its own, removed at the end, with a tmux server of
# its own for each run. Exits non-zero on failure, 0 (saying so) when tmux is missing.
set -uo pipefail

program=$(realpath "$1")
[ -n "${WINEPREFIX:-}" ] || { echo "wine-wrong-way: set WINEPREFIX first" >&2; exit 1; }
export LANG=C.UTF-8 WINEDEBUG=-all
unset LC_ALL
command -v tmux >/dev/null || { echo "wine-wrong-way: skipped: tmux is not installed"; exit 0; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-wrong-way.XXXXXX") || exit 1
runs=0
socket=
finish() {
  [ -n "$socket" ] && tmux -S "$socket" kill-server >/dev/null 2>&1
  rm -rf "$scratch"
}
trap finish EXIT
fail() {
  echo "wine-wrong-way: $*" >&2
  exit 1
}
question='Delete them? [y/N]'
refusal='The deletions were not confirmed: nothing was changed !'

# docs holds today's work, backup an older copy: talven docs backup is the slip.
make_trees() {
  rm -rf "$scratch/docs" "$scratch/backup"
  mkdir -p "$scratch/docs/notes" "$scratch/backup" || fail "cannot make the trees"
  printf a >"$scratch/docs/a.txt" && touch -d 2012-01-01 "$scratch/docs/a.txt" &&
    printf plan >"$scratch/docs/notes/plan.txt" && touch -d 2021-03-03 "$scratch/docs/notes/plan.txt" &&
    printf final >"$scratch/docs/report-final.docx" &&
    touch -d 2021-03-04 "$scratch/docs/report-final.docx" &&
    printf a >"$scratch/backup/a.txt" && touch -d 2012-01-01 "$scratch/backup/a.txt" &&
    printf old >"$scratch/backup/old.txt" && touch -d 2012-01-01 "$scratch/backup/old.txt" ||
    fail "cannot make the trees"
}
tree() { (cd "$scratch/$1" && find . -type f -printf '%P %s %T@\n' | sort); }

# run_in_pane KEYS ARGUMENTS: talven.exe with ARGUMENTS (a shell's words) in a pane;
# KEYS are typed once the question shows. Sets status and screen.
run_in_pane() {
  local keys=$1 arguments=$2
  runs=$((runs + 1))
  socket=$scratch/tmux$runs.sock
  rm -f "$scratch/status"
  printf '%s\n' "cd '$scratch' && wine '$program' $arguments" \
    "echo \$? > '$scratch/status.tmp'; mv '$scratch/status.tmp' '$scratch/status'" \
    "sleep 600" >"$scratch/run.sh"
  tmux -S "$socket" new-session -d -x 250 -y 50 "sh '$scratch/run.sh'" || fail "tmux could not start"
  for _ in $(seq 1 1200); do
    [ -e "$scratch/status" ] && break
    if [ -n "$keys" ] && tmux -S "$socket" capture-pane -p -J | grep -qF "$question"; then
      # shellcheck disable=SC2086 # the keys are tmux's words
      tmux -S "$socket" send-keys $keys
      keys=
    fi
    sleep 0.1
  done
  sleep 0.3
  screen=$(tmux -S "$socket" capture-pane -p -J); printf "%s\n----\n" "$screen" >&2
  status=$(cat "$scratch/status" 2>/dev/null)
  tmux -S "$socket" kill-server >/dev/null 2>&1
  socket=
}

make_trees
docs_before=$(tree docs)
run_in_pane "n Enter" "docs backup"
[ "$status" = 2 ] || fail "answered n, the run exited with '$status': $screen"
grep -qF "the newest [docs\\report-final.docx]; the folder to update comes first: this makes [docs] a mirror of [backup]. $question n" <<<"$screen" ||
  fail "the console was not asked: $screen"
grep -qxF "$refusal" <<<"$screen" || fail "no refusal after n: $screen"
[ "$(tree docs)" = "$docs_before" ] || fail "answered n, docs changed: $(tree docs)"

run_in_pane "y Enter" "docs backup"
[ "$status" = 0 ] || fail "answered y, the run exited with '$status': $screen"
[ "$(tree docs)" = "$(tree backup)" ] || fail "answered y, docs is no mirror: $(tree docs)"

for arguments in "docs backup --yes" "docs backup 2>errors.txt"; do
  make_trees
  run_in_pane "" "$arguments"
  [ "$status" = 0 ] || fail "talven $arguments exited with '$status': $screen"
  ! grep -qF "$question" <<<"$screen" || fail "talven $arguments asked: $screen"
  [ "$(tree docs)" = "$(tree backup)" ] || fail "talven $arguments made no mirror: $(tree docs)"
done
echo "wine-wrong-way: the console was asked; n changed nothing, y, --yes and no console mirrored"
