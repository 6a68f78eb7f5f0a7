#!/usr/bin/env bash
# Checks that the manual page and the README cannot drift from the program, nor the
# README's links from what they name:
#   - every word of the program's usage line is in the page's SYNOPSIS;
#   - every option the command line reads or the help lists is in the page (OPTIONS
#     and SYNOPSIS) and in the table of the README's Usage section, and every option
#     of that table is in the page;
#   - every exit status the program defines or its help lists is in the page's EXIT
#     STATUS and in the table of the README's Exit status section, and every status
#     of that table is in the page;
#   - every link of the README and of doc/*.md to a file of the tree names a file
#     that exists and, with an anchor (doc/durability.md#one-run-at-a-time), a
#     heading of that file; every path of the tree they write in backticks
#     (`run/run.cpp`, `scan/`) names a file or folder that exists, where its first
#     folder is one of the tree's (names with * or <...> are patterns, not paths,
#     and what the build makes is not in the tree);
#     every section of the manual page that they name in
#     words ("the manual page, section FILES", "sections NAMES and TIMES") is a
#     section (.SH or .SS) of the page;
#   - the page passes the roff checker (mandoc -T lint, or groff -ww where mandoc is
#     missing).
# Only the program's own tables are read (its usage line and --help, the command
# line's code, the exit statuses it defines), never a table of measurements.
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
# Whether a section holds a line that grep's options and pattern match. grep reads
# the whole section: with -q it could end before sed has written it all, and the
# pipe's failure (pipefail) would then read as a missing line.
holds() {
  local name=$1
  shift
  section "$name" | grep "$@" >/dev/null
}
# An option as roff writes it: every '-' as '\-'.
roff() { sed 's/-/\\-/g' <<<"$1"; }

# The usage line, as the program prints it: its words after the program's name.
usage=$(cd "${TMPDIR:-/tmp}" && "$program" 2>/dev/null | grep '^Usage: ')
[ -n "$usage" ] || { echo "check-man-page: $program printed no usage line" >&2; exit 1; }
for word in $(sed 's/^Usage: [^ ]* //; s/\[[^]]*\]//g' <<<"$usage"); do
  holds SYNOPSIS -F -- "$word" || lack "the usage word $word in SYNOPSIS"
done

# Options: what the command line reads (one-letter cases and long options) and every
# option the program's help lists (--workers=N as --workers).
program_options=$(sed -nE "s/.*case '([a-z])':.*/-\\1/p" "$root/run/command_line.cpp")
program_options+=" "$(grep -oE '"--[a-z][a-z-]*"' "$root/run/command_line.cpp" | tr -d '"')
program_options+=" "$(cd "${TMPDIR:-/tmp}" && "$program" --help 2>/dev/null |
  sed -nE 's/^  (-[^ ,=]+).*/\1/p')
# The table of the README's Usage section (other tables, such as the filters'
# patterns, name options with values).
readme_options=$(sed -n '/^## Usage$/,/^## /p' "$root/README.md" | sed -nE 's/^\| `(-[^`]+)` \|.*/\1/p')
[ -n "$(tr -d ' \n' <<<"$program_options")" ] || lack "nothing: no option was found to check"
for option in $(tr ' ' '\n' <<<"$program_options" | sort -u); do
  if ! grep -qxF -- "$option" <<<"$readme_options"; then
    echo "check-man-page: README.md lacks the option $option in the table of its Usage section" >&2
    missing=1
  fi
done
for option in $(printf '%s\n' $program_options $readme_options | sort -u); do
  holds OPTIONS -xF -- ".B $(roff "$option")" || lack "the option $option in OPTIONS"
  holds SYNOPSIS -F -- "$(roff "$option")" || lack "the option $option in SYNOPSIS"
done

# Exit statuses: the values the program defines and those its help lists, and the
# table of the README's Exit status section.
program_statuses=$(sed -nE 's/^ *exit[A-Za-z]* = ([0-9]+),.*/\1/p' "$root/base/settings.h")
program_statuses+=" "$(sed -nE 's/.*interruptedExitStatus = ([0-9]+);.*/\1/p' "$root/platform/platform.h")
program_statuses+=" "$(cd "${TMPDIR:-/tmp}" && "$program" --help 2>/dev/null |
  sed -n '/^Exit status:$/,$p' | sed -nE 's/^  ([0-9]+|other) .*/\1/p')
readme_statuses=$(sed -n '/^## Exit status$/,/^## /p' "$root/README.md" |
  sed -nE 's/^\| ([0-9]+|other) \|.*/\1/p')
