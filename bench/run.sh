#!/usr/bin/env bash
# The benchmark command: times talven against rsync -a --delete, cp -a, rclone
# sync and a listing floor on generated trees and on a real one (/usr/share),
# with warm and cold caches, and talven --exact against talven without it and
# rsync -aH --delete on a tree of links and second names of files. It writes the
# results file bench/results/MODE-FS.md (the table, with the machine, the date,
# the commit and the command that measured it) and its chart
# bench/results/MODE-FS.png, to be committed: a new measurement
# replaces the one before, and git keeps the history. The raw samples, CSV files
# and logs go to bench/results/MODE-FS/, which is not committed. It installs
# nothing: bench/install-deps.sh does.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: bench/run.sh [--quick] [--runs N] [--talven PATH] [--cases LIST] [--share PATH]
                    [--timeout S] [--keep] [--image GIB] [--settle S]
                    [--baseline PATH] [--tools LIST]

  --quick        smaller trees and 3 runs: a smoke run of a few minutes
  --runs N       timed runs of each tool in each case (default 5, quick 3)
  --talven PATH  the talven binary to time (default: a Release build made in
                 build/release)
  --cases LIST   comma-separated subset of: first,first-cold,noop,incremental,
                 large,large-cold,share,share-cold,sparse,scale,filters,exact,
                 exact-noop,exact-meta,exact-meta-noop (default: all)
  --share PATH   the real tree that the share cases mirror, only read (default
                 /usr/share, quick /usr/share/doc)
  --timeout S    a run that takes longer is stopped and counted as failed
                 (default 300)
  --keep         leave the scratch folder in place
  --image GIB    run each case on a fresh ext4 file system of GIB GiB, made in an
                 image file under $BENCH_DIR and mounted through a loop device
                 (needs root): no case inherits another's freed inodes, discards
                 or fragments
  --baseline PATH
                 another talven binary (an earlier commit's) timed in the same
                 rounds of the cases that write: "baseline+sync" as it runs by
                 default, "baseline" with --no-sync
  --tools LIST   comma-separated: time only these tools of each case (talven,
                 talven-nosync, baseline, baseline+sync, cp, cp+sync, rsync, ...)
  --settle S     seconds of quiet before each timed run, after a sync and after
                 the dirty pages of the file system have been written (default 2)

Before every timed run the writes of the run before it are synced and the
benchmark waits until the kernel holds no dirty pages and then --settle seconds.
A cold run starts with every cache dropped (sync; echo 3 >
/proc/sys/vm/drop_caches), so that its source comes from the disk under any
image; without the right to drop them only the source's pages are evicted, and
the results say so. The order of the tools rotates from round to round. Each
median is printed with its spread: (max - min) / median and the interquartile
range / median, in percent.

Trees are made under $BENCH_DIR (default /tmp) in a scratch folder that is
removed at the end; destinations kept for the inode reuse of the file system
are deleted whenever they pass $BENCH_TRASH_GIB GiB (default 16). The results
file is bench/results/MODE-FS.md with its chart MODE-FS.png beside it (for
instance bench/results/full-ext4.md), the raw samples are in bench/results/MODE-FS/.
A run of the exact cases alone (exact, exact-noop, exact-meta, exact-meta-noop) writes
MODE-FS-exact.md instead, beside the results of the other cases, and one of the
metadata cases alone MODE-FS-exact-metadata.md.
EOF
}

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
command_line=bench/run.sh
[ $# -eq 0 ] || command_line+=$(printf " %q" "$@")
all_cases="first,first-cold,noop,incremental,large,large-cold,share,share-cold,sparse,scale,filters"
all_cases+=",exact,exact-noop,exact-meta,exact-meta-noop"
quick=0 runs="" talven="" cases=$all_cases share="" timeout_s=300 keep=0 image_gib="" settle_s=2 baseline="" only_tools=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --runs) runs=${2:?--runs needs a number}; shift ;;
    --talven) talven=${2:?--talven needs a path}; shift ;;
    --cases) cases=${2:?--cases needs a list}; shift ;;
    --share) share=${2:?--share needs a folder}; shift ;;
    --timeout) timeout_s=${2:?--timeout needs seconds}; shift ;;
    --keep) keep=1 ;;
    --image) image_gib=${2:?--image needs a size in GiB}; shift ;;
    --settle) settle_s=${2:?--settle needs seconds}; shift ;;
    --baseline) baseline=${2:?--baseline needs a path}; shift ;;
    --tools) only_tools=,${2:?--tools needs a list},; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench/run.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
