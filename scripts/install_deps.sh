#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the benchmarks need.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config zlib1g-dev libdeflate-dev libzstd-dev libstb-dev liburing-dev
          libgtest-dev libgmock-dev libbenchmark-dev python3 diffutils zip unzip pigz
          libnvtt-bin imagemagick python3-pil  # independent DDS readers for the texture tests
          dpkg-dev file                        # cpack: the Debian package's dependencies
          tmux                                 # the progress line is tested in a real terminal
          clang libclang-rt-14-dev)            # libFuzzer and its sanitizers (scripts/fuzz.sh)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