[ -n "$(tr -d ' \n' <<<"$program_statuses")" ] || lack "nothing: no exit status was found to check"
for status in $(tr ' ' '\n' <<<"$program_statuses" | sort -u); do
  if ! grep -qxF -- "$status" <<<"$readme_statuses"; then
    echo "check-man-page: README.md lacks the exit status $status in the table of its Exit status section" >&2
    missing=1
  fi
done
for status in $(printf '%s\n' $program_statuses $readme_statuses | sort -u); do
  if [ "$status" = other ]; then
    holds 'EXIT STATUS' -x 'other' || lack "the exit status 'other' in EXIT STATUS"
  else
    holds 'EXIT STATUS' -xF ".B $status" || lack "the exit status $status in EXIT STATUS"
  fi
done

# Links and the sections they name. A heading's anchor is made as the README's host
# makes it: lower case, punctuation dropped, spaces as dashes.
anchor() { tr 'A-Z' 'a-z' <<<"$1" | LC_ALL=C sed -E 's/[^a-z0-9 _-]//g; s/ /-/g'; }
# The headings of a Markdown file, fenced code left out, as anchors.
anchors_of() {
  awk '/^```/ { fenced = !fenced; next } !fenced && /^#+ / { sub(/^#+ +/, ""); sub(/ +#* *$/, ""); print }' "$1" |
    while IFS= read -r heading; do anchor "$heading"; done
}
# The sections of the page, by name (.SH and .SS, quoted or not).
page_sections=$(sed -nE 's/^\.S[HS] +"?([^"]*)"?[[:space:]]*$/\1/p' "$page")
link_problem() {
  echo "check-man-page: $1 links to $2, $3" >&2
  missing=1
}
documents=("$root/README.md")
for file in "$root"/doc/*.md; do [ -f "$file" ] && documents+=("$file"); done
links_checked=0
for file in "${documents[@]}"; do
  shown=${file#"$root"/}
  folder=$(dirname "$file")
  while IFS= read -r target; do
    case "$target" in http:* | https:* | mailto:*) continue ;; esac
    links_checked=$((links_checked + 1))
    path=${target%%#*}
    fragment=""
    [ "$path" != "$target" ] && fragment=${target#*#}
    linked=$file
    [ -n "$path" ] && linked=$folder/$path
    if [ ! -e "$linked" ]; then
      link_problem "$shown" "$target" "which does not exist"
    elif [ -n "$fragment" ] && ! grep -qxF -- "$fragment" <<<"$(anchors_of "$linked")"; then
      link_problem "$shown" "$target" "a section its file does not have"
    fi
  done < <(grep -oE '\]\([^) ]+\)' "$file" | sed -E 's/^\]\((.*)\)$/\1/')
  # Paths of the tree in backticks: a folder of the tree, then names.
  while IFS= read -r path; do
    case "$path" in *'*'* | *'<'* | *'>'* | build/*) continue ;; esac
    [ -d "$root/${path%%/*}" ] || continue
    links_checked=$((links_checked + 1))
    [ -e "$root/${path%/}" ] ||
      { echo "check-man-page: $shown names the path $path, which does not exist" >&2; missing=1; }
  done < <(grep -oE '`[^`]+`' "$file" | tr -d '`' | grep -E '^\.?[A-Za-z0-9_-]+(/[A-Za-z0-9_.*<>-]+)*/[A-Za-z0-9_.*<>-]*$')
  # Sections of the page named in words: "section FILES", "sections NAMES and TIMES".
  # Lines are joined, as a name may be split at a line end.
  while IFS= read -r named; do
    while IFS= read -r name; do
      [ -z "$name" ] && continue
      links_checked=$((links_checked + 1))
      grep -qxF -- "$name" <<<"$page_sections" ||
        { echo "check-man-page: $shown names the section $name, which $page does not have" >&2; missing=1; }
    done < <(sed -E 's/^[Ss]ections? //; s/, | and | or /\n/g' <<<"$named")
  done < <(tr '\n' ' ' <"$file" | tr -s ' ' |
    grep -oE '[Ss]ections? [A-Z][A-Z]+( [A-Z][A-Z]+)*((, | and | or )[A-Z][A-Z]+( [A-Z][A-Z]+)*)*')
done
[ "$links_checked" -gt 0 ] || lack "nothing: no link of the README or doc/ was found to check"

if command -v mandoc >/dev/null 2>&1; then
  lint=$(mandoc -T lint -W warning "$page" 2>&1) || lack "a clean mandoc -T lint: $lint"
  [ -z "$lint" ] || lack "a clean mandoc -T lint: $lint"
else
  lint=$(groff -ww -man -z "$page" 2>&1)
  [ -z "$lint" ] || lack "a clean groff -ww: $lint"
fi
[ "$missing" -eq 0 ] && echo "check-man-page: every option and exit status is in $page and README.md, every link ($links_checked) names what exists"
exit "$missing"
