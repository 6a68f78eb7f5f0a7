# The benchmark cases; sourced by bench/run.sh, which sets talven, runs, the sizes,
# scratch, results, time_run and floor. Each case works in its own scratch folder
# and sets src and dst for the tools it times.

make_tree() { python3 "$here/make_tree.py" "$@" >/dev/null; }

# Trees of many files are not deleted between timed runs but moved aside, their
# pages dropped from the cache, and deleted once a case is over. On ext4 without
# a journal, new inodes pass over those freed in the last minute, so files created
# right after a mass deletion cost several times more than usual, whatever tool
# makes them; and kept pages would crowd the cache and slow later runs.
# Once the kept trees pass the budget, they are deleted and the next run waits
# for the freed inodes to settle.
trash_count=0 trash_kib=0 last_mass_deletion=-1000
discard_tree() {
  mkdir -p "$scratch/trash"
  trash_count=$((trash_count + 1))
  trash_kib=$((trash_kib + $(du -sk "$1" | cut -f1)))
  mv "$1" "$scratch/trash/$trash_count"
  [ "${2:-evict}" = keep-cached ] && return
  sync
  python3 "$here/make_tree.py" evict "$scratch/trash/$trash_count"
  [ "$trash_kib" -le "$trash_budget_kib" ] || { empty_trash; settle; }
}
empty_trash() {
  rm -rf "$scratch/trash"
  sync
  trash_kib=0
  last_mass_deletion=$SECONDS
}
# Waits until the inodes of the last mass deletion may be reused at full speed.
settle() {
  local wait=$((last_mass_deletion + 61 - SECONDS))
  [ "$wait" -le 0 ] || { echo "  (waiting ${wait} s for freed inodes to settle)"; sleep "$wait"; }
}

# Untimed resets, the same for every tool: each timed run starts from the same
# destination with no dirty pages of an earlier run still waiting to be written.
# A memory file system has neither cost, and no room for kept trees.
reset_empty() {
  if [ "$scratch_fs" = tmpfs ]; then
    rm -rf "$dst"
  elif [ -e "$dst" ]; then
    discard_tree "$dst"
  fi
  mkdir "$dst" && sync
}
# A few large files are simply deleted: that frees their cached pages too.
reset_deleted() { rm -rf "$dst" && mkdir "$dst" && sync; }
reset_none() { sync; }
reset_from_mirror() { rsync -a --delete "$mirror/" "$dst/" && sync; }
# A cold source: everything written is on the disk, then every cache is dropped
# (where allowed; else only the source's pages), so that the timed run reads the
# source from the disk.
evict_source() {
  sync
  if can_drop_caches; then
    # Every cache: the source's pages, its folders and inodes, and under an image
    # the pages of the image file itself, which would otherwise serve the "cold"
    # reads from memory.
    echo 3 >/proc/sys/vm/drop_caches
  else
    python3 "$here/make_tree.py" evict "$src"
  fi
}
reset_empty_cold() { reset_empty && evict_source; }
reset_deleted_cold() { reset_deleted && evict_source; }

# The tools of the cases that write: talven as it runs by default, which waits
# for its data to reach the disk, against each peer followed by sync (timed
# together); and talven --no-sync against the plain peers.
writing_tools=(talven rsync+sync cp+sync rclone+sync talven-nosync rsync cp rclone)
# An earlier talven (--baseline) takes its turns beside them.
[ -z "$baseline" ] || writing_tools+=(baseline+sync baseline)

# A case may give a tool a destination of its own (dst_of[TOOL]=PATH); the
# others work on dst.
declare -A dst_of=()

# Sets cmd to the command line of one tool on src and dst.
tool_command() {
  local dst=${dst_of[$1]:-$dst}
  case "$1" in
    talven) cmd=("$talven" "$dst" "$src") ;;
    talven-nosync) cmd=("$talven" "$dst" "$src" --no-sync) ;;
    talven-exact) cmd=("$talven" "$dst" "$src" --exact) ;;
    talven-exact-nosync) cmd=("$talven" "$dst" "$src" --exact --no-sync) ;;
    rsync) cmd=(rsync -a --delete "$src/" "$dst/") ;;
    rsync-H) cmd=(rsync -aH --delete "$src/" "$dst/") ;;
    rsync-AX) cmd=(rsync -aHAX --numeric-ids --delete "$src/" "$dst/") ;;
    cp) cmd=(cp -a "$src/." "$dst/") ;;
    rclone) cmd=(rclone --config "$scratch/rclone.conf" sync "$src" "$dst") ;;
    baseline+sync) cmd=("$baseline" "$dst" "$src") ;;
    baseline) cmd=("$baseline" "$dst" "$src" --no-sync) ;;
    *+sync)
      tool_command "${1%+sync}"
      cmd=(sh -c '"$@" && sync' then-sync "${cmd[@]}")
      ;;
    talven-filtered) cmd=("$talven" "$dst" "$src" --no-sync --exclude-from="$patterns") ;;
    floor) cmd=(floor "$src" "$dst") ;;
  esac
}

