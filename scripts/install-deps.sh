#!/usr/bin/env bash
# Installs what is missing on a Debian machine:
#   scripts/install-deps.sh          what a native build of talven needs: a C++
#                                    compiler, CMake and Ninja
#   scripts/install-deps.sh --test   that, and what the test command (scripts/test.sh)
#                                    needs besides
#   scripts/install-deps.sh --check  installs nothing: names what a native build
#                                    lacks, exits 1 when it lacks something
# A user who is not root installs through sudo; nothing is asked for when nothing is
# missing.
# The tests need GoogleTest; the Windows build and its tests mingw-w64 and Wine; the
# mount tests util-linux, e2fsprogs, xfsprogs, exFAT's tools and its FUSE driver;
# the fuzz targets clang and its runtime; the packages dpkg-dev and file (CPack's
# shlibdeps), lintian, mandoc and man-db for the manual page, icoutils to read
# talven.exe's resources, unzip and git (the last commit's time); the progress line's
# and the completion's tests tmux and bash-completion; the comparison of --exact with
# rsync (scripts/exact-vs-rsync.py) rsync with ACLs and xattrs, and python3 (ACLs are
# written as their raw values: no acl package).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
build="cmake ninja-build g++"
test="libgtest-dev g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 util-linux e2fsprogs xfsprogs exfatprogs exfat-fuse clang libclang-rt-14-dev dpkg-dev file lintian mandoc groff-base man-db icoutils unzip git tmux bash-completion rsync python3"
case "${1:-}" in
  "" | --check) packages=$build ;;
  --test) packages="$build $test" ;;
  *)
    echo "usage: scripts/install-deps.sh [--test | --check]" >&2
    exit 2
    ;;
esac
missing=""
for package in $packages; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ "${1:-}" = --check ]; then
  [ -z "$missing" ] || { echo "install-deps: a build lacks$missing" >&2; exit 1; }
  exit 0
fi
[ -n "$missing" ] || exit 0
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || { echo "install-deps: installing$missing needs root (or sudo)" >&2; exit 1; }
  as_root=(sudo --preserve-env=DEBIAN_FRONTEND)
fi
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq $missing
