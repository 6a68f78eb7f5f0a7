#!/usr/bin/env bash
# talven.exe --exact under Wine on a tree made on the host: names of one file, empty
# and nested folders with their times (the root's too), then an older version, a
# renamed folder, names of one file parted, a folder the source lacks. After each
# mirror the destination holds the same paths, kinds, bytes, times and groups of
# names as the source, and a second run has nothing to do. Wine makes no links, so
# the tree holds none (a refused link is a unit test of the Windows build).
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-exact.sh build/win/talven.exe
# Works in a scratch folder of its own, removed at the end. Exits non-zero on failure,
# 77 (skipped) where no Wine configuration is named.
set -uo pipefail

program=$(realpath "$1") || exit 1
[ -n "${WINEPREFIX:-}" ] || { echo "wine-exact: skipped: set WINEPREFIX first"; exit 77; }
export LANG=C.UTF-8
unset LC_ALL
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-wine-exact.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "wine-exact: $*" >&2
  exit 1
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
# Every entry: its path, kind, size (files), last-write time, and for a file the
# first path (in order) of the names it shares; then every file's bytes.
state() {
  (cd "$1" && find . -printf '%i\t%P\t%y\t%s\t%T@\n' | LC_ALL=C sort -t $'\t' -k 2,2 |
    awk -F '\t' '{ if ($3 == "f") { if (!($1 in first)) first[$1] = $2; print $2, $3, $4, $5, first[$1] }
                   else print $2, $3, "-", $5, "-" }' &&
    find . -type f -exec md5sum {} + | LC_ALL=C sort -k 2)
}
mirror() {
  (cd "$scratch" && wine "$program" "$(windows_path "$scratch/dst")" "$(windows_path "$scratch/src")" \
    --exact 2>&1)
}
# Mirrors twice: the first run makes the destination the source's twin, the second
# finds nothing to do.
check_round() {
  local output status
  output=$(mirror)
  status=$?
  [ "$status" -eq 0 ] || fail "$1: status $status: $output"
  diff <(state "$scratch/src") <(state "$scratch/dst") >"$scratch/differences" ||
    fail "$1: the mirror differs from the source: $(cat "$scratch/differences") $output"
  output=$(mirror)
  status=$?
  [ "$status" -eq 0 ] && grep -q "Nothing to do, folders are equal !" <<<"$output" ||
    fail "$1: the second run changed something (status $status): $output"
}

src=$scratch/src
mkdir -p "$src/a/empty" "$src/b/deep" "$src/x/y/z" "$src/é" "$scratch/dst" || fail "cannot make the trees"
echo "one" >"$src/a/f" && ln "$src/a/f" "$src/b/g" && ln "$src/a/f" "$src/b/deep/k" &&
  echo "two" >"$src/b/h" && echo "three" >"$src/é/ü" || fail "cannot make the files"
touch -d @1500000000.1234567 "$src/a/f" "$src/b/h" "$src/é/ü"
touch -d @1400000000.7654321 "$src/a/empty" "$src/b/deep" "$src/x/y/z" "$src/x/y" "$src/x" "$src/é"
touch -d @1300000000 "$src/a" "$src/b" "$src"
check_round "first mirror"

# An older version, a renamed folder, a name parted from its group, a folder only
# the destination has.
touch -d @1200000000 "$src/b/h"
mv "$src/a" "$src/c" && rm "$src/b/g" && echo "new" >"$src/b/g" &&
  mkdir -p "$scratch/dst/only/deeper" || fail "cannot change the trees"
touch -d @1450000000 "$src/b/g"
touch -d @1300000000 "$src/b" "$src"
check_round "mirror after changes"
echo "wine-exact: names of one file, folders and their times mirrored exactly, twice"
