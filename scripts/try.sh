#!/usr/bin/env bash
# Tries talven in one command, from a fresh clone on a Debian machine: installs what
# a build needs (scripts/install-deps.sh, through sudo for a user who is not root),
# builds talven in build/try, then previews and makes a mirror of /usr/share/doc in
# a scratch folder of its own and prints each run's summary.
#   scripts/try.sh
# Nothing is changed outside build/ and the scratch folder (made by mktemp -d, in
# $TMPDIR or /tmp): /usr/share/doc is only read. The build's output goes to
# build/try.log. A step that fails ends the script with one line that names it and
# a status that is not 0.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd) || exit 1
build=$root/build/try
log=$root/build/try.log
source_folder=/usr/share/doc
fail() {
  echo "try: $*" >&2
  exit 1
}

[ -d "$source_folder" ] && [ -r "$source_folder" ] ||
  fail "$source_folder is missing or cannot be read: there is nothing to mirror"
mkdir -p "$root/build" && : >"$log" || fail "cannot write $log"

echo "try: installing what a build needs (scripts/install-deps.sh)"
"$root/scripts/install-deps.sh" >>"$log" 2>&1 ||
  fail "scripts/install-deps.sh could not install what a build needs (see $log)"

# A compiler launcher (ccache) in CMAKE_CXX_COMPILER_LAUNCHER and the number of build
# jobs in CMAKE_BUILD_PARALLEL_LEVEL are taken from the environment by CMake itself.
echo "try: building talven in build/try"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALVEN_TESTS=OFF >>"$log" 2>&1 ||
  fail "the build could not be configured (see $log)"
cmake --build "$build" --target talven >>"$log" 2>&1 || fail "talven could not be built (see $log)"
talven=$build/talven
[ -x "$talven" ] || fail "the build made no $talven"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/talven-try.XXXXXX" 2>&1) ||
  fail "no scratch folder could be made: ${scratch#mktemp: }"
mirror=$scratch/doc
# The runs start in the scratch folder: whatever they write lands there.
cd "$scratch" || fail "cannot enter the scratch folder $scratch"

echo
echo "try: a preview first: what would be copied into $mirror, with nothing changed"
echo "try: \$ talven $mirror $source_folder -p --stats"
"$talven" "$mirror" "$source_folder" -p --stats
status=$?
[ "$status" -eq 0 ] || fail "the preview ended with exit status $status (the lines above say why)"

echo
echo "try: now the mirror itself"
echo "try: \$ talven $mirror $source_folder --stats"
"$talven" "$mirror" "$source_folder" --stats
status=$?
[ "$status" -eq 0 ] || fail "the mirror ended with exit status $status (the lines above say why)"

echo
echo "try: the mirror of $source_folder is in $mirror"
echo "try: run the same command again to see a run with nothing to do:"
printf '       %q %q %q --stats\n' "$talven" "$mirror" "$source_folder"
printf 'try: remove the scratch folder with: rm -rf %q\n' "$scratch"
