#!/usr/bin/env bash
# Shows that scripts/check-man-page.sh finds what a page or the README lacks: copies
# of the page without an option, without an exit status, without a section the
# README names and with a roff error, and copies of the source tree whose README
# lacks an option or an exit status, or links to a section or a file that is not
# there, must each fail the check; the page and the tree themselves must pass it.
#   scripts/check-man-page-test.sh PROGRAM MAN_PAGE SCRATCH_FOLDER
set -uo pipefail

check=$(dirname "$0")/check-man-page.sh
program=$1
page=$2
scratch=$3
mkdir -p "$scratch" || exit 1
failed=0

expect_failure() {
  local what=$1 copy=$scratch/$2.1
  shift 2
  "$@" <"$page" >"$copy"
  if cmp -s "$page" "$copy"; then
    echo "check-man-page-test: the copy without $what is the page itself" >&2
    failed=1
  elif "$check" "$program" "$copy" >/dev/null 2>&1; then
    echo "check-man-page-test: a page without $what passed the check" >&2
    failed=1
  fi
}

"$check" "$program" "$page" || failed=1
expect_failure "the option --no-sync" no-sync grep -v 'no\\-sync'
expect_failure "the option -p" no-p sed '/^\.B \\-p$/d'
expect_failure "the option --version" no-version grep -v '\\-\\-version'
expect_failure "the option --max-delete" no-max-delete grep -v 'max\\-delete'
expect_failure "the exit status 130" no-130 sed 's/^\.B 130$/.B 131/'
expect_failure "the exit status 'other'" no-other sed 's/^other$/others/'
expect_failure "a well-formed macro" lint-error sed 's/^\.SH FILES$/.SH FILES\n.ZZ unknown macro/'
expect_failure "the section TIMES the README names" no-times sed 's/^\.SH TIMES$/.SH CLOCKS/'
expect_failure "the section WINDOWS the README names" no-windows sed 's/^\.SH WINDOWS$/.SH MICROSOFT WINDOWS/'

# The same for the README and doc/: a copy of what the check reads from the tree,
# one file of it changed, given as the check's source root.
root=$(cd "$(dirname "$0")/.." && pwd)
# The whole source tree, the build folder left out: the README and doc/ name its files.
copy_tree() {
  rm -rf "$1"
  mkdir -p "$1" || exit 1
  local entry
  for entry in "$root"/* "$root"/.ci; do
    [ "$(basename "$entry")" = build ] && continue
    cp -R "$entry" "$1/" || exit 1
  done
}
expect_tree_failure() {
  local what=$1 copy=$scratch/$2 file=$3
  shift 3
  copy_tree "$copy"
  "$@" <"$root/$file" >"$copy/$file"
  if cmp -s "$root/$file" "$copy/$file"; then
    echo "check-man-page-test: the tree without $what is the tree itself" >&2
    failed=1
  elif "$check" "$program" "$page" "$copy" >/dev/null 2>&1; then
    echo "check-man-page-test: a tree without $what passed the check" >&2
    failed=1
  fi
}
# An untouched copy of the tree passes: the failures below are the changes' own.
copy_tree "$scratch/control"
if ! "$check" "$program" "$page" "$scratch/control" >/dev/null 2>&1; then
  echo "check-man-page-test: an untouched copy of the tree failed the check" >&2
  failed=1
fi
expect_tree_failure "the option --stats in the README" readme-no-stats README.md \
  grep -v '^| `--stats` |'
expect_tree_failure "the exit status 130 in the README" readme-no-130 README.md \
  grep -v '^| 130 |'
expect_tree_failure "the README's anchor of a doc/ section" readme-anchor README.md \
  sed 's/durability\.md#one-run-at-a-time/durability.md#one-run-at-once/'
expect_tree_failure "a doc/ file the README links to" readme-file README.md \
  sed 's/doc\/testing\.md#/doc\/tests.md#/'
expect_tree_failure "a doc/ section the README links to" doc-heading doc/durability.md \
  sed 's/^## One run at a time$/## A run at a time/'
expect_tree_failure "a section of the page the README names" readme-section README.md \
  sed 's/section DIAGNOSTICS/section MESSAGES/'
expect_tree_failure "a file doc/ names in backticks" doc-path doc/testing.md \
  sed 's/`run\/killed_runs_test\.cpp`/`run\/killed_run_test.cpp`/'
[ "$failed" -eq 0 ] && echo "check-man-page-test: each doctored page failed the check"
exit "$failed"
