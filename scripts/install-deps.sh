#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Installs the Debian packages the build, the tests and the demo need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
packages=(cmake g++ make pkg-config libjson-c-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev util-linux clang clang-format clang-tidy socat busybox)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
