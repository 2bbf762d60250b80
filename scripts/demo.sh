#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Runs the demo: bus daemon, modem simulator, ravel_tools and ravel_tools_cli
# in a private sandbox. Needs root or unprivileged user namespaces.
#   scripts/demo.sh [build-dir]
# Exit status 77 when no sandbox can be made here (the demo says why).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
[ -x "$dir/tests/demo/ravel_demo" ] || scripts/build.sh "$dir"
exec "$dir/tests/demo/ravel_demo"
