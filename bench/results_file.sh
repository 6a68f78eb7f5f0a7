# shellcheck shell=bash
# The results file of bench/run.sh (sourced by it): the table that report.py
# printed and the chart, with what a reader needs to weigh them or to compare two
# measurements: the machine, its file system, the date, the commit and the command.
# The file is meant to be committed; a later measurement replaces it, and git keeps
# the history. Uses what run.sh set: repo, results, scratch, command_line, talven,
# talven_origin, share, mode and runs.

# The value of lscpu's line of this name (taken as it is, not as a pattern), or "?".
lscpu_field() {
  local value
  value=$(lscpu 2>/dev/null | awk -v name="$1:" 'index($0, name) == 1 {
    sub(/^[^:]*:[[:space:]]*/, ""); print; exit }')
  echo "${value:-?}"
}

# One table row per fact about the machine and the run.
describe_run() {
  local commit memory processors virtual filesystem
  commit=$(git -C "$repo" rev-parse --short=12 HEAD 2>/dev/null || echo "?")
  git -C "$repo" diff --quiet HEAD 2>/dev/null || commit="$commit, with uncommitted changes"
  memory=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
  processors="$(lscpu_field 'CPU(s)') logical ($(lscpu_field 'Core(s) per socket') cores a socket,"
  processors+=" $(lscpu_field 'Socket(s)') sockets), $(nproc) usable"
  virtual=$(lscpu_field 'Hypervisor vendor')
  [ "$virtual" = "?" ] && virtual="none that lscpu names"
  filesystem=$(df --output=fstype,source "$scratch" | awk 'NR == 2 { print $1 " on " $2 }')
  filesystem+=", mounted $(findmnt -n -o OPTIONS -T "$scratch")"
  echo "| date | $(sed -n 's/^date: //p' "$results/machine.txt") |"
  echo "| commit | $commit |"
  echo "| talven | \`$talven\` ($talven_origin) |"
  echo "| CPU | $(lscpu_field 'Model name') |"
  echo "| processors | $processors |"
  echo "| hypervisor | $virtual |"
  echo "| memory | $memory |"
  echo "| kernel | $(uname -srm) |"
  echo "| file system | $filesystem (\`BENCH_DIR\`=${BENCH_DIR:-/tmp}) |"
  echo "| load average | $(sed -n 's/^load average at start: //p' "$results/machine.txt") at the start," \
    "$(sed -n 's/^load average at end: //p' "$results/machine.txt") at the end |"
  echo "| before each timed run | $(sed -n 's/^before each timed run: //p' "$results/machine.txt") |"
  echo "| cold runs | $(sed -n 's/^cold runs: //p' "$results/machine.txt") |"
  grep -q '^each case on' "$results/machine.txt" &&
    echo "| cases | $(sed -n 's/^each case on //p' "$results/machine.txt") |"
  echo "| peers | $(sed -n 's/^peers: //p' "$results/machine.txt") |"
  echo "| real tree | $share |"
}

# Writes the results file (FILE.md) and copies the chart beside it (FILE.png).
write_results_file() {
  local file=$1 chart=${1%.md}.png
  {
    echo "# Benchmark results: $mode run, destination on $scratch_fs"
    echo
    echo "Measured by"
    echo
    echo "    $command_line"
    echo
    echo "with $runs timed run(s) of each tool after an untimed warm-up; medians, ratios"
    echo "and targets as \`bench/report.py\` computes them. A new run of the same command"
    echo "replaces this file; git keeps the history."
    echo
    echo "| | |"
    echo "|---|---|"
    describe_run
    echo
    echo '```'
    cat "$results/table.txt"
    echo '```'
    if [ -f "$results/chart.png" ]; then
      echo
      echo "![talven against its peers]($(basename "$chart"))"
    fi
  } >"$file"
  if [ -f "$results/chart.png" ]; then cp "$results/chart.png" "$chart"; else rm -f "$chart"; fi
}
