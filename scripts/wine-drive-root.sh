#!/usr/bin/env bash
# A drive root refused as the destination under Wine: a drive letter of the test's
# own, made in the Wine prefix's dosdevices folder and pointing at a scratch folder
# that holds precious.txt, is given as the destination in every spelling of its root;
# each run must stop with exit status 2 and its line, and precious.txt stay. The same
# root as the source, and a folder of the drive as the destination, are mirrored.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-drive-root.sh build/win/talven.exe
# Removes its link and its scratch folder at the end. Exits non-zero on failure.
set -uo pipefail

program=$(realpath "$1")
[ -n "${WINEPREFIX:-}" ] || { echo "wine-drive-root: set WINEPREFIX first" >&2; exit 1; }
export LANG=C.UTF-8
unset LC_ALL
devices=$WINEPREFIX/dosdevices
[ -d "$devices" ] || { echo "wine-drive-root: no $devices" >&2; exit 1; }
fail() {
  echo "wine-drive-root: $*" >&2
  exit 1
}

# A letter that the prefix does not map yet: only this test's own link is made.
letter=
for candidate in y x w v u t s r q p; do
  if [ ! -e "$devices/$candidate:" ] && [ ! -L "$devices/$candidate:" ]; then
    letter=$candidate
    break
  fi
done
[ -n "$letter" ] || fail "no free drive letter in $devices"
drive=${letter^^}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-drive-root.XXXXXX") || exit 1
link=$devices/$letter:
trap 'rm -f "$link"; rm -rf "$scratch"' EXIT
mkdir -p "$scratch/drive" "$scratch/src" || fail "cannot make the scratch folders"
printf 'keep me' >"$scratch/drive/precious.txt" && printf 'source' >"$scratch/src/s.txt" ||
  fail "cannot write the test files"
ln -s "$scratch/drive" "$link" || fail "cannot make $link"

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
src=$(windows_path "$scratch/src")

for root in "$drive:\\" "$drive:" "$drive:\\." "$drive:/" "\\\\?\\$drive:\\" "\\\\.\\$drive:\\" \
  "$drive:\\x\\.." '\\server\share\' '\\server\share' '\\?\UNC\server\share\'; do
  output=$(cd "$scratch" && wine "$program" "$root" "$src" -v 2>&1)
  status=$?
  [ "$status" -eq 2 ] || fail "$root as the destination: exit status $status, not 2: $output"
  grep -qF "The destination folder [$root] is empty or a file-system root: give a folder below it !" \
    <<<"${output//$'\r'/}" || fail "$root as the destination: no refusal line: $output"
  [ "$(cat "$scratch/drive/precious.txt" 2>/dev/null)" == "keep me" ] ||
    fail "$root as the destination: precious.txt is gone"
done

# A folder of the drive is a fine destination, and the drive's root a fine source.
output=$(cd "$scratch" && wine "$program" "$drive:\\Backup" "$src" 2>&1) ||
  fail "a folder of the drive as the destination failed: $output"
[ "$(cat "$scratch/drive/Backup/s.txt" 2>/dev/null)" == "source" ] ||
  fail "the folder of the drive did not receive s.txt"
output=$(cd "$scratch" && wine "$program" "$(windows_path "$scratch/copy")" "$drive:\\" 2>&1) ||
  fail "the drive's root as the source failed: $output"
[ "$(cat "$scratch/copy/precious.txt" 2>/dev/null)" == "keep me" ] ||
  fail "the drive's root as the source was not mirrored"
[ "$(cat "$scratch/drive/precious.txt")" == "keep me" ] || fail "precious.txt changed"
echo "wine-drive-root: drive $drive: refused as the destination in 10 spellings, mirrored as the source"
