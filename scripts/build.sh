#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Configures and builds into a build folder (default: build).
#   scripts/build.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
