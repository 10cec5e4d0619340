#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing. Run as root.
#   scripts/setup.sh --browser   also headless Chromium, for the browser test of the HTML report
set -euo pipefail
pkgs=(g++ cmake ninja-build libboost-math-dev nlohmann-json3-dev libcli11-dev libfmt-dev
      libgtest-dev googletest libeigen3-dev clang libclang-rt-14-dev
      libopenmpi-dev openmpi-bin)
if [ "${1:-}" = "--browser" ]; then
  pkgs+=(chromium chromium-driver)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
