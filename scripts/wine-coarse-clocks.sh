#!/usr/bin/env bash
# Mirrors through talven.exe under Wine onto destinations with coarse clocks, mounted
# here from loop devices: ext4 with 128-byte inodes (whole seconds) and exFAT through
# FUSE. On each: the first run copies everything, the second finds nothing to do
# (also with -p), a source file changed a few seconds later is updated, a destination
# twin made newer is kept. Then an exFAT mount inside an ext4 destination: Wine shows
# a host's mount point as a reparse point, as Windows shows a volume mounted in a
# folder, so talven.exe must neither walk it nor write through it nor claim to have
# removed it, while the files around it are mirrored onto ext4's clock.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-coarse-clocks.sh build/win/talven.exe
# Needs root for the mounts; where they are refused it says why and exits 0 (a skip).
# Works in a scratch folder of its own, unmounted and removed at the end.
set -uo pipefail

program=$1
[ -n "${WINEPREFIX:-}" ] || { echo "wine-coarse-clocks: set WINEPREFIX first" >&2; exit 1; }
export LANG=C.UTF-8
unset LC_ALL
skip() {
  echo "wine-coarse-clocks: skipped: $*"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "loop devices and mounts need root"
for tool in mkfs.ext4 mkfs.exfat mount.exfat-fuse losetup; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-coarse-clocks.XXXXXX") || exit 1
mounts=()
devices=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null
  done
  for device in "${devices[@]}"; do
    for _ in 1 2 3 4 5 6 7 8 9 10; do losetup -d "$device" 2>/dev/null && break; sleep 0.2; done
  done
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "wine-coarse-clocks: $*" >&2
  exit 1
}

# Mounts a new image of the given kind (ext4 or exfat) on an existing or new folder.
mount_image() {
  local kind=$1 where=$2 image=$scratch/image-${#devices[@]}.$1 device
  truncate -s 64M "$image" || fail "cannot make $image"
  if [ "$kind" = ext4 ]; then
    mkfs.ext4 -q -F -I 128 "$image" >/dev/null 2>&1 || fail "mkfs.ext4 failed"
  else
    mkfs.exfat "$image" >/dev/null 2>&1 || fail "mkfs.exfat failed"
  fi
  device=$(losetup --find --show "$image" 2>/dev/null) || skip "losetup cannot attach a loop device here"
  devices+=("$device")
  mkdir -p "$where"
  if [ "$kind" = ext4 ]; then
    mount "$device" "$where" 2>/dev/null || skip "the kernel refused to mount ext4 from a loop device"
  else
    mount.exfat-fuse "$device" "$where" >/dev/null 2>&1 || skip "mount.exfat-fuse refused the loop device"
  fi
  mounts+=("$where")
}

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
mtime() { stat -c %.7Y "$1"; }
talven() { wine "$program" "$(windows_path "$dst")" "$(windows_path "$src")" "$@" 2>&1; }

# Writes a source file with a time that carries 100-ns digits.
make_source() {
  mkdir -p "$(dirname "$src/$1")" && printf '%s' "$2" >"$src/$1" && touch -d "@$3" "$src/$1" ||
    fail "cannot make $src/$1"
}

expect_nothing_to_do() {
  local output status
  output=$(talven "$@")
  status=$?
  [ $status -eq 0 ] || fail "$label: a run that should find nothing to do exited $status: $output"
  grep -q "Nothing to do, folders are equal !" <<<"$output" || fail "$label: a run did something: $output"
}

# The checks, on the files given (the first is changed, the second edited on the stick).
check() {
  local label=$1 changed=$2 edited=$3 output status file
  output=$(talven -v)
  status=$?
  [ $status -eq 0 ] || fail "$label: the first run exited $status: $output"
  for file in "${@:2}"; do
    cmp -s "$src/$file" "$dst/$file" || fail "$label: $file was not copied"
    [ "$(mtime "$src/$file")" != "$(mtime "$dst/$file")" ] ||
      fail "$label: $file kept its whole time; the clock is not coarse"
  done
  expect_nothing_to_do
  expect_nothing_to_do -p
  printf 'changed' >"$src/$changed"
  touch -d "@$(($(stat -c %Y "$src/$changed") + 3)).2345678" "$src/$changed"
  output=$(talven -v)
  grep -qF "Newer file found \\${changed//\//\\}, updating!" <<<"$output" ||
    fail "$label: the changed $changed was not updated: $output"
  [ "$(grep -c 'Newer file found' <<<"$output")" -eq 1 ] || fail "$label: more than one update: $output"
  cmp -s "$src/$changed" "$dst/$changed" || fail "$label: $changed holds the old bytes"
  printf 'edited on the stick' >"$dst/$edited"
  touch -d "@$(($(stat -c %Y "$src/$edited") + 60))" "$dst/$edited"
  expect_nothing_to_do
  [ "$(cat "$dst/$edited")" = "edited on the stick" ] || fail "$label: the newer $edited was overwritten"
  echo "wine-coarse-clocks: $label: copied, equal, updated, newer kept"
}

# The checks for a mount inside the destination, at mount, with a file beside it.
check_mount_inside() {
  local label=$1 mount=$2 beside=$3 output status run
  for run in first second; do
    output=$(talven -v)
    status=$?
    [ $status -eq 1 ] || fail "$label: the $run run exited $status, not 1: $output"
    grep -qF "Cannot remove the link [$(windows_path "$dst/$mount")] !" <<<"$output" ||
      fail "$label: the $run run did not refuse the mount: $output"
    grep -q "Removed the link" <<<"$output" && fail "$label: the $run run claimed a removal: $output"
    mountpoint -q "$dst/$mount" || fail "$label: the mount is gone after the $run run"
    [ -z "$(ls -A "$dst/$mount")" ] || fail "$label: the $run run wrote through the mount: $output"
    cmp -s "$src/$beside" "$dst/$beside" || fail "$label: $beside was not copied"
  done
  [ "$(mtime "$src/$beside")" != "$(mtime "$dst/$beside")" ] ||
    fail "$label: $beside kept its whole time; the clock is not coarse"
  grep -q "Newer file found" <<<"$output" && fail "$label: the second run updated a copy: $output"
  echo "wine-coarse-clocks: $label: $beside copied and kept, the mount neither walked nor written through"
}

round() {
  src=$scratch/$1/src
  dst=$scratch/$1/dst
  mkdir -p "$src" "$dst"
}

round ext4 && mount_image ext4 "$dst"
make_source a.txt alpha 1614834367.1234567
make_source b.txt beta 1614834368.0051234
make_source sub/c.txt gamma 1614834369.9876543
check "ext4 with 128-byte inodes" sub/c.txt b.txt a.txt

round exfat && mount_image exfat "$dst"
make_source a.txt alpha 1614834367.1234567
make_source b.txt beta 1614834368.0051234
make_source sub/c.txt gamma 1614834369.9876543
check "exFAT through FUSE" sub/c.txt b.txt a.txt

round nested && mount_image ext4 "$dst" && mount_image exfat "$dst/stick"
make_source top.txt "on ext4" 1614834367.1234567
make_source stick/a.txt "on exFAT" 1614834368.3333333
make_source stick/deep/b.txt "on exFAT too" 1614834369.6666666
check_mount_inside "exFAT inside ext4" stick top.txt
