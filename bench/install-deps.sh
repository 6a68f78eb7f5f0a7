#!/usr/bin/env bash
# Installs what bench/run.sh needs on a Debian machine, beyond what building
# talven needs (scripts/install-deps.sh): the peers it times and the tools that
# time them and draw the chart. The tests do not need any of it.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages="rsync rclone coreutils findutils diffutils mawk python3 gnuplot-nox time util-linux procps"
missing=""
for package in $packages; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
  apt-get update -qq
  apt-get install -y -qq $missing
fi
