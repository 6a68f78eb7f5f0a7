#!/usr/bin/env bash
# Makes both packages from fresh build folders and checks them:
#   build/package/talven_<version>-1_amd64.deb     (CPack DEB, native Release build)
#   build/package/talven-<version>-windows-x64.zip (CPack ZIP, mingw-w64 Release build)
# The checks: lintian reports no error and no warning on the .deb; the .deb unpacked
# into a scratch root (dpkg -x) holds the program, its manual page (rendered with
# man -l), its documents and its bash completion (which must complete the options,
# scripts/completion-test.sh), and its talven mirrors a small tree; the zip unpacks
# into one folder, talven-<version>-windows-x64/, holding talven.exe, README, LICENSE
# and the manual page as HTML; its talven.exe carries its manifest (with the
# supported versions of Windows) and its version resource (read back with wrestool)
# and mirrors a small tree under Wine. Each package is made twice, from two build
# folders, and the two must be the same file byte for byte: every member carries the
# last commit's time (SOURCE_DATE_EPOCH, unless the caller sets it).
#   scripts/package.sh            (TALVEN_PACKAGE_DIR chooses another folder)
# Wine uses the caller's WINEPREFIX, or build/wineprefix. Exits non-zero on failure.
set -uo pipefail

cd "$(dirname "$0")/.."
top=$PWD
out=$top/${TALVEN_PACKAGE_DIR:-build/package}
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
fail() {
  echo "package: $*" >&2
  exit 1
}
step() { echo "==> package: $*"; }

