#!/usr/bin/env bash
# Mirrors onto an exFAT stick (an image on a loop device, mounted through FUSE)
# with talven.exe under Wine, and checks the result from the host: two source names
# that differ only in case are never copied over each other, on every run alike; a
# destination twin newer than its source is kept, an older one is updated.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-exfat-stick.sh build/win/talven.exe
# Needs root, exfatprogs and exfat-fuse; says why and exits 0 where a mount is
# refused. Works in a scratch folder of its own, removed at the end.
set -uo pipefail

program=$(realpath "$1")
[ -n "${WINEPREFIX:-}" ] || { echo "wine-exfat-stick: set WINEPREFIX first" >&2; exit 1; }
export LANG=C.UTF-8
unset LC_ALL
skip() {
  echo "wine-exfat-stick: skipped: $*"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "loop devices and mounts need root"
command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null ||
  skip "exfatprogs or exfat-fuse is not installed"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-exfat-stick.XXXXXX") || exit 1
device=
cleanup() {
  mountpoint -q "$scratch/stick" && { umount "$scratch/stick" || umount -l "$scratch/stick"; }
  # The FUSE daemon lets go of the device only once it has ended.
  for _ in $(seq 50); do [ -z "$device" ] || losetup -d "$device" 2>/dev/null && break; sleep 0.1; done
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "wine-exfat-stick: $*" >&2
  exit 1
}

truncate -s 32M "$scratch/stick.img" && mkfs.exfat "$scratch/stick.img" >/dev/null 2>&1 ||
  skip "mkfs.exfat failed"
device=$(losetup --find --show "$scratch/stick.img" 2>/dev/null) || skip "no loop device"
mkdir "$scratch/stick" && mount.exfat-fuse "$device" "$scratch/stick" >/dev/null 2>&1 ||
  skip "mount.exfat-fuse refused to mount the loop device"

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
src=$scratch/src
dst=$scratch/stick
mkdir -p "$src"
# Whole seconds, which exFAT keeps as they are given.
printf lower >"$src/a.txt" && touch -d @1600000000 "$src/a.txt"
printf UPPER >"$src/A.TXT" && touch -d @1600000100 "$src/A.TXT"
printf 'older source' >"$src/report.doc" && touch -d @1500000000 "$src/report.doc"
printf "the user's newer file" >"$dst/Report.doc" && touch -d @1600000000 "$dst/Report.doc"
printf 'newer source' >"$src/notes.txt" && touch -d @1600000000 "$src/notes.txt"
printf older >"$dst/NOTES.TXT" && touch -d @1500000000 "$dst/NOTES.TXT"

run() { (cd "$scratch" && wine "$program" "$(windows_path "$dst")" "$(windows_path "$src")" -v); }
output=$(run)
status=$?
[ $status -eq 1 ] || fail "the first run exited with $status, not 1: $output"
grep -q 'the destination cannot tell it apart from' <<<"$output" || fail "no line for the clash: $output"
[ "$(cat "$dst/Report.doc")" == "the user's newer file" ] || fail "the newer Report.doc was not kept"
# The Windows build writes an update under the source's spelling, which the stick
# then gives the file; it is read under the name the stick lists.
notes=$(ls "$dst" | grep -ix notes.txt)
[ "$(wc -l <<<"$notes")" -eq 1 ] && [ "$(cat "$dst/$notes")" == "newer source" ] ||
  fail "NOTES.TXT was not updated: $(ls "$dst")"
[ "$(stat -c %Y "$dst/$notes")" -eq 1600000000 ] || fail "$notes lacks its source's time"
first=$(cd "$dst" && for f in *; do printf '%s=%s;' "$f" "$(cat "$f")"; done)
[ "$(ls "$dst" | wc -l)" -eq 3 ] || fail "the stick holds other files than three: $first"
for round in 2 3; do
  output=$(run)
  status=$?
  [ $status -eq 1 ] || fail "run $round exited with $status, not 1: $output"
  ! grep -q 'Filetime set successfully' <<<"$output" || fail "run $round copied again: $output"
  now=$(cd "$dst" && for f in *; do printf '%s=%s;' "$f" "$(cat "$f")"; done)
  [ "$now" == "$first" ] || fail "run $round changed the stick: $first -> $now"
done
[ "$(cat "$src/a.txt")$(cat "$src/A.TXT")" == "lowerUPPER" ] || fail "the source changed"
echo "wine-exfat-stick: case twins on exFAT matched, kept and never overwritten by talven.exe"
