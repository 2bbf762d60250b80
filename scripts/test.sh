#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Runs the test suite of a build folder (default: build), building it first if
# needed; with a label, only the tests of that kind: unit (seconds), e2e (the
# real programs in the sandbox) or soak.
#   scripts/test.sh [unit|e2e|soak] [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
label=
for arg in "$@"; do
	case $arg in
	unit | e2e | soak) label=$arg ;;
	*) dir=$arg ;;
	esac
done
[ -f "$dir/CMakeCache.txt" ] || scripts/build.sh "$dir"
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 300 ${label:+-L "^$label\$"}
