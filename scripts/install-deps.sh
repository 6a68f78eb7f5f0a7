#!/usr/bin/env bash
# Installs what building, testing and packaging talven needs on a fresh Debian machine
# (packaging: dpkg-dev and file for CPack's shlibdeps, lintian, mandoc and man-db for
# the manual page, icoutils to read talven.exe's version resource, unzip; tmux for
# the tests of the progress line in a real terminal).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages="cmake ninja-build g++ libgtest-dev g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 util-linux e2fsprogs xfsprogs exfatprogs exfat-fuse clang libclang-rt-14-dev dpkg-dev file lintian mandoc groff-base man-db icoutils unzip tmux"
missing=""
for package in $packages; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
  apt-get update -qq
  apt-get install -y -qq $missing
fi
