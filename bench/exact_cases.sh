# shellcheck shell=bash
# The cases of an exact mirror (--exact); sourced by bench/run.sh after cases.sh,
# whose rounds, resets and tools they use, on a tree of links and second names
# of files.

# The tree of the exact cases: as many names as the 50,000-file tree, of which 10%
# are symbolic links and 5% second names of files in other folders.
ensure_links_tree() {
  links=$scratch/links
  [ -d "$links/src" ] && return
  echo "Making $first_files names of 0..$max_size bytes in $first_folders folders," \
    "10% symbolic links, 5% second names of files ..."
  make_tree tree "$links/src" --files "$first_files" --folders "$first_folders" \
    --max-size "$max_size" --links 10 --hardlinks 5
}

# Lists what a mirror of src must hold: exact, or as a run without --exact makes it.
expected_listing() {
  [ -f "$links/expected-$1" ] || python3 "$here/tree_listing.py" --as "$1" "$src" >"$links/expected-$1"
}

# Checks that the tree TREE holds what a mirror of src of KIND (exact or default)
# must hold.
check_listing() {
  local case_name=$1 kind=$2 tree=$3 differences
  expected_listing "$kind"
  differences=$(diff "$links/expected-$kind" <(python3 "$here/tree_listing.py" --as "$kind" "$tree") |
    head -n 10 || true)
  [ -z "$differences" ] || fail_check "$case_name" "$4: $differences"
}

# Lets each talven and rsync -aH make dst from its reset state once more, untimed,
# and checks the mirror each made: names, types, sizes, times, bytes, link targets
# and names of one file.
check_exact_mirrors() {
  local case_name=$1 reset=$2 tool kind before=$checks_failed
  for tool in talven talven-exact rsync-H; do
    kind=exact
    [ "$tool" = talven ] && kind=default
    "$reset"
    tool_command "$tool"
    if ! timeout "$timeout_s" "${cmd[@]}" >"$scratch/check.log" 2>&1; then
      fail_check "$case_name" "$tool failed (see $scratch/check.log)"
      continue
    fi
    check_listing "$case_name" "$kind" "$dst" "the mirror of $tool differs"
  done
  [ "$checks_failed" != "$before" ] ||
    echo "  check $case_name: the mirrors of talven, talven --exact and rsync -aH hold what they must"
}

# The first mirror of the tree of links: talven without and with --exact against
# rsync -aH, in the same rounds.
case_exact() {
  ensure_links_tree
  src=$links/src dst=$links/dst
  echo "Exact, first mirror: $first_files names into an empty destination"
  settle
  rounds exact "$first_files" reset_empty talven talven-exact rsync-H+sync talven-nosync \
    talven-exact-nosync rsync-H || true
  check_exact_mirrors exact reset_empty
  discard_tree "$dst"
  empty_trash
}

# Makes once, untimed, the mirror talven makes without --exact (DEFAULT) and the
# exact one (EXACT) of src, for the no-op case CASE.
make_noop_mirrors() {
  local case_name=$1 tool
  for tool in talven talven-exact; do
    dst=$2
    [ "$tool" = talven-exact ] && dst=$3
    [ -d "$dst" ] && continue
    mkdir "$dst"
    tool_command "$tool"
    timeout "$timeout_s" "${cmd[@]}" >"$scratch/check.log" 2>&1 ||
      fail_check "$case_name" "$tool could not make its mirror (see $scratch/check.log)"
  done
}

# Nothing to do on the tree of links: talven on the mirror it makes without
# --exact, talven --exact and rsync -aH on the exact mirror, and the listing floor
# over the source and the exact mirror.
case_exact-noop() {
  ensure_links_tree
  src=$links/src
  local default_mirror=$links/mirror-default exact_mirror=$links/mirror-exact
  make_noop_mirrors exact-noop "$default_mirror" "$exact_mirror"
  dst_of=([talven]=$default_mirror [talven-nosync]=$default_mirror)
  dst=$exact_mirror
  echo "Exact, no-op: $first_files names, nothing changed"
  rounds exact-noop "$first_files" reset_none talven talven-exact talven-nosync \
    talven-exact-nosync rsync-H floor || true
  dst_of=()
  check_listing exact-noop default "$default_mirror" "a no-op changed the mirror without --exact"
  check_listing exact-noop exact "$exact_mirror" "a no-op changed the exact mirror"
  local log
  for log in "$scratch"/logs/exact-noop-*-talven*.log; do
    grep -q "Nothing to do" "$log" || fail_check exact-noop "$log: the run had something to do"
  done
}

# The tree of the metadata cases: the 50,000 files, a tenth of them with an
# extended attribute and a mode of their own.
ensure_attributes_tree() {
  attributes=$scratch/attributes
  [ -d "$attributes/src" ] && return
  echo "Making $first_files files of 0..$max_size bytes in $first_folders folders," \
    "10% with an extended attribute and a mode of their own ..."
  make_tree tree "$attributes/src" --files "$first_files" --folders "$first_folders" \
    --max-size "$max_size" --xattrs 10
}

# Checks that talven --exact and rsync -aHAX made dst from its reset state with the
# source's modes, owners and extended attributes (untimed).
check_metadata_mirrors() {
  local case_name=$1 reset=$2 tool before=$checks_failed differences
  for tool in talven-exact rsync-AX; do
    "$reset"
    tool_command "$tool"
    if ! timeout "$timeout_s" "${cmd[@]}" >"$scratch/check.log" 2>&1; then
      fail_check "$case_name" "$tool failed (see $scratch/check.log)"
      continue
    fi
    differences=$(diff <(python3 "$here/tree_listing.py" --as metadata "$src") \
      <(python3 "$here/tree_listing.py" --as metadata "$dst") | head -n 10 || true)
    [ -z "$differences" ] || fail_check "$case_name" "the mirror of $tool differs: $differences"
  done
  [ "$checks_failed" != "$before" ] ||
    echo "  check $case_name: the mirrors of talven --exact and rsync -aHAX hold the metadata"
}

# The first mirror of the tree with attributes: talven without and with --exact
# against rsync -aHAX --numeric-ids, in the same rounds.
case_exact-meta() {
  ensure_attributes_tree
  src=$attributes/src dst=$attributes/dst
  echo "Exact with metadata, first mirror: $first_files files into an empty destination"
  settle
  rounds exact-meta "$first_files" reset_empty talven talven-exact rsync-AX+sync talven-nosync \
    talven-exact-nosync rsync-AX || true
  check_metadata_mirrors exact-meta reset_empty
  discard_tree "$dst"
  empty_trash
}

# Nothing to do on the tree with attributes: talven on its own mirror, talven
# --exact and rsync -aHAX on the exact one.
case_exact-meta-noop() {
  ensure_attributes_tree
  src=$attributes/src
  local default_mirror=$attributes/mirror-default exact_mirror=$attributes/mirror-exact
  make_noop_mirrors exact-meta-noop "$default_mirror" "$exact_mirror"
  dst_of=([talven]=$default_mirror [talven-nosync]=$default_mirror)
  dst=$exact_mirror
  echo "Exact with metadata, no-op: $first_files files, nothing changed"
  rounds exact-meta-noop "$first_files" reset_none talven talven-exact talven-nosync \
    talven-exact-nosync rsync-AX || true
  dst_of=()
  local log
  for log in "$scratch"/logs/exact-meta-noop-*-talven*.log; do
    grep -q "Nothing to do" "$log" || fail_check exact-meta-noop "$log: the run had something to do"
  done
}