# One warm-up round (run 0) and then the timed rounds; the tools take turns in
# an order that rotates from round to round, so none always runs first. A tool
# that fails or runs out of time is dropped from the case.
rounds() {
  local case_name=$1 size=$2 reset=$3
  shift 3
  local tools=() count run i tool
  for tool in "$@"; do
    [ -z "$only_tools" ] || [[ $only_tools == *",$tool,"* ]] || continue
    tools+=("$tool")
  done
  count=${#tools[@]}
  [ "$count" -gt 0 ] || return 0
  declare -A dropped=()
  for ((run = 0; run <= runs; run++)); do
    for ((i = 0; i < count; i++)); do
      tool=${tools[(i + run) % count]}
      [ -z "${dropped[$tool]:-}" ] || continue
      "$reset"
      settle_before_run
      [ "$reset" != reset_empty_cold ] && [ "$reset" != reset_deleted_cold ] || evict_source
      tool_command "$tool"
      time_run "$case_name" "$size" "$tool" "$run" "${cmd[@]}" || dropped[$tool]=1
    done
  done
  [ -z "${dropped[talven]:-}" ]
}

# Prints the differences between the file listings (path, size, last-write
# time) of two trees; nothing when they agree.
listing_differences() {
  diff <(cd "$1" && find . -type f -printf '%P %s %T@\n' | LC_ALL=C sort) \
       <(cd "$2" && find . -type f -printf '%P %s %T@\n' | LC_ALL=C sort) | head -n 10 || true
}

fail_check() {
  echo "  CHECK FAILED ($1): $2" >&2
  checks_failed=$((checks_failed + 1))
}

# Lets talven make dst from its reset state once more, untimed, and checks that
# dst then holds the files of src with their sizes, times and, with contents=1,
# contents.
check_mirror() {
  local case_name=$1 reset=$2 contents=$3 differences before=$checks_failed
  "$reset"
  if ! timeout "$timeout_s" "$talven" "$dst" "$src" >"$scratch/check.log" 2>&1; then
    fail_check "$case_name" "talven failed (see $scratch/check.log)"
    return
  fi
  differences=$(listing_differences "$src" "$dst")
  [ -z "$differences" ] || fail_check "$case_name" "listings differ: $differences"
  if [ "$contents" = 1 ] && ! diff -r -q "$src" "$dst" >"$scratch/diff.log" 2>&1; then
    fail_check "$case_name" "diff -r finds differences: $(head -n 5 "$scratch/diff.log")"
  fi
  [ "$checks_failed" != "$before" ] || echo "  check $case_name: talven's mirror agrees with the source"
}

# The 50,000-file tree the first three cases share, and its mirror made by cp -a.
ensure_small_tree() {
  small=$scratch/small
  mirror=$small/mirror
  [ -d "$small/src" ] && return
  echo "Making $first_files files of 0..$max_size bytes in $first_folders folders ..."
  make_tree tree "$small/src" --files "$first_files" --folders "$first_folders" \
    --max-size "$max_size"
  cp -a "$small/src" "$mirror"
}

# The first mirror of the 50,000-file tree; cold: its source read from the disk.
first_mirror() {
  local case_name=$1 reset=$2
  ensure_small_tree
  src=$small/src dst=$small/dst
  echo "First mirror${3:-}: $first_files files into an empty destination"
  settle
  rounds "$case_name" "$first_files" "$reset" "${writing_tools[@]}" || true
  check_mirror "$case_name" "$reset" 1
  discard_tree "$dst"
  empty_trash
}
case_first() { first_mirror first reset_empty; }
case_first-cold() { first_mirror first-cold reset_empty_cold ", cold source"; }

case_noop() {
  ensure_small_tree
  src=$small/src dst=$mirror
  echo "No-op: $first_files files, nothing changed"
  rounds noop "$first_files" reset_none talven talven-nosync rsync rclone floor || true
  local differences
  differences=$(listing_differences "$src" "$dst")
  [ -z "$differences" ] || fail_check noop "a no-op changed the destination: $differences"
}

case_incremental() {
  ensure_small_tree
  src=$small/changed dst=$small/dst
  if [ ! -d "$src" ]; then
    cp -a "$small/src" "$src"
    python3 "$here/make_tree.py" mutate "$src" --percent 1 --max-size "$max_size"
  fi
  echo "Incremental: 1% touched newer, 1% added, 1% deleted"
  settle
  rounds incremental "$first_files" reset_from_mirror talven rsync+sync rclone+sync \
    talven-nosync rsync rclone || true
  check_mirror incremental reset_from_mirror 1
  discard_tree "$dst"
  empty_trash
}

large_files() {
  local case_name=$1 reset=$2 dir=$scratch/large
  src=$dir/src dst=$dir/dst
  echo "Making $large_count files of $large_mib MiB ..."
  python3 "$here/make_tree.py" large "$src" --count "$large_count" --size-mib "$large_mib" \
    >/dev/null
  echo "Large files${3:-}: $large_count x $large_mib MiB into an empty destination"
  rounds "$case_name" "$large_count" "$reset" "${writing_tools[@]}" || true
  check_mirror "$case_name" "$reset" 1
  rm -rf "$dir"
}
case_large() { large_files large reset_deleted; }
case_large-cold() { large_files large-cold reset_deleted_cold ", cold source"; }

# Checks that every regular file of the real tree arrived with its size and
# time. Links in it are not compared: the tools treat them differently.
to_100ns() { sed -E 's/(\.[0-9]{7})[0-9]*$/\1/'; }
check_share() {
  local missing
  "$reset_share"
  if ! timeout "$timeout_s" "$talven" "$dst" "$src" >"$scratch/check.log" 2>&1; then
    fail_check "$1" "talven failed (see $scratch/check.log)"
    return
  fi
  # Times are compared to 100 ns, the unit talven keeps them in: a file written
  # by a program that sets nanoseconds has digits that no mirror carries.
  missing=$(comm -23 <(cd "$src" && find . -type f -printf '%P %s %T@\n' | to_100ns | LC_ALL=C sort) \
                     <(cd "$dst" && find . -type f -printf '%P %s %T@\n' | to_100ns | LC_ALL=C sort) |
            head -n 10)
  if [ -n "$missing" ]; then
    fail_check "$1" "files missing or different in the mirror: $missing"
  else
    echo "  check $1: every regular file of the real tree is in talven's mirror"
  fi
}

# The first mirror of a tree that nobody generated, only ever read; its
# destination lies in the scratch folder.
real_tree() {
  local case_name=$1 files
  reset_share=$2
  src=$share dst=$scratch/share/dst
  mkdir -p "$scratch/share"
  files=$(find "$src" -type f | wc -l)
  echo "First mirror of $src${3:-}: $files files, $(du -sh "$src" 2>/dev/null | cut -f1)"
  settle
  rounds "$case_name" "$files" "$reset_share" "${writing_tools[@]}" || true
  check_share "$case_name"
  discard_tree "$dst"
  empty_trash
}
case_share() { real_tree share reset_empty; }
case_share-cold() { real_tree share-cold reset_empty_cold ", cold source"; }

# No-op runs on ever larger trees of empty files, two identical trees each; the
# next size is skipped once talven fails or runs out of time.
case_scale() {
  local size dir folders
  echo "size,files,path_bytes" >"$results/paths.csv"
  for size in $scale_sizes; do
    dir=$scratch/scale
    src=$dir/src dst=$dir/dst
    folders=$(((size + scale_per_folder - 1) / scale_per_folder))
    echo "Making two trees of $size empty files in $folders folders ..."
    make_tree tree "$src" --files "$size" --folders "$folders" --max-size 0
    make_tree tree "$dst" --files "$size" --folders "$folders" --max-size 0
    find "$src" -type f -printf '/%P\n' |
      awk -v size="$size" '{ n++; bytes += length($0) } END { print size "," n "," bytes }' \
        >>"$results/paths.csv"
    echo "Scale: no-op on $size files"
    local outcome=0
    rounds scale "$size" reset_none talven floor || outcome=1
    discard_tree "$dir" keep-cached
    [ "$outcome" = 0 ] || { echo "  talven failed at $size files: larger sizes skipped"; break; }
  done
}

# The bytes of disk a file takes.
allocated_bytes() { stat -c '%b %B' "$1" | awk '{ print $1 * $2 }'; }

# One file of 1 GiB holding 4 KiB of data, holes elsewhere (a virtual machine's
# disk, a database file): its time, and the room each tool's copy takes on the
# disk against the source's (allocation.csv, from one untimed run each).
case_sparse() {
  local dir=$scratch/sparse tool
  src=$dir/src dst=$dir/dst
  python3 "$here/make_tree.py" sparse "$src" --size-mib 1024 --data-kib 4 >/dev/null
  echo "Sparse file: 1 GiB holding 4 KiB of data into an empty destination"
  rounds sparse 1 reset_deleted talven cp+sync talven-nosync cp || true
  echo "tool,source_bytes,copy_bytes,block_bytes" >"$results/allocation.csv"
  for tool in talven talven-nosync cp; do
    reset_deleted
    tool_command "$tool"
    timeout "$timeout_s" "${cmd[@]}" >/dev/null 2>&1 || { fail_check sparse "$tool failed"; continue; }
    sync
    echo "$tool,$(allocated_bytes "$src/disk.img"),$(allocated_bytes "$dst/disk.img"),$(stat -f -c %S "$dst")" \
      >>"$results/allocation.csv"
  done
  check_mirror sparse reset_deleted 1
  rm -rf "$dir"
}

# A hundred patterns of the kind a backup of a home folder leaves out, none of which
# matches a name of the generated tree, so that the filtered run does the same work:
# names at any depth, extensions, folders only, anchored paths, ** and classes.
write_patterns() {
  local item
  {
    echo "# 100 patterns, none matching the generated tree"
    for item in tmp temp bak swp swo o obj so dylib pyc pyo class jar log pid lock cache part \
                crdownload iso img vmdk vdi qcow2 dmg ova bat mat out xdat orig rej dmp mdmp \
                tlog ilk pdb suo user; do
      echo "*.$item"
    done
    for item in node_modules .cache build dist target .git .svn .hg __pycache__ .venv venv .tox \
                .idea .vscode .gradle .m2 .npm .cargo .rustup .Trash .local/share/Trash; do
      echo "$item/"
    done
    for item in Thumbs.db .DS_Store desktop.ini ehthumbs.db .directory '~$*.docx' '~$*.xlsx' \
                '~$*.pptx' '.~lock.*#' '*~' '#*#' '.#*' 'core.[0-9]*' '[Tt]humbs.db' '?.swp' \
                'npm-debug.log*' '*.[oa]' 'f???????.tmp' 'g*.dat' '[!df]*.dat'; do
      echo "$item"
    done
    for item in build out tmp dist coverage logs; do echo "/$item"; done
    for item in '**/cache/*.dat' '**/logs/**' '/d1/d11/**/*.tmp' '/d2/**/tmp/' 'd1/d11/x*' \
                '/d3/d33/*.bak' '/d4/**/f*.old' '**/d5/cache/' 'd6/*/tmp/' '/d7/d77/d777/*.swp' \
                '**/.git/**' '/d8/**/node_modules/' '**/*.dat.part' 'd9/**/[0-9]*.tmp' \
                '/d10/d101/f*.bak'; do
      echo "$item"
    done
  } >"$1"
}

# The cost of a hundred patterns: the no-op and the first mirror of the 50,000-file
# tree, talven --no-sync with and without them, in the same rounds.
case_filters() {
  ensure_small_tree
  patterns=$scratch/patterns.txt
  write_patterns "$patterns"
  local count
  count=$(grep -vc '^#' "$patterns")
  [ "$count" = 100 ] || fail_check filters "the pattern file holds $count patterns, not 100"
  src=$small/src dst=$mirror
  echo "Filters, no-op: $first_files files, $count patterns against none"
  rounds filters-noop "$first_files" reset_none talven-nosync talven-filtered || true
  src=$small/src dst=$small/dst
  echo "Filters, first mirror: $first_files files, $count patterns against none"
  settle
  rounds filters-first "$first_files" reset_empty talven-nosync talven-filtered || true
  # The patterns match nothing: the filtered mirror holds every file of the source.
  reset_empty
  tool_command talven-filtered
  if timeout "$timeout_s" "${cmd[@]}" >"$scratch/check.log" 2>&1; then
    local differences
    differences=$(listing_differences "$src" "$dst")
    [ -z "$differences" ] || fail_check filters "the filtered mirror differs: $differences"
  else
    fail_check filters "the filtered run failed (see $scratch/check.log)"
  fi
  discard_tree "$dst"
  empty_trash
}