case "$runs" in ''|*[!0-9]*) [ -z "$runs" ] || { echo "bench/run.sh: --runs needs a number" >&2; exit 2; } ;; esac
case "$timeout_s" in ''|*[!0-9]*) echo "bench/run.sh: --timeout needs whole seconds" >&2; exit 2 ;; esac
case "$settle_s" in ''|*[!0-9]*) echo "bench/run.sh: --settle needs whole seconds" >&2; exit 2 ;; esac
case "$image_gib" in *[!0-9]*) echo "bench/run.sh: --image needs whole GiB" >&2; exit 2 ;; esac
if [ -n "$baseline" ]; then
  [ -x "$baseline" ] || { echo "bench/run.sh: '$baseline' is not an executable" >&2; exit 2; }
  baseline=$(cd "$(dirname "$baseline")" && pwd)/$(basename "$baseline")
fi
if [ -n "$image_gib" ] && [ "$(id -u)" != 0 ]; then
  echo "bench/run.sh: --image mounts a loop device and needs root" >&2; exit 2
fi

if [ "$quick" = 1 ]; then
  mode=quick; runs=${runs:-3}
  first_files=5000 first_folders=100 large_count=4 large_mib=32 scale_sizes="10000 100000"
  share=${share:-/usr/share/doc}
else
  mode=full; runs=${runs:-5}
  first_files=50000 first_folders=1000 large_count=4 large_mib=256
  scale_sizes="10000 100000 1000000"
  share=${share:-/usr/share}
fi
[ "$runs" -ge 1 ] || { echo "bench/run.sh: --runs must be at least 1" >&2; exit 2; }
IFS=, read -r -a selected <<<"$cases"
only_exact=1 only_metadata=1
for name in "${selected[@]}"; do
  case "$name" in
    first|first-cold|noop|incremental|large|large-cold|share|share-cold|sparse|scale|filters)
      only_exact=0 only_metadata=0 ;;
    exact|exact-noop) only_metadata=0 ;;
    exact-meta|exact-meta-noop) ;;
    *) echo "bench/run.sh: unknown case '$name' (cases: $all_cases)" >&2; exit 2 ;;
  esac
  case "$name" in share*)
    [ -d "$share" ] || { echo "bench/run.sh: --share '$share' is not a folder" >&2; exit 2; } ;;
  esac
done
[ ! -d "$share" ] || share=$(cd "$share" && pwd)
trash_budget_kib=$((${BENCH_TRASH_GIB:-16} * 1024 * 1024))
max_size=16384 scale_per_folder=1000

# Each tool with the Debian package that brings it.
check_tools() {
  local missing="" pair tool package
  for pair in rsync:rsync rclone:rclone sync:coreutils cp:coreutils find:findutils diff:diffutils python3:python3 \
              gnuplot:gnuplot-nox timeout:coreutils awk:mawk /usr/bin/time:time; do
    tool=${pair%%:*} package=${pair#*:}
    command -v "$tool" >/dev/null 2>&1 || case " $missing " in
      *" $package "*) ;;
      *) missing="$missing $package" ;;
    esac
  done
  if [ -z "$talven" ] && ! command -v cmake >/dev/null 2>&1; then missing="$missing cmake"; fi
  if [ -n "$missing" ]; then
    echo "bench/run.sh needs these Debian packages:$missing" >&2
    echo "install them with: bench/install-deps.sh (or apt-get install$missing)" >&2
    exit 2
  fi
}

