#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Checks the formatting of every C and C++ source and runs clang-tidy over the
# programs and the platform libraries, with the compile commands of a build folder.
#   scripts/lint.sh [build-dir]        (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
mapfile -t sources < <(git ls-files -- '*.c' '*.cc' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "format: ok (${#sources[@]} files)"
[ -f "$dir/compile_commands.json" ] || cmake -S . -B "$dir" >/dev/null
top=$(pwd)
out=$(run-clang-tidy -p "$dir" -quiet "$top/(common|link|daemon|cli|platform)/" 2>&1) || {
	printf '%s\n' "$out" | grep -E -A3 'warning:|error:' || printf '%s\n' "$out"
	exit 1
}
echo "tidy: ok"
