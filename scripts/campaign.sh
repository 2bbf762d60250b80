#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds and runs the wrong-answer campaign: slow, lossy and out-of-step
# modules against the real programs in a private sandbox, one row per
# scenario (calls, right, wrong reported as 0, cut reported as 0, codes).
#   scripts/campaign.sh [build-dir] [driver options...]
# Driver options: --seconds N (per scenario, default 10), --only NAME,
# --list, --programs DIR (the daemon and client of another build folder,
# e.g. an older commit's, for before-and-after figures), --vanish (instead, a
# module that goes silent with its link open: time until the daemon notices
# while idle over TCP and UDP, and a UDP outage under calls; --cap N and
# --outage N set their lengths in seconds).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
	dir=$1
	shift
fi
[ -f "$dir/CMakeCache.txt" ] || cmake -S . -B "$dir" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target ravel_campaign >/dev/null
exec "$dir/tests/campaign/ravel_campaign" "$@"
