#!/usr/bin/env bash
# Runs the whole test suite of a build folder (default: build), building it first if needed.
#   scripts/test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
[ -f "$dir/CMakeCache.txt" ] || scripts/build.sh "$dir"
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 300
