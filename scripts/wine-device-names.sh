#!/usr/bin/env bash
# Destination files made on the host with names Windows does not reach by plain
# paths (device names such as aux.txt and lpt1, a trailing dot or space): talven.exe
# under Wine must really delete those the source lacks, copy those it has, and tell
# a deletion only for a file that is gone.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-device-names.sh build/win/talven.exe
# Works in a scratch folder of its own, removed at the end. Exits non-zero on failure.
set -uo pipefail

program=$(realpath "$1")
[ -n "${WINEPREFIX:-}" ] || { echo "wine-device-names: set WINEPREFIX first" >&2; exit 1; }
export LANG=C.UTF-8
unset LC_ALL
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-device-names.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "wine-device-names: $*" >&2
  exit 1
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
listing() { (cd "$1" && find . -mindepth 1 -printf '%P|%y\n' | LC_ALL=C sort); }

src=$scratch/src
dst=$scratch/dst
mkdir -p "$src" "$dst/dir. /inner" || fail "cannot make the trees"
stale=("aux.txt" "CON.log" "lpt1" "nul.txt." "b " "e." "dir. /inner/com1.txt" "plain.txt")
for name in "${stale[@]}"; do printf 'stale %s' "$name" >"$dst/$name" || fail "cannot make $name"; done
# Names the source has: copied under the same names, and kept on the next run.
for name in "prn.log" "tail. " "keep.txt"; do
  printf 'source %s' "$name" >"$src/$name" && touch -d @1600000000 "$src/$name" ||
    fail "cannot make $name"
done

run() { (cd "$scratch" && wine "$program" "$(windows_path "$dst")" "$(windows_path "$src")" -v 2>&1); }
output=$(run)
status=$?
[ $status -eq 0 ] || fail "the run exited with $status, not 0: $output"
for name in "${stale[@]}"; do
  [ ! -e "$dst/$name" ] || fail "[$name] is still on disk after the run told its deletion: $output"
done
# The folder "dir. " is kept (folders are never deleted), empty but for inner.
wanted=$(printf '%s\n' 'dir. |d' 'dir. /inner|d' 'keep.txt|f' 'prn.log|f' 'tail. |f' | LC_ALL=C sort)
[ "$(listing "$dst")" == "$wanted" ] ||
  fail "the destination holds other than the source's files: $(listing "$dst")"
for name in "prn.log" "tail. " "keep.txt"; do
  cmp -s "$src/$name" "$dst/$name" || fail "[$name] was not copied: $output"
  [ "$(stat -c %Y "$dst/$name")" -eq 1600000000 ] || fail "[$name] lacks its source's time"
done
output=$(run)
status=$?
[ $status -eq 0 ] && grep -q 'Nothing to do, folders are equal !' <<<"$output" ||
  fail "the second run did not find the trees equal (status $status): $output"
echo "wine-device-names: device names and trailing dots or spaces deleted and copied for real"
