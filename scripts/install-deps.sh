#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Installs the Debian packages the build, the tests and the demo need (man-db
# for reading the manual pages with man -l). Safe to run again: it installs
# only what is missing and says what that is. Run it as root, or as a user
# with sudo.
set -euo pipefail
packages=(cmake g++ make pkg-config libjson-c-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev util-linux clang clang-format clang-tidy socat busybox man-db)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi
echo "install-deps: installing ${missing[*]} (with what they depend on)"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: not root and no sudo here: run this script as root" >&2
    exit 1
  fi
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: apt-get update"
"${sudo[@]}" apt-get update -q
# apt's own lines (Get:, Unpacking, Setting up) show the progress.
"${sudo[@]}" apt-get install -y -q "${missing[@]}"
echo "install-deps: done"
