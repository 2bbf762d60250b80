#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# A newcomer's first command: install the packages, build, and run the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
if [ -x scripts/demo.sh ]; then
  scripts/demo.sh build
fi
