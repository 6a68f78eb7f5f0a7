#!/usr/bin/env bash
# Makes both packages from fresh build folders and checks them:
#   build/package/talven_<version>-1_amd64.deb     (CPack DEB, native Release build)
#   build/package/talven-<version>-windows-x64.zip (CPack ZIP, mingw-w64 Release build)
# The checks: lintian reports no error on the .deb; the .deb unpacked into a scratch
# root (dpkg -x) holds the program, its manual page (rendered with man -l) and its
# documents, and its talven mirrors a small tree; the zip holds talven.exe, README,
# LICENSE and the manual page as HTML, its talven.exe carries its manifest and its
# version resource (read back with wrestool) and mirrors a small tree under Wine.
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
rm -rf "$out" && mkdir -p "$out" || fail "cannot make $out"

# Configures, builds and packs one tree: folder, generator, cmake arguments.
pack() {
  local dir=$1 cpack_generator=$2
  shift 2
  cmake -S "$top" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTALVEN_TESTS=OFF "$@" \
    >"$dir.log" 2>&1 && cmake --build "$dir" -j 2 >>"$dir.log" 2>&1 &&
    (cd "$dir" && cpack -G "$cpack_generator" -B "$out") >>"$dir.log" 2>&1 ||
    { tail -n 40 "$dir.log"; fail "building or packing in $dir failed"; }
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
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
CXXFLAGS=$flags LDFLAGS=$(dpkg-buildflags --get LDFLAGS) \
  pack "$out/deb" DEB -DTALVEN_DEBIAN_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr
[ -f "$out/$deb" ] || fail "no $deb was made: $(ls "$out")"
dpkg-deb -f "$out/$deb" Section | grep -qx utils || fail "$deb: the section is not utils"
dpkg-deb -f "$out/$deb" Depends | grep -q 'libc6' || fail "$deb: no dependency on libc6 was found"
lintian --fail-on error --tag-display-limit 0 "$out/$deb" >"$out/lintian.log" 2>&1
lintian_status=$?
cat "$out/lintian.log"
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors on $deb"
root=$out/deb-root
dpkg -x "$out/$deb" "$root" || fail "dpkg -x $deb failed"
for file in usr/bin/talven usr/share/man/man1/talven.1.gz usr/share/doc/talven/README.md \
  usr/share/doc/talven/copyright usr/share/doc/talven/changelog.Debian.gz; do
  [ -f "$root/$file" ] || fail "$deb lacks /$file"
done
page=$(MANWIDTH=80 man -l "$root/usr/share/man/man1/talven.1.gz" 2>&1) || fail "man -l failed: $page"
grep -q 'mirror one folder tree into another' <<<"$page" || fail "man -l rendered no NAME line"
grep -q 'EXIT STATUS' <<<"$page" || fail "man -l rendered no EXIT STATUS"
make_tree "$out/deb-trees"
output=$(cd "$out/deb-trees" && "$root/usr/bin/talven" dst src -l) || fail "the packaged talven failed: $output"
grep -q "^Talven Package v$version " <<<"$output" || fail "the packaged talven's banner: $output"
check_mirror "$out/deb-trees" "the packaged talven"
echo "package: $deb: lintian without error, man -l renders, its talven mirrors a small tree"

step "the Windows zip"
pack "$out/win" ZIP -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake"
[ -f "$out/$zip" ] || fail "no $zip was made: $(ls "$out")"
unzip -q "$out/$zip" -d "$out/zip" || fail "unzip $zip failed"
for file in talven.exe README.md LICENSE talven.1.html; do
  [ -f "$out/zip/$file" ] || fail "$zip lacks $file"
done
exe=$out/zip/talven.exe
x86_64-w64-mingw32-objdump -p "$exe" | grep -qi 'DLL Name: libstdc\|DLL Name: libgcc\|DLL Name: libwinpthread' &&
  fail "talven.exe needs a MinGW runtime DLL: it is not static"
wrestool -l "$exe" | grep -q -- '--type=24 ' || fail "talven.exe has no manifest"
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
echo "package: both packages made and checked in $((SECONDS - started)) s: $out/$deb, $out/$zip"
