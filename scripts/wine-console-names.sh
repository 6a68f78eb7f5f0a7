#!/usr/bin/env bash
# A name holding an escape sequence, with talven.exe under Wine: on a terminal
# (script(1) gives Wine one, which it shows the program as a console) the name is
# shown escaped as in the log; into a pipe the line keeps the name's bytes.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-console-names.sh build/win/talven.exe
# Works in a scratch folder of its own, removed at the end. Exits non-zero on failure.
set -uo pipefail

program=$(realpath "$1")
[ -n "${WINEPREFIX:-}" ] || { echo "wine-console-names: set WINEPREFIX first" >&2; exit 1; }
export LANG=C.UTF-8
unset LC_ALL
command -v script >/dev/null || { echo "wine-console-names: skipped: script is not installed"; exit 0; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-console-names.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "wine-console-names: $*" >&2
  exit 1
}
escape=$(printf '\033')
bell=$(printf '\007')
mkdir -p "$scratch/src" && printf x >"$scratch/src/title${escape}]0;taken${bell}.txt" ||
  fail "cannot make the name"

received=$(cd "$scratch" && script -qec "wine '$program' dst src -v 2>/dev/null" /dev/null)
grep -qaF 'We need to copy src\title\x1b]0;taken\x07.txt' <<<"$received" ||
  fail "the terminal was not shown the name escaped: $(cat -A <<<"$received")"
# Wine's console draws its cursor with sequences of its own; the name brings none.
! grep -qaF "${escape}]0;" <<<"$received" || fail "the name's sequence reached the terminal"
rm -rf "$scratch/dst"
piped=$(cd "$scratch" && wine "$program" dst src -v 2>/dev/null)
grep -qaF "We need to copy src\\title${escape}]0;taken${bell}.txt" <<<"$piped" ||
  fail "the pipe did not get the name's bytes: $(cat -A <<<"$piped")"
echo "wine-console-names: a console was shown the name escaped, a pipe got its bytes"