build_talven() {
  if [ -n "$talven" ]; then
    [ -x "$talven" ] || { echo "bench/run.sh: '$talven' is not an executable" >&2; exit 2; }
    talven=$(cd "$(dirname "$talven")" && pwd)/$(basename "$talven")
    talven_origin="given with --talven"
    return
  fi
  echo "Building talven (Release) in build/release ..."
  local log
  log=$(mktemp)
  local generator=()
  command -v ninja >/dev/null 2>&1 && [ ! -f "$repo/build/release/CMakeCache.txt" ] && generator=(-G Ninja)
  if ! { cmake -S "$repo" -B "$repo/build/release" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
           -DTALVEN_TESTS=OFF && cmake --build "$repo/build/release" -j2; } >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "bench/run.sh: the Release build failed (full output in $log)" >&2
    exit 2
  fi
  rm -f "$log"
  talven=$repo/build/release/talven
  talven_origin="Release build of $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')"
  git -C "$repo" diff --quiet HEAD 2>/dev/null || talven_origin="$talven_origin with uncommitted changes"
}

check_tools
build_talven
scratch=$(mktemp -d "${BENCH_DIR:-/tmp}/talven-bench.XXXXXX")
cleanup() {
  if [ "$keep" = 1 ]; then echo "Scratch folder kept: $scratch"; else rm -rf "$scratch"; fi
}
trap cleanup EXIT
case "$scratch/" in "$share"/*)
  echo "bench/run.sh: the scratch folder $scratch lies in the real tree $share" >&2; exit 2 ;;
esac
base_scratch=$scratch
# With --image each case gets a fresh ext4 file system, made and mounted here, as
# its scratch folder; the results are named for it.
image=$base_scratch/case.img mounted=""
unmount_image() {
  if [ -n "$mounted" ]; then
    cd /
    # A tool's last file may still be closing: one more try a moment later.
    umount "$mounted" 2>/dev/null || { sleep 2; umount "$mounted" || true; }
    mounted=""
  fi
  rm -f "$image"
}
fresh_image() {
  unmount_image
  truncate -s "${image_gib}G" "$image"
  mkfs.ext4 -q -F -E nodiscard "$image"
  mkdir -p "$base_scratch/mnt"
  mount -o loop,noatime "$image" "$base_scratch/mnt"
  mounted=$base_scratch/mnt
  scratch=$mounted/work
  mkdir -p "$scratch"
  trash_count=0 trash_kib=0
}
if [ -n "$image_gib" ]; then
  scratch_fs=ext4-image
  cleanup() {
    unmount_image
    if [ "$keep" = 1 ]; then echo "Scratch folder kept: $base_scratch"; else rm -rf "$base_scratch"; fi
  }
else
  scratch_fs=$(df --output=fstype "$scratch" | tail -n 1)
fi
results=$repo/bench/results/$mode-$scratch_fs
# The exact cases measured alone keep a results file of their own.
[ "$only_exact" = 0 ] || results=$results-exact
[ "$only_metadata" = 0 ] || results=$results-metadata
mkdir -p "$results"
trap 'exit 130' INT TERM
samples=$results/samples.csv
echo "case,size,tool,run,seconds,max_rss_kb,status" >"$samples"
checks_failed=0

# The listing floor: both trees listed at once, as talven does, with what it reads.
floor() {
  find "$1" -printf '%s %T@ %p\n' >/dev/null &
  find "$2" -printf '%s %T@ %p\n' >/dev/null
  wait
}

# True where this process may drop every cache of the kernel.
can_drop_caches() { [ -w /proc/sys/vm/drop_caches ]; }

# Before a timed run: what the run before it wrote is on the disk, the kernel holds
# no dirty pages that it would write during this one, and the machine had a moment
# of quiet. Writeback of an earlier tool's pages was the largest part of the spread
# from one run to the next.
settle_before_run() {
  local waited=0 dirty
  sync
  while :; do
    dirty=$(awk '/^(Dirty|Writeback):/ { kib += $2 } END { print kib + 0 }' /proc/meminfo)
    [ "$dirty" -gt 1024 ] && [ "$waited" -lt 30 ] || break
    sleep 1
    waited=$((waited + 1))
  done
  [ "$settle_s" = 0 ] || sleep "$settle_s"
}

# Runs one command, timed in microseconds, and records it unless it is the
# warm-up (run 0). Returns 1 when the command failed or ran out of time.
time_run() {
  local case_name=$1 size=$2 tool=$3 run=$4 rss_file=$scratch/rss
  shift 4
  local log=$scratch/logs/$case_name-$size-$tool-$run.log status=0 start end rss=""
  mkdir -p "$scratch/logs"
  rm -f "$rss_file"
  start=${EPOCHREALTIME/./}
  if [ "$1" = floor ]; then
    "$@" >"$log" 2>&1 || status=$?
  elif [ "$tool" = talven ] && [ "$case_name" = scale ]; then
    timeout "$timeout_s" /usr/bin/time -v -o "$rss_file" "$@" >"$log" 2>&1 || status=$?
  else
    timeout "$timeout_s" "$@" >"$log" 2>&1 || status=$?
  fi
  end=${EPOCHREALTIME/./}
  [ -f "$rss_file" ] && rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$rss_file")
  local seconds
  seconds=$(awk -v d=$((end - start)) 'BEGIN { printf "%.6f", d / 1e6 }')
  local outcome=ok
  [ "$status" = 0 ] || outcome=failed
  [ "$status" = 124 ] && outcome=timeout
  [ "$run" = 0 ] || echo "$case_name,$size,$tool,$run,$seconds,$rss,$outcome" >>"$samples"
  printf '  %-12s %-19s run %s: %9.3f s %s\n' "$case_name" "$tool" "$run" "$seconds" \
    "$([ "$outcome" = ok ] || echo "($outcome, status $status; log $log)")"
  [ "$outcome" = ok ]
}

source "$here/cases.sh"
source "$here/exact_cases.sh"
source "$here/results_file.sh"

echo "Mode $mode: $runs timed runs per tool after one warm-up; scratch $scratch"
{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "talven: $talven ($talven_origin)"
  [ -z "$baseline" ] || echo "baseline: $baseline"
  echo "nproc: $(nproc)"
  lscpu | head -n 15
  echo "memory: $(free -h | awk '/^Mem:/ { print $2 " total, " $7 " available" }')"
  echo "scratch: $scratch on $(df -T "$scratch" | awk 'NR == 2 { print $2 " (" $1 "), " $5 " KiB free" }')"
  echo "scratch mount options: $(findmnt -n -o OPTIONS -T "$scratch")"
  echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "before each timed run: sync, dirty pages written, $settle_s s settle"
  if [ -n "$image_gib" ]; then
    echo "each case on a fresh ext4 image of $image_gib GiB in $base_scratch ($(df -T "$base_scratch" | awk 'NR == 2 { print $2 }')), loop-mounted, noatime"
  fi
  if can_drop_caches; then
    echo "cold runs: every cache dropped (sync; echo 3 > /proc/sys/vm/drop_caches)"
  else
    echo "cold runs: only the source's pages evicted (no right to drop every cache)"
  fi
  echo "peers: $(rsync --version | head -n 1); $(cp --version | head -n 1);" \
    "$(rclone version 2>/dev/null | head -n 1)"
  echo "real tree: $share"
} >"$results/machine.txt"
for name in "${selected[@]}"; do
  [ -z "$image_gib" ] || fresh_image
  "case_$name"
done
[ -z "$image_gib" ] || { unmount_image; scratch=$base_scratch; }
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/machine.txt"

python3 "$here/report.py" "$results" | tee "$results/table.txt"
gnuplot -e "results='$results'; ratios=$(wc -l <"$results/ratios.dat");
            scales=$(wc -l <"$results/scale.dat")" "$here/chart.gp" ||
  echo "The chart could not be drawn." >&2
write_results_file "$results.md"
echo "Results: $results.md (and $(basename "$results").png), raw: $results/" \
  "(table.txt, summary.csv, targets.csv, samples.csv)"
if [ "$checks_failed" != 0 ]; then
  echo "$checks_failed correctness check(s) failed: see above." >&2
  exit 1
fi
