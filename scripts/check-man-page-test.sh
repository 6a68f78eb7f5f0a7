#!/usr/bin/env bash
# Shows that scripts/check-man-page.sh finds what a page lacks: copies of the page
# without an option, without an exit status and with a roff error must each fail
# the check, and the page itself must pass it.
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
[ "$failed" -eq 0 ] && echo "check-man-page-test: each doctored page failed the check"
exit "$failed"
