#!/usr/bin/env bash
# A folder of the destination that is a link made on the host (Wine shows it as a
# reparse point of tag 0): talven.exe under Wine must neither walk it nor write
# through it, so nothing in the folder it leads to is deleted or written.
#   WINEPREFIX=$PWD/build/wineprefix scripts/wine-host-link.sh build/win/talven.exe
# Works in a scratch folder of its own, removed at the end. Exits non-zero on failure.
set -uo pipefail

program=$1
[ -n "${WINEPREFIX:-}" ] || { echo "wine-host-link: set WINEPREFIX first" >&2; exit 1; }
export LANG=C.UTF-8
unset LC_ALL
scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-host-link.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "wine-host-link: $*" >&2
  exit 1
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
state() { (cd "$1" && find . -printf '%P %y %s %T@\n' | LC_ALL=C sort && find . -type f -exec md5sum {} + | LC_ALL=C sort); }

mkdir -p "$scratch/src/sub" "$scratch/dst" "$scratch/outside" || fail "cannot make the trees"
echo "source file" >"$scratch/src/sub/file"
echo "source new" >"$scratch/src/sub/new"
echo "outside file" >"$scratch/outside/file"
echo "outside victim" >"$scratch/outside/victim"
touch -d @1500000000 "$scratch/outside/file" "$scratch/outside/victim"
ln -s "$scratch/outside" "$scratch/dst/sub" || fail "cannot make the link"
# A link to an empty folder, which a removal through the link would take.
mkdir -p "$scratch/src/bare" "$scratch/empty" || fail "cannot make the trees"
echo "source bare" >"$scratch/src/bare/file"
ln -s "$scratch/empty" "$scratch/dst/bare" || fail "cannot make the link"
before=$(state "$scratch/outside")

for round in 1 2; do
  output=$(cd "$scratch" && wine "$program" "$(windows_path "$scratch/dst")" \
    "$(windows_path "$scratch/src")" -v 2>&1)
  status=$?
  [ "$(state "$scratch/outside")" == "$before" ] ||
    fail "round $round changed the folder outside (status $status): $output"
  grep -q "We need to delete" <<<"$output" && fail "round $round listed the linked folder: $output"
  [ -d "$scratch/empty" ] && [ -z "$(ls -A "$scratch/empty")" ] ||
    fail "round $round removed or wrote into the empty folder outside (status $status): $output"
  # Success may only be claimed for a true mirror.
  if [ "$status" -eq 0 ]; then
    cmp -s "$scratch/src/sub/file" "$scratch/dst/sub/file" &&
      cmp -s "$scratch/src/bare/file" "$scratch/dst/bare/file" ||
      fail "round $round exited 0 without mirroring: $output"
  fi
done
echo "wine-host-link: a host link in the destination was neither walked nor written through"