version=$(sed -nE 's/^project\(talven VERSION ([0-9.]+) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"
deb=talven_${version}-1_amd64.deb
zip=talven-${version}-windows-x64.zip
rm -rf "$out" && mkdir -p "$out/again" || fail "cannot make $out"
# Every member of both packages carries this time, not the time of the build.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct 2>/dev/null) ||
    fail "no SOURCE_DATE_EPOCH given and no commit to take it from"
fi
export SOURCE_DATE_EPOCH
# A zip keeps local times without a zone: packed in UTC, its times do not depend on
# the zone of the machine that packed it.
export TZ=UTC0

# Configures, builds and packs one tree: folder, folder of the package, generator,
# cmake arguments.
pack() {
  local dir=$1 package_dir=$2 cpack_generator=$3
  shift 3
  # The build folder's path is written into the debugging data that the build-id
  # sums, and so into the stripped program: it is written under one name.
  CXXFLAGS="${CXXFLAGS:-} -ffile-prefix-map=$dir=build" \
    cmake -S "$top" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTALVEN_TESTS=OFF "$@" \
    >"$dir.log" 2>&1 && cmake --build "$dir" -j 2 >>"$dir.log" 2>&1 &&
    (cd "$dir" && cpack -G "$cpack_generator" -B "$package_dir") >>"$dir.log" 2>&1 ||
    { tail -n 40 "$dir.log"; fail "building or packing in $dir failed"; }
}

# Makes a package a second time, from a build folder of another name, and fails
# unless both are the same bytes: name, generator, cmake arguments.
check_reproducible() {
  local name=$1 cpack_generator=$2
  shift 2
  pack "$out/again/build-$cpack_generator" "$out/again" "$cpack_generator" "$@"
  [ -f "$out/again/$name" ] || fail "the second build made no $name: $(ls "$out/again")"
  cmp -s "$out/$name" "$out/again/$name" ||
    fail "$name differs between two builds of the same sources (second in $out/again)"
  echo "package: $name: two builds from two folders give the same bytes" \
    "($(sha256sum <"$out/$name" | cut -c1-16)...)"
}

# A small tree to mirror, and the check of a mirror made of it: every file's path,
# size, bytes and last-write time, and the stale file deleted. The times are whole
# 100-ns units, the finest a mirror keeps.
make_tree() {
  local root=$1
  mkdir -p "$root/src/sub" "$root/dst" || fail "cannot make a tree in $root"
  printf 'alpha' >"$root/src/a.txt" && printf 'beta beta' >"$root/src/sub/b.txt" &&
    head -c 100000 /dev/urandom >"$root/src/sub/large.bin" && printf 'old' >"$root/dst/stale.txt" &&
    touch -d @1600000000.1234567 "$root/src/a.txt" && touch -d @1600086400 "$root/src/sub/b.txt" &&
    touch -d @1600172800 "$root/src/sub/large.bin" ||
    fail "cannot fill the tree in $root"
}
listing() { (cd "$1" && find . -type f -printf '%P %s %T@\n' | LC_ALL=C sort); }
check_mirror() {
  local root=$1 what=$2
  [ "$(listing "$root/src")" == "$(listing "$root/dst")" ] || fail "$what: names, sizes or times differ"
  diff -r "$root/src" "$root/dst" >/dev/null || fail "$what: contents differ"
}

started=$SECONDS
step "the Debian package"
# Debian's flags with every hardening feature, bind-now among them (-Wl,-z,now): the
# dynamic links are all made at start, and the table of them is then read-only.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
deb_cmake=(-DTALVEN_DEBIAN_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr)
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" &&
  LDFLAGS=$(dpkg-buildflags --get LDFLAGS) || fail "dpkg-buildflags failed"
export CXXFLAGS LDFLAGS
pack "$out/deb" "$out" DEB "${deb_cmake[@]}"
[ -f "$out/$deb" ] || fail "no $deb was made: $(ls "$out")"
dpkg-deb -f "$out/$deb" Section | grep -qx utils || fail "$deb: the section is not utils"
dpkg-deb -f "$out/$deb" Depends | grep -q 'libc6' || fail "$deb: no dependency on libc6 was found"
dpkg-deb -f "$out/$deb" Maintainer | grep -q 'example\.' && fail "$deb: the maintainer is a placeholder"
# Informational tags are shown too; the ones a sound fix removed must stay away.
lintian --fail-on error,warning --display-info --tag-display-limit 0 "$out/$deb" >"$out/lintian.log" 2>&1
lintian_status=$?
cat "$out/lintian.log"
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors or warnings on $deb"
grep -E 'hardening-no-bindnow|binary-has-unneeded-section' "$out/lintian.log" &&
  fail "lintian finds the program without bind-now or not stripped of its notes"
root=$out/deb-root
dpkg -x "$out/$deb" "$root" || fail "dpkg -x $deb failed"
for file in usr/bin/talven usr/share/man/man1/talven.1.gz usr/share/doc/talven/README.md \
  usr/share/doc/talven/copyright usr/share/doc/talven/changelog.Debian.gz \
  usr/share/bash-completion/completions/talven usr/share/lintian/overrides/talven; do
  [ -f "$root/$file" ] || fail "$deb lacks /$file"
done
# Member times: every file and folder, and the control files, carry SOURCE_DATE_EPOCH.
epoch_time=$(date -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%dT%H:%M:%S')
other_times=$({ dpkg-deb --fsys-tarfile "$out/$deb" && dpkg-deb --ctrl-tarfile "$out/$deb"; } |
  tar -tv --full-time | awk '{ print $4 "T" $5 }' | sort -u | grep -vx "$epoch_time")
[ -z "$other_times" ] || fail "$deb has members of other times than the last commit's: $other_times"
scripts/completion-test.sh "$root/usr/share/bash-completion/completions/talven" \
  "$root/usr/bin/talven" "$out/completion" || fail "the packaged bash completion fails its test"
page=$(MANWIDTH=80 man -l "$root/usr/share/man/man1/talven.1.gz" 2>&1) || fail "man -l failed: $page"
grep -q 'mirror one folder tree into another' <<<"$page" || fail "man -l rendered no NAME line"
grep -q 'EXIT STATUS' <<<"$page" || fail "man -l rendered no EXIT STATUS"
make_tree "$out/deb-trees"
output=$(cd "$out/deb-trees" && "$root/usr/bin/talven" dst src -l) || fail "the packaged talven failed: $output"
grep -q "^Talven Package v$version " <<<"$output" || fail "the packaged talven's banner: $output"
check_mirror "$out/deb-trees" "the packaged talven"
echo "package: $deb: lintian without error or warning, man -l renders, its talven mirrors a small tree"
check_reproducible "$deb" DEB "${deb_cmake[@]}"
unset CXXFLAGS LDFLAGS DEB_BUILD_MAINT_OPTIONS

step "the Windows zip"
win_cmake=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake")
pack "$out/win" "$out" ZIP "${win_cmake[@]}"
[ -f "$out/$zip" ] || fail "no $zip was made: $(ls "$out")"
unzip -q "$out/$zip" -d "$out/zip" || fail "unzip $zip failed"
folder=talven-${version}-windows-x64
[ "$(ls -A "$out/zip")" == "$folder" ] || fail "$zip does not unpack into $folder/ alone: $(ls -A "$out/zip")"
for file in talven.exe README.md LICENSE talven.1.html; do
  [ -f "$out/zip/$folder/$file" ] || fail "$zip lacks $folder/$file"
done
stamps=$(zipinfo -T "$out/$zip" | awk '/^[-d]/ { print $7 }' | sort -u)
[ "$stamps" == "$(date -d "@$SOURCE_DATE_EPOCH" '+%Y%m%d.%H%M%S')" ] ||
  fail "$zip has members of other times than the last commit's: $stamps"
exe=$out/zip/$folder/talven.exe
x86_64-w64-mingw32-objdump -p "$exe" | grep -qi 'DLL Name: libstdc\|DLL Name: libgcc\|DLL Name: libwinpthread' &&
  fail "talven.exe needs a MinGW runtime DLL: it is not static"
wrestool -l "$exe" | grep -q -- '--type=24 ' || fail "talven.exe has no manifest"
# Windows 7, 8, 8.1 and 10 or 11: the versions the program declares it was made for.
[ "$(wrestool -x --raw -t 24 "$exe" | grep -c '<supportedOS Id=')" -eq 4 ] ||
  fail "talven.exe's manifest does not name the four supported versions of Windows"
resource=$(wrestool -x --raw -t 16 "$exe" | iconv -f UTF-16LE -t UTF-8 -c | tr -c '[:print:]' '\n' |
  grep -v '^$')
for expected in "ProductName" "Talven" "ProductVersion" "$version" "FileDescription" \
  "Talven folder mirror" "LegalCopyright" "The Talven developers"; do
  grep -q "$expected" <<<"$resource" || fail "talven.exe's version resource lacks $expected"
done
echo "package: talven.exe's version resource: $(grep -A1 -x ProductName <<<"$resource" | tail -1)" \
  "$(grep -A1 -x ProductVersion <<<"$resource" | tail -1), $(grep -A1 -x LegalCopyright <<<"$resource" | tail -1)"
if command -v wine >/dev/null 2>&1; then
  export WINEPREFIX=${WINEPREFIX:-$top/build/wineprefix} WINEDEBUG=-all LANG=C.UTF-8
  unset LC_ALL
  make_tree "$out/zip-trees"
  output=$(cd "$out/zip-trees" && wine "$exe" dst src -l 2>/dev/null) ||
    fail "the zip's talven.exe failed under Wine: $output"
  grep -q "^Talven Package v$version " <<<"$output" || fail "the zip's talven.exe's banner: $output"
  check_mirror "$out/zip-trees" "the zip's talven.exe"
  echo "package: $zip: its talven.exe mirrors a small tree under Wine"
else
  fail "wine is missing: the zip's talven.exe cannot be tried"
fi
check_reproducible "$zip" ZIP "${win_cmake[@]}"
echo "package: both packages made and checked in $((SECONDS - started)) s: $out/$deb, $out/$zip"
