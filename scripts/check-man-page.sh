#!/usr/bin/env bash
# Checks that the manual page cannot drift from the program and the README: every
# word of the program's usage line, every option the README lists, the command
# line reads or the help lists, and every exit status the README lists or the program defines must
# appear in the page, and the page must pass the roff checker (mandoc -T lint, or
# groff -ww where mandoc is missing).
#   scripts/check-man-page.sh PROGRAM MAN_PAGE [SOURCE_ROOT]
# Prints each thing missing and exits 1 when any is.
set -uo pipefail

program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
page=$2
root=${3:-$(dirname "$0")/..}
missing=0
lack() {
  echo "check-man-page: $page lacks $*" >&2
  missing=1
}

# The text of one section of the page (from .SH NAME to the next .SH).
section() { sed -n "/^\\.SH $1\$/,/^\\.SH /p" "$page"; }
# An option as roff writes it: every '-' as '\-'.
roff() { sed 's/-/\\-/g' <<<"$1"; }

# The usage line, as the program prints it: its words after the program's name.
usage=$(cd "${TMPDIR:-/tmp}" && "$program" 2>/dev/null | grep '^Usage: ')
[ -n "$usage" ] || { echo "check-man-page: $program printed no usage line" >&2; exit 1; }
for word in $(sed 's/^Usage: [^ ]* //; s/\[[^]]*\]//g' <<<"$usage"); do
  section SYNOPSIS | grep -qF -- "$word" || lack "the usage word $word in SYNOPSIS"
done

# Options: the table of the README's Usage section (other tables, such as the
# measured runs, name options with values), and what the command line reads
# (one-letter cases and long options).
options=$(sed -n '/^## Usage$/,/^## /p' "$root/README.md" | sed -nE 's/^\| `(-[^`]+)` \|.*/\1/p')
options+=" "$(sed -nE "s/.*case '([a-z])':.*/-\\1/p" "$root/run/command_line.cpp")
options+=" "$(grep -oE '"--[a-z][a-z-]*"' "$root/run/command_line.cpp" | tr -d '"')
# and every option the program's help lists (--workers=N as --workers).
options+=" "$(cd "${TMPDIR:-/tmp}" && "$program" --help 2>/dev/null |
  sed -nE 's/^  (-[^ ,=]+).*/\1/p')
[ -n "$(tr -d ' \n' <<<"$options")" ] || lack "nothing: no option was found to check"
for option in $(tr ' ' '\n' <<<"$options" | sort -u); do
  section OPTIONS | grep -qxF -- ".B $(roff "$option")" || lack "the option $option in OPTIONS"
  section SYNOPSIS | grep -qF -- "$(roff "$option")" || lack "the option $option in SYNOPSIS"
done

# Exit statuses: the README's table and the values the program defines.
statuses=$(sed -nE 's/^\| ([0-9]+|other) \|.*/\1/p' "$root/README.md")
statuses+=" "$(sed -nE 's/^ *exit[A-Za-z]* = ([0-9]+),.*/\1/p' "$root/run/settings.h")
statuses+=" "$(sed -nE 's/.*interruptedExitStatus = ([0-9]+);.*/\1/p' "$root/platform/platform.h")
for status in $(tr ' ' '\n' <<<"$statuses" | sort -u); do
  if [ "$status" = other ]; then
    section 'EXIT STATUS' | grep -qx 'other' || lack "the exit status 'other' in EXIT STATUS"
  else
    section 'EXIT STATUS' | grep -qxF ".B $status" || lack "the exit status $status in EXIT STATUS"
  fi
done

if command -v mandoc >/dev/null 2>&1; then
  lint=$(mandoc -T lint -W warning "$page" 2>&1) || lack "a clean mandoc -T lint: $lint"
  [ -z "$lint" ] || lack "a clean mandoc -T lint: $lint"
else
  lint=$(groff -ww -man -z "$page" 2>&1)
  [ -z "$lint" ] || lack "a clean groff -ww: $lint"
fi
[ "$missing" -eq 0 ] && echo "check-man-page: every option and exit status is in $page"
exit "$missing"
