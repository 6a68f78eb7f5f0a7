#!/usr/bin/env bash
# Builds talven three ways and runs every unit test in each, then fuzzes briefly:
#   build/asan  native, AddressSanitizer and UndefinedBehaviorSanitizer
#   build/tsan  native, ThreadSanitizer
#   build/plain native without sanitizers: the tests they cannot host (address-space limits)
#   build/win   Windows (mingw-w64 cross build), tests run under Wine, then a tree
#               made on the host mirrored by talven.exe (scripts/wine-host-tree.sh),
#               case twins on an exFAT stick (scripts/wine-exfat-stick.sh), a host
#               bind mount as a root (scripts/wine-host-bind.sh), device names and
#               trailing dots made on the host (scripts/wine-device-names.sh), a name's
#               escape sequence on a console (scripts/wine-console-names.sh), the
#               question before newer files are deleted (scripts/wine-wrong-way.sh) and
#               mirrors onto mounted coarse clocks (scripts/wine-coarse-clocks.sh)
#   build/package  both packages made from fresh Release builds and checked
#               (scripts/package.sh: lintian, the unpacked .deb and the zip under Wine)
#   build/fuzz  clang's libFuzzer on the pure pieces, 20 s a target (TALVEN_FUZZ_SECONDS)
# Wine keeps its own configuration in build/wineprefix, so nothing outside the build
# tree is touched. Exits non-zero when any build or any test fails.
set -uo pipefail

cd "$(dirname "$0")/.."
top=$PWD
jobs=2
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

failures=()
recap=()
total_passed=0
total_failed=0
total_skipped=0

# Configures and builds one tree: name, build folder, extra cmake arguments.
build_tree() {
  local name=$1 dir=$2
  shift 2
  echo "==> $name: configuring and building in $dir"
  cmake -S "$top" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
}

# Runs ctest in one tree, prints its output and keeps its summary line for the recap.
test_tree() {
  local name=$1 dir=$2 log=$2/ctest-output.log status
  shift 2
  echo "==> $name: running the tests"
  # only_tests, when set, names the only tests to run (a ctest -R pattern).
  local filter=()
  [ -n "${only_tests:-}" ] && filter=(-R "$only_tests")
  (cd "$dir" && "$@" ctest --output-on-failure --timeout 600 -j "$jobs" "${filter[@]}") 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  local summary total failed skipped
  summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
  recap+=("$name: ${summary:-no test summary}")
  total=$(sed -nE 's/.* out of ([0-9]+)$/\1/p' <<<"$summary")
  failed=$(sed -nE 's/.* ([0-9]+) tests? failed .*/\1/p' <<<"$summary")
  # ctest counts a skipped test among the passed ones; count it apart.
  skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log")
  total_passed=$((total_passed + ${total:-0} - ${failed:-0} - skipped))
  total_failed=$((total_failed + ${failed:-0}))
  total_skipped=$((total_skipped + skipped))
  return "$status"
}

