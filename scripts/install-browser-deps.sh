#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Installs what the browser test of the LuCI views needs: Debian's Chromium
# and the playwright-core driver from npm (pinned in tests/luci/package.json,
# installed into tests/luci/node_modules). No browser download of its own:
# the driver runs /usr/bin/chromium. The pin is the newest release that still
# runs on bookworm's Node.js 18; later ones need Node.js 20.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
need=()
[ -x /usr/bin/chromium ] || need+=(chromium)
command -v npm > /dev/null || need+=(nodejs npm)
if [ ${#need[@]} -gt 0 ]; then
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
# playwright-core downloads nothing when installed; the lock file pins it.
if [ ! -d tests/luci/node_modules/playwright-core ]; then
  (cd tests/luci && npm ci --no-audit --no-fund --loglevel=error)
fi
