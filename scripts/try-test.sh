#!/usr/bin/env bash
# Runs scripts/try.sh as a new user would: on a fresh clone of the source tree's last
# commit (what is not committed is not tried). Checks that
#   - it exits 0 and prints the preview's summary ("Preview: ...") and then the
#     mirror's ("Done: ..."), neither with a failure;
#   - the mirror it made in its scratch folder holds exactly the files of
#     /usr/share/doc (links to files as files, links to folders not walked) with
#     their sizes, and nothing else;
#   - it changed nothing in the clone but build/, and made nothing in the temporary
#     folder but its one scratch folder.
#   scripts/try-test.sh SOURCE_ROOT SCRATCH_FOLDER
# The build reuses what it can: CMAKE_CXX_COMPILER_LAUNCHER (ccache) and
# CMAKE_BUILD_PARALLEL_LEVEL pass through from the environment (2 jobs unless set).
# Exits 0 when every check passes, 1 when one fails, 77 (skipped) when git or
# /usr/share/doc is missing, the source is no git checkout, or the machine lacks what
# a build needs (the test installs nothing).
set -uo pipefail

source_root=$(realpath "$1")
scratch=$2
doc=/usr/share/doc
skip() {
  echo "try-test: skipped: $*"
  exit 77
}
command -v git >/dev/null 2>&1 || skip "git is missing"
[ -d "$doc" ] || skip "$doc is missing"
head=$(git -C "$source_root" rev-parse --verify -q HEAD) || skip "$source_root is no git checkout"
"$source_root/scripts/install-deps.sh" --check >/dev/null 2>&1 ||
  skip "this machine lacks what a build needs, and the test installs nothing"

rm -rf "$scratch" && mkdir -p "$scratch/tmp" || exit 1
scratch=$(realpath "$scratch")
clone=$scratch/clone
failed=0
fail() {
  echo "try-test: $*" >&2
  failed=1
}

git clone -q --no-checkout "$source_root" "$clone" && git -C "$clone" checkout -q --detach "$head" ||
  { echo "try-test: could not clone $source_root at $head" >&2; exit 1; }

output=$scratch/output
(cd "$clone" && TMPDIR=$scratch/tmp CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  scripts/try.sh) >"$output" 2>&1
status=$?
[ "$status" -eq 0 ] || fail "scripts/try.sh exited with $status: $(tail -n 1 "$output")"

# The two summaries, in their order, with nothing failed.
preview=$(grep -n '^Preview: ' "$output" | head -n 1)
done_line=$(grep -n '^Done: ' "$output" | head -n 1)
[ -n "$preview" ] || fail "no 'Preview: ' summary was printed"
[ -n "$done_line" ] || fail "no 'Done: ' summary was printed"
if [ -n "$preview" ] && [ -n "$done_line" ]; then
  ((${preview%%:*} < ${done_line%%:*})) || fail "the 'Done: ' summary came before the preview's"
  grep -q ', 0 failed, ' <<<"$preview" || fail "the preview failed: ${preview#*:}"
  grep -q ', 0 failed, ' <<<"$done_line" || fail "the mirror failed: ${done_line#*:}"
fi

# The one scratch folder, holding the mirror alone, and named where the script says.
folders=("$scratch"/tmp/*)
if [ "${#folders[@]}" -ne 1 ] || [ ! -d "${folders[0]}/doc" ]; then
  fail "the temporary folder holds [$(ls -A "$scratch/tmp" | tr '\n' ' ')], not one scratch folder with the mirror"
else
  mirror=${folders[0]}/doc
  [ "$(ls -A "${folders[0]}")" = doc ] ||
    fail "the scratch folder holds more than the mirror: $(ls -A "${folders[0]}" | tr '\n' ' ')"
  grep -qF "is in $mirror" "$output" || fail "the script did not say where the mirror is ($mirror)"
  grep -qF "rm -rf ${folders[0]}" "$output" || fail "the script did not say how to remove ${folders[0]}"
  # The files and their sizes, links to files read as their targets.
  expected=$(cd "$doc" && find . -xtype f -print0 | xargs -0 -r stat -L --printf '%n %s\n' | sort)
  mirrored=$(cd "$mirror" && find . -type f -printf '%p %s\n' | sort)
  [ -n "$expected" ] || fail "no file was found in $doc"
  if [ "$expected" != "$mirrored" ]; then
    fail "the mirror differs from $doc in its files:"
    diff <(echo "$expected") <(echo "$mirrored") | head -n 20 >&2
  fi
  others=$(find "$mirror" ! -type f ! -type d | head -n 5)
  [ -z "$others" ] || fail "the mirror holds what is neither file nor folder: $others"
fi

# Nothing changed in the clone but build/ (which git ignores).
changed=$(git -C "$clone" status --porcelain --ignored)
[ "$changed" = '!! build/' ] || fail "the clone changed outside build/: $(tr '\n' ' ' <<<"$changed")"

if [ "$failed" -ne 0 ]; then
  echo "try-test: the script's output is in $output" >&2
  exit 1
fi
rm -rf "$scratch/tmp"
echo "try-test: scripts/try.sh built talven on a fresh clone and mirrored $doc ($(wc -l <<<"$expected") files)"
