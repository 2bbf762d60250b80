#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds and runs the soak and fault campaign against the real programs in a
# private sandbox: 100,000 at_cmd calls from 4 callers by default, with link
# faults and two bus daemon restarts. Extra arguments go to the driver
# (see ravel_soak --help).
#   scripts/soak.sh [build-dir] [calls] [driver options...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
calls=${2:-100000}
shift $(( $# > 2 ? 2 : $# ))
[ -f "$dir/CMakeCache.txt" ] || cmake -S . -B "$dir"
cmake --build "$dir" -j"$(nproc)" --target ravel_soak
exec "$dir/tests/soak/ravel_soak" --calls "$calls" "$@"
