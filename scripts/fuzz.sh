#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the libFuzzer targets with clang and runs each for a while.
#   scripts/fuzz.sh [seconds per target] [target...]
# Targets: blobmsg ubus uci rgmii (default: all). New inputs that add coverage
# are merged into fuzz/corpus/<target>/, and any crash input is copied there
# too, so the test suite replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(blobmsg ubus uci rgmii)
dir=${FUZZ_BUILD_DIR:-build-fuzz}
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer"
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVEL_FUZZ=ON -DRAVEL_TESTS=OFF -DRAVEL_BENCH=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
status=0
for t in "${targets[@]}"; do
  bin=$(find "$dir" -type f -name "fuzz_$t" -perm -u+x | head -n 1)
  kept=fuzz/corpus/$t
  work=$(mktemp -d)
  mkdir -p "$kept"
  echo "== fuzz_$t for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/" "$work" "$kept" 2>"$work.log"; then
    status=1
    echo "fuzz_$t found a problem:"; tail -n 40 "$work.log"
    for crash in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
      [ -e "$crash" ] && cp "$crash" "$kept/"
    done
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb|^#[0-9]+ +DONE" "$work.log" || true
  "$bin" -merge=1 "$kept" "$work" >/dev/null 2>&1 || true
  echo "corpus of $t: $(ls "$kept" | wc -l) inputs"
  rm -rf "$work" "$work.log"
done
exit $status
