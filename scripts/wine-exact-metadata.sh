#!/usr/bin/env bash
# talven.exe --exact under Wine keeps the Windows attributes, and replaces and deletes
# files marked read-only: a first mirror gives every file and folder its source's
# attributes (read-only, hidden, system); attributes changed with the time kept are
# set on the next run without a copy ("Changed", the file itself stays), data changed
# with its time and size kept is copied again; a destination file marked read-only
# is updated (and keeps the mark) and deleted; a plain run updates a file marked
# read-only too. After each exact mirror a second
# run has nothing to do. Attributes are set and read through Wine's own attrib.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-exact-metadata.sh build/win/talven.exe
# Works in a scratch folder of its own, removed at the end. Exits non-zero on failure,
# 77 (skipped) where no Wine configuration is named or the host keeps no hidden mark.
set -uo pipefail

program=$(realpath "$1") || exit 1
[ -n "${WINEPREFIX:-}" ] || { echo "wine-exact-metadata: skipped: set WINEPREFIX first"; exit 77; }
export LANG=C.UTF-8
unset LC_ALL
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-wine-metadata.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "wine-exact-metadata: $*" >&2
  exit 1
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
src=$scratch/src
dst=$scratch/dst
# Runs Wine's attrib once for each "flags path" pair (attrib takes one flag a call),
# all in one command interpreter.
set_attributes() {
  local commands=() flag path
  while [ $# -gt 1 ]; do
    flag=$1 path=$2
    shift 2
    commands+=("attrib $flag $(windows_path "$path")")
  done
  local joined
  joined=$(printf ' & %s' "${commands[@]}")
  wine cmd /c "${joined:3}" >/dev/null 2>&1
}
# The attributes of every file and folder below a root, as Wine's attrib shows
# them, the root's path taken off, sorted.
attributes_of() {
  local root
  root=$(windows_path "$1")
  # The root goes to awk through its environment: -v would take its backslashes
  # for escapes.
  wine cmd /c "attrib /s /d $root\\*" 2>/dev/null | tr -d '\r' |
    ROOT="$root\\" awk '{ at = index($0, ENVIRON["ROOT"])
                          print substr($0, at + length(ENVIRON["ROOT"])) "\t" substr($0, 1, at - 1) }' |
    LC_ALL=C sort
}
mirror() {
  (cd "$scratch" && wine "$program" "$(windows_path "$dst")" "$(windows_path "$src")" --exact "$@" 2>&1)
}
# The attributes of the two trees are the same, and a second run finds nothing to do.
check_same() {
  diff <(attributes_of "$src") <(attributes_of "$dst") >"$scratch/differences" ||
    fail "$1: the mirror's attributes differ from the source's: $(cat "$scratch/differences")"
  local output status
  output=$(mirror)
  status=$?
  [ "$status" -eq 0 ] && grep -q "Nothing to do, folders are equal !" <<<"$output" ||
    fail "$1: the second run changed something (status $status): $output"
}

mkdir -p "$src/plain" "$src/hidden-folder" "$dst" || fail "cannot make the trees"
for name in plain.txt hidden.txt locked.txt system.txt gone.txt plain/in.txt hidden-folder/in.txt; do
  echo "$name" >"$src/$name" || fail "cannot make $name"
done
touch -d @1500000000 "$src"/*.txt "$src"/*/in.txt
set_attributes +h "$src/hidden.txt" +r "$src/locked.txt" +h "$src/system.txt" +s "$src/system.txt" \
  +r "$src/gone.txt" +h "$src/hidden-folder"
grep -qP '^hidden.txt\t.*H' <(attributes_of "$src") ||
  { echo "wine-exact-metadata: skipped: this file system keeps no hidden mark"; exit 77; }

# A first mirror gives everything its attributes.
output=$(mirror)
status=$?
[ "$status" -eq 0 ] || fail "first mirror: status $status: $output"
check_same "first mirror"
inode=$(stat -c %i "$dst/plain.txt")

# Attributes changed with the time kept: set, without a copy.
set_attributes +h "$src/plain.txt" -h "$src/hidden.txt" +r "$src/plain/in.txt" -h "$src/hidden-folder"
output=$(mirror -v --stats "--log=$scratch/run.log")
status=$?
[ "$status" -eq 0 ] || fail "changed attributes: status $status: $output"
for name in plain.txt hidden.txt plain\\in.txt hidden-folder; do
  grep -qF "Changed metadata [$(windows_path "$dst")\\$name]" <<<"$output" ||
    fail "changed attributes: no change told for $name: $output"
done
grep -q "Done: 0 copied, 0 updated.*, 4 changed in metadata" <<<"$output" ||
  fail "changed attributes: not four changes alone: $output"
grep -q "^Changed .*plain.txt" "$scratch/run.log" || fail "changed attributes: not in the log: $(cat "$scratch/run.log")"
[ "$(stat -c %i "$dst/plain.txt")" = "$inode" ] || fail "changed attributes: plain.txt was copied again"
check_same "changed attributes"

# Data changed with its time and size kept (a tagger's way) is copied again.
touch -r "$src/plain/in.txt" "$scratch/reference" && sleep 1 && echo "plain/IN.txt" >"$src/plain/in.txt" &&
  touch -r "$scratch/reference" "$src/plain/in.txt" || fail "cannot change plain/in.txt"
output=$(mirror -v)
status=$?
[ "$status" -eq 0 ] && grep -qF 'Changed file found \plain\in.txt, updating!' <<<"$output" ||
  fail "data changed with its time kept: status $status: $output"
[ "$(cat "$dst/plain/in.txt")" = "plain/IN.txt" ] || fail "plain/in.txt was not copied again: $output"
check_same "data changed with its time kept"

# A file marked read-only in the destination is updated, and keeps the mark; one the
# source lost is deleted.
set_attributes -r "$src/locked.txt"
echo "new content" >"$src/locked.txt" && touch -d @1600000000 "$src/locked.txt" && rm -f "$src/gone.txt" ||
  fail "cannot change the source"
set_attributes +r "$src/locked.txt"
grep -qP '^locked.txt\t.*R' <(attributes_of "$dst") || fail "locked.txt is not read-only in the mirror"
output=$(mirror)
status=$?
[ "$status" -eq 0 ] || fail "read-only update and deletion: status $status: $output"
[ "$(cat "$dst/locked.txt")" = "new content" ] || fail "locked.txt was not updated: $output"
[ ! -e "$dst/gone.txt" ] || fail "gone.txt was not deleted: $output"
check_same "read-only update and deletion"

# A plain run updates a file marked read-only as well.
plain=$scratch/plain-dst
mkdir -p "$plain" && echo "old" >"$plain/locked.txt" && touch -d @1400000000 "$plain/locked.txt" ||
  fail "cannot make the plain destination"
set_attributes +r "$plain/locked.txt"
output=$(cd "$scratch" && wine "$program" "$(windows_path "$plain")" "$(windows_path "$src")" 2>&1)
status=$?
[ "$status" -eq 0 ] || fail "plain run: status $status: $output"
[ "$(cat "$plain/locked.txt")" = "new content" ] || fail "plain run: locked.txt was not updated: $output"
echo "wine-exact-metadata: attributes kept and changed with the time kept, data changed with its time kept copied again; files marked read-only updated and deleted"
