#!/usr/bin/env bash
# Installs what building and testing talven needs on a fresh Debian machine.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages="cmake ninja-build g++ libgtest-dev g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 util-linux e2fsprogs xfsprogs exfatprogs exfat-fuse clang libclang-rt-14-dev"
missing=""
for package in $packages; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
  apt-get update -qq
  apt-get install -y -qq $missing
fi
