#!/usr/bin/env bash
# Mirrors a tree made on the host, with names of several scripts and paths of 1,000
# characters, through talven.exe under Wine, and checks the result from the host:
# every file's bytes and last-write time, a second run with nothing to do, and the
# deletion of destination files the source lacks.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-host-tree.sh build/win/talven.exe
# Works in a scratch folder of its own, removed at the end. Exits non-zero on failure.
set -uo pipefail

program=$1
# Wine keeps its configuration in the prefix the caller chose (test.sh: build/wineprefix).
[ -n "${WINEPREFIX:-}" ] || { echo "wine-host-tree: set WINEPREFIX first" >&2; exit 1; }
export LANG=C.UTF-8
unset LC_ALL
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-host-tree.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "wine-host-tree: $*" >&2
  exit 1
}

# Windows form of a host path: drive Z: is the host's root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Writes a file of the given size with a last-write time with 100-ns digits.
make_file() {
  mkdir -p "$(dirname "$1")" || fail "cannot make the folder of $1"
  head -c "$2" /dev/urandom >"$1" && touch -d "@$3.1234567" "$1" || fail "cannot make $1"
}

src=$scratch/src
dst=$scratch/dst
# A 1,000-character path: the source root, then folders of 200 characters (the first
# with 50 accented letters), then a file name that makes up the rest.
deep=$(printf 'é%.0s' {1..50})$(printf 'd%.0s' {1..149})
for letter in b c d; do deep+=/$(printf "$letter%.0s" {1..199}); done
root_length=$(windows_path "$src" | wc -m)
rest=$((1000 - root_length - 801))
[ "$rest" -gt 0 ] && [ "$rest" -lt 250 ] || fail "the scratch path is too long for the test"
deep+=/$(printf 'f%.0s' $(seq 1 "$rest"))

names=("日本語-é.txt" "Ünïcödé" "😀 party 🎉.txt" "Ђорђе/ελληνικά/한국어.doc" "עברית/عربي.txt"
  "देवनागरी" "$(printf '語%.0s' {1..84})x" "$deep")
time=1600000000
for name in "${names[@]}"; do
  make_file "$src/$name" $((RANDOM % 70000)) $((time += 86400))
done
make_file "$dst/старый/ståle.txt" 10 1500000000
make_file "$dst/${deep%/*}/stale" 10 1500000000
[ "$(windows_path "$src/$deep" | wc -m)" -eq 1000 ] || fail "the deep path is not 1,000 characters"

# Paths, sizes and last-write times (to the nanosecond) of every file below a root;
# folders are never deleted, so only files count.
listing() { (cd "$1" && find . -type f -printf '%P %s %T@\n' | LC_ALL=C sort); }

output=$(cd "$scratch" && wine "$program" "$(windows_path "$dst")" "$(windows_path "$src")" -l)
[ $? -eq 0 ] || fail "the first run failed: $output"
[ "$(listing "$src")" == "$(listing "$dst")" ] || fail "names, sizes or times differ"
while IFS= read -r -d '' file; do
  cmp -s "$src/$file" "$dst/$file" || fail "contents differ: $file"
done < <(cd "$src" && find . -type f -print0)
grep -q "Deleted \\\\старый\\\\ståle.txt" "$scratch/.mirror_log" || fail "no deletion logged"
output=$(wine "$program" "$(windows_path "$dst")" "$(windows_path "$src")")
[ $? -eq 0 ] || fail "the second run failed: $output"
grep -q "Nothing to do, folders are equal !" <<<"$output" || fail "the second run did something"
echo "wine-host-tree: ${#names[@]} files (Unicode names, a 1,000-character path) mirrored exactly"
