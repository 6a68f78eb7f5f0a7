#!/usr/bin/env bash
# One folder mounted on the host at a second place (a bind mount): talven.exe under
# Wine must stop before any change, exit 2, when the source is a folder of the
# destination under that other name, or the destination one of the source.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-host-bind.sh build/win/talven.exe
# Needs root for the mounts; says why and exits 0 where a mount is refused. Works in
# a scratch folder of its own, removed at the end. Exits non-zero on failure.
set -uo pipefail

program=$(realpath "$1")
[ -n "${WINEPREFIX:-}" ] || { echo "wine-host-bind: set WINEPREFIX first" >&2; exit 1; }
export LANG=C.UTF-8
unset LC_ALL
skip() {
  echo "wine-host-bind: skipped: $*"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "bind mounts need root"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-host-bind.XXXXXX") || exit 1
cleanup() {
  mountpoint -q "$scratch/alias" && { umount "$scratch/alias" || umount -l "$scratch/alias"; }
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "wine-host-bind: $*" >&2
  exit 1
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
state() { (cd "$scratch" && find src dst -printf '%P %y %s\n' | LC_ALL=C sort && find src dst -type f -exec md5sum {} + | LC_ALL=C sort); }

mkdir -p "$scratch/src/sub" "$scratch/dst/photos" "$scratch/alias" || fail "cannot make the trees"
echo "the only copy" >"$scratch/dst/photos/img.jpg"
echo "keep" >"$scratch/src/sub/keep"
before=$(state)

# talven.exe destination source, and the line that must tell why it stopped.
expect_stop() {
  local destination=$1 source=$2 line=$3 output status
  output=$(cd "$scratch" && wine "$program" "$(windows_path "$destination")" \
    "$(windows_path "$source")" -v 2>&1)
  status=$?
  [ $status -eq 2 ] || fail "talven.exe $destination $source exited with $status, not 2: $output"
  grep -qF "$line" <<<"$output" || fail "no line [$line]: $output"
  [ "$(state)" == "$before" ] || fail "talven.exe $destination $source changed the trees: $output"
}

mount --bind "$scratch/dst/photos" "$scratch/alias" 2>/dev/null || skip "the bind mount was refused"
expect_stop "$scratch/dst" "$scratch/alias" "lies inside the destination folder"
umount "$scratch/alias" || fail "cannot unmount"
mount --bind "$scratch/src/sub" "$scratch/alias" || fail "the second bind mount was refused"
expect_stop "$scratch/alias" "$scratch/src" "lies inside the source folder"
expect_stop "$scratch/alias/new" "$scratch/src" "lies inside the source folder"
echo "wine-host-bind: a folder mounted at a second place stopped talven.exe before any change"