# One build and its tests, timed; a failure is recorded and the next build still runs.
run_tree() {
  local name=$1 dir=$2 started=$SECONDS
  shift 2
  local build_arguments=() test_prefix=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do build_arguments+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  test_prefix=("$@")
  mkdir -p "$dir"
  if ! build_tree "$name" "$dir" "${build_arguments[@]}"; then
    failures+=("$name: build failed")
    recap+=("$name: build failed")
  elif ! test_tree "$name" "$dir" "${test_prefix[@]}"; then
    failures+=("$name: tests failed")
  fi
  recap[${#recap[@]}-1]+=" ($((SECONDS - started)) s)"
}

# ThreadSanitizer needs the address layout it expects; setarch -R turns off the
# randomisation that some kernels make too wide for it.
tsan_prefix=()
if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R true 2>/dev/null; then
  tsan_prefix=(setarch "$(uname -m)" -R)
fi

# Wine: one persistent server for the whole test run, with Wine's own background
# programs started here rather than by the first test, whose output pipe they would
# otherwise hold open.
start_wine() {
  export WINEPREFIX=$top/build/wineprefix
  export WINEDEBUG=-all
  # Names outside ASCII reach the host's file system only through a UTF-8 locale.
  export LANG=C.UTF-8
  unset LC_ALL
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "==> windows: preparing the Wine configuration in $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || return 1
    wineserver -w
  fi
  # A server left running on this prefix by an interrupted run would not be persistent.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1
  wineboot >/dev/null 2>&1
}

stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

mkdir -p build
run_tree asan build/asan -DTALVEN_SANITIZE=ON
run_tree tsan build/tsan -DTALVEN_TSAN=ON -- "${tsan_prefix[@]}"
# The tests that the sanitizers cannot host (a limit of address space), in a build
# without them.
only_tests=MemoryRunsOut run_tree plain build/plain
if command -v wine >/dev/null 2>&1 && start_wine; then
  # Wine's own error lines stay on for the tests: a test process that Wine cannot
  # start (a library that does not load or initialise) otherwise ends with a status
  # and no output at all, and nothing tells why. A passing run prints none of them.
  run_tree windows build/win -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" \
    -- env WINEDEBUG=-all,err+all
  # A tree made on the host, with Unicode names and a 1,000-character path.
  if scripts/wine-host-tree.sh "$top/build/win/talven.exe"; then
    recap+=("windows: a host-made Unicode tree mirrored exactly")
  else
    failures+=("windows: the host-made Unicode tree was not mirrored exactly")
    recap+=("windows: the host-made Unicode tree was not mirrored exactly")
  fi
  # An exFAT stick through FUSE, with names that differ only in case.
  if stick=$(scripts/wine-exfat-stick.sh "$top/build/win/talven.exe"); then
    recap+=("windows: ${stick#wine-exfat-stick: }")
  else
    failures+=("windows: case twins on an exFAT stick were not mirrored soundly")
    recap+=("windows: case twins on an exFAT stick were not mirrored soundly: $stick")
  fi
  # A link made on the host inside the destination, which Wine shows as a reparse point.
  if scripts/wine-host-link.sh "$top/build/win/talven.exe"; then
    recap+=("windows: a host link in the destination was neither walked nor written through")
  else
    failures+=("windows: a host link in the destination led the run outside it")
    recap+=("windows: a host link in the destination led the run outside it")
  fi
  # A subfolder mounted on the host at a second place, given as the other root.
  if bind=$(scripts/wine-host-bind.sh "$top/build/win/talven.exe"); then
    recap+=("windows: ${bind#wine-host-bind: }")
  else
    failures+=("windows: a host bind mount as a root was not stopped")
    recap+=("windows: a host bind mount as a root was not stopped: $bind")
  fi
  # Names Windows does not reach by plain paths, made on the host in the destination.
  if scripts/wine-device-names.sh "$top/build/win/talven.exe"; then
    recap+=("windows: device names and trailing dots or spaces deleted and copied for real")
  else
    failures+=("windows: device names or trailing dots or spaces were not mirrored for real")
    recap+=("windows: device names or trailing dots or spaces were not mirrored for real")
  fi
  # A name holding an escape sequence, on a console (script gives Wine a terminal).
  if scripts/wine-console-names.sh "$top/build/win/talven.exe"; then
    recap+=("windows: a console was shown a name's escape sequence escaped")
  else
    failures+=("windows: a name's escape sequence reached the console")
    recap+=("windows: a name's escape sequence reached the console")
  fi
  # Folders typed the wrong way round, on a console (tmux gives Wine a terminal).
  if scripts/wine-wrong-way.sh "$top/build/win/talven.exe"; then
    recap+=("windows: the console was asked before newer files were deleted")
  else
    failures+=("windows: the console was not asked before newer files were deleted")
    recap+=("windows: the console was not asked before newer files were deleted")
  fi
  # The .deb and the zip, each tried as a user would (the zip's talven.exe under Wine).
  package_started=$SECONDS
  if scripts/package.sh; then
    recap+=("packages: the .deb and the zip made and checked ($((SECONDS - package_started)) s)")
  else
    failures+=("packages: making or checking the .deb or the zip failed")
    recap+=("packages: failed ($((SECONDS - package_started)) s)")
  fi
  # A drive letter of its own in the prefix, whose root must be refused as a destination.
  if scripts/wine-drive-root.sh "$top/build/win/talven.exe"; then
    recap+=("windows: a drive root refused as the destination")
  else
    failures+=("windows: a drive root was not refused as the destination")
    recap+=("windows: a drive root was not refused as the destination")
  fi
  # Destinations with coarse clocks, mounted here: ext4 with 128-byte inodes, exFAT.
  # Its failure line is kept with the rest, for the recap.
  if coarse=$(scripts/wine-coarse-clocks.sh "$top/build/win/talven.exe" 2>&1); then
    echo "$coarse"
    recap+=("windows: $(grep -c ': copied, equal' <<<"$coarse") coarse-clock mounts mirrored ($(tail -n 1 <<<"$coarse"))")
  else
    echo "$coarse"
    failures+=("windows: a mirror onto a coarse clock failed (scripts/wine-coarse-clocks.sh)")
    recap+=("windows: a mirror onto a coarse clock failed: $(grep '^wine-coarse-clocks: ' <<<"$coarse" | tail -n 1)")
  fi
  stop_wine
else
  failures+=("windows: wine is missing or could not be prepared")
  recap+=("windows: not run")
fi

# A short run of every fuzz target (libFuzzer, under ASan and UBSan).
fuzz_started=$SECONDS
if scripts/fuzz.sh "${TALVEN_FUZZ_SECONDS:-20}"; then
  recap+=("fuzz: every target ran ${TALVEN_FUZZ_SECONDS:-20} s without a finding ($((SECONDS - fuzz_started)) s)")
else
  failures+=("fuzz: a target found a fault or could not be built")
  recap+=("fuzz: failed ($((SECONDS - fuzz_started)) s)")
fi

echo
echo "==> Summary"
printf '%s\n' "${recap[@]}"
[ ${#failures[@]} -gt 0 ] && printf 'FAILED: %s\n' "${failures[@]}"
echo "total: $total_passed passed, $total_failed failed, $total_skipped skipped"
[ ${#failures[@]} -eq 0 ]
