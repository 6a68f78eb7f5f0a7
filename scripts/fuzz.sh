#!/usr/bin/env bash
# Builds the fuzz targets (every *_fuzz.cpp) with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs each for a while:
#   scripts/fuzz.sh [seconds per target]     (default 20: the short run of CI)
# Corpora stay in build/fuzz/corpus/<target>, so later runs go on from earlier ones;
# an input that breaks a rule is saved as build/fuzz/<target>-crash-... and the
# script exits non-zero. TALVEN_FUZZ_BUILD chooses another build folder.
set -uo pipefail

cd "$(dirname "$0")/.."
seconds=${1:-20}
dir=${TALVEN_FUZZ_BUILD:-build/fuzz}
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz.sh: clang++ is not installed (apt-get install clang libclang-rt-14-dev)" >&2
  exit 2
fi
mkdir -p "$dir"
echo "==> building the fuzz targets in $dir"
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALVEN_FUZZ=ON -DTALVEN_TESTS=OFF >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 2; }
cmake --build "$dir" -j 2 --target fuzz_targets || exit 2

status=0
for target in "$dir"/*_fuzz; do
  name=$(basename "$target")
  corpus=$dir/corpus/$name
  mkdir -p "$corpus"
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/$name-" \
    "$corpus" >"$dir/$name.log" 2>&1
  result=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$name.log")
  if [ "$result" -eq 0 ]; then
    echo "==> $name: ${seconds} s, ${runs:-?} inputs, no finding"
  else
    echo "==> $name: FAILED after ${runs:-?} inputs (exit $result); the end of its log:"
    tail -n 40 "$dir/$name.log"
    status=1
  fi
done
exit $status
