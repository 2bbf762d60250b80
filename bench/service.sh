#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds an optimised tree without sanitizers and runs the service bench:
# call latency beside the socket floor, the client as a process, the daemon's
# memory and idle CPU (about two minutes), then a caller calling now and then
# with the module answering and unreachable (about five minutes).
#   bench/service.sh [build-dir] [service_bench arguments...]
# e.g. bench/service.sh /tmp/build-rel latency --calls 50000
#      bench/service.sh caller                 (only the caller now and then)
#      bench/service.sh caller --caller-calls 400 --seed 7
# The machine's load matters: the figures are printed with it, run again when
# it is high.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
dir=${TMPDIR:-/tmp}/ravel-bench-service
case "${1:-}" in
'' | all | memory | latency | process | idle | caller | sh | -*) ;;
*)
	dir=$1
	shift
	;;
esac

cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DRAVEL_SANITIZE=OFF \
	-DRAVEL_BENCH=ON -DRAVEL_TOOLS=ON -DRAVEL_TESTS=ON >/dev/null
cmake --build "$dir" -j2 --target service_bench >/dev/null

echo "service bench ($(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo '?'), Release, $(nproc) cores)"
echo "load before:$(uptime | sed 's/.*load average:/ /')"
status=0
"$dir/bench/service/service_bench" "$@" || status=$?
echo "load after:$(uptime | sed 's/.*load average:/ /')"
exit $status
