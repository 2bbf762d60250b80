#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Footprint on flash: builds ravel_tools and ravel_tools_cli as a router
# package would (against installed platform libraries, RAVEL_PLATFORM=system,
# -Os, one section per function and object, unused sections dropped,
# stripped), prints the sizes and checks the budget.
# What counts is code and data: the loadable sections as size(1) sums them,
# text (code, read-only data, symbol and relocation tables for the loader,
# unwind tables) plus data (initialised writable data, GOT); bss (zeroed at
# start, not stored) is shown beside it. The file size is printed for
# reference only: it includes the padding that aligns the segments to the
# target's largest page (64 KiB on arm64), which is not code. Budgets:
#                    this machine  mips   armhf, arm64
#   ravel_tools      100 KiB       64 KiB 100 KiB
#   ravel_tools_cli   40 KiB       24 KiB  40 KiB
#   neither needs libstdc++
# The platform libraries are ours (bundled), built the same way and installed
# into a prefix; their sizes are printed for reference.
#
#   bench/footprint.sh [mips|armhf|arm64] [work folder]
# A target CPU cross-builds with cmake/toolchains/<target>.cmake; its json-c
# comes from multiarch or, for mips, from the prefix scripts/cross.sh mips
# builds (RAVEL_CROSS_CACHE, default /opt/ravel-cross). Without a work folder
# a temporary one is used and removed afterwards.
# Exit status 1 when a budget is exceeded.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

target="" tools="" cross=() budget_daemon=100 budget_cli=40
case "${1:-}" in
  mips|armhf|arm64)
    target=$1; shift
    triple=$(sed -n 's/^set(RAVEL_CROSS_TRIPLE \(.*\))$/\1/p' "$src/cmake/toolchains/$target.cmake")
    tools=$triple-
    cross=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/$target.cmake")
    if [ "$target" = mips ]; then
      budget_daemon=64 budget_cli=24
      deps=${RAVEL_CROSS_CACHE:-/opt/ravel-cross}/mips
      [ -f "$deps/.built" ] || { echo "no json-c for mips in $deps: run scripts/cross.sh mips first" >&2; exit 1; }
      cross+=(-DRAVEL_CROSS_PREFIX="$deps")
    fi
    ;;
esac

if [ $# -ge 1 ]; then
  work=$1
  mkdir -p "$work"
  work=$(cd "$work" && pwd)
else
  work=$(mktemp -d /tmp/ravel-footprint.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
prefix=$work/prefix
small=("${cross[@]}" -DCMAKE_BUILD_TYPE=MinSizeRel
       -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections"
       -DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections"
       -DCMAKE_EXE_LINKER_FLAGS="-Wl,--gc-sections"
       -DCMAKE_SHARED_LINKER_FLAGS="-Wl,--gc-sections"
       -DRAVEL_TESTS=OFF -DRAVEL_BENCH=OFF -DRAVEL_TOOLS=OFF)

fail() { echo "FAIL: $*" >&2; exit 1; }
quiet() { local log=$1; shift; "$@" > "$log" 2>&1 || { cat "$log"; fail "$*"; }; }

quiet "$work/libs.log" cmake -S "$src" -B "$work/libs" -DRAVEL_PLATFORM=bundled "${small[@]}" \
  -DCMAKE_INSTALL_PREFIX="$prefix"
quiet "$work/libs-build.log" cmake --build "$work/libs" -j"$jobs" --target ubox blobmsg_json ubus uci
quiet "$work/install.log" cmake --install "$work/libs/platform" --strip

quiet "$work/progs.log" cmake -S "$src" -B "$work/progs" -DRAVEL_PLATFORM=system \
  -DCMAKE_PREFIX_PATH="$prefix" "${small[@]}"
quiet "$work/progs-build.log" cmake --build "$work/progs" -j"$jobs" --target ravel_tools ravel_tools_cli

mkdir -p "$work/stripped"
status=0
echo "code+data = text + data of the loadable sections (as size(1) counts them), the budgeted figure;"
echo "file = the stripped file, alignment padding included (reference only)"
printf '%-26s %8s %7s %7s %9s %8s %9s %7s  %s\n' file text data bss code+data KiB file budget result
# row <file> <budget KiB or -> <label>
row() {
  local text data bss bytes kib file verdict=""
  read -r text data bss _ < <("${tools}size" -B "$1" | sed -n 2p)
  bytes=$((text + data))
  kib=$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1024 }')
  file=$(stat -c %s "$1")
  if [ "$2" != - ]; then
    if [ "$bytes" -le $(($2 * 1024)) ]; then verdict=ok; else verdict=OVER; status=1; fi
  fi
  printf '%-26s %8s %7s %7s %9s %8s %9s %7s  %s\n' "$3" "$text" "$data" "$bss" "$bytes" "$kib" "$file" "$2" "$verdict"
}
for p in daemon/ravel_tools:$budget_daemon cli/ravel_tools_cli:$budget_cli; do
  path=${p%%:*} budget=${p##*:} name=$(basename "${p%%:*}")
  "${tools}strip" --strip-all -o "$work/stripped/$name" "$work/progs/$path"
  row "$work/stripped/$name" "$budget" "$name"
done
for lib in libubox libblobmsg_json libubus libuci; do
  row "$(readlink -f "$prefix/lib/$lib.so")" - "$lib.so (ours)"
done

# ldd runs the program's loader, so on another CPU the needed libraries are
# read from the file.
for name in ravel_tools ravel_tools_cli; do
  needed=$(readelf -d "$work/stripped/$name" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  if [ -z "$target" ] && ldd "$work/stripped/$name" | grep -q libstdc++; then
    echo "$name loads libstdc++:"; ldd "$work/stripped/$name"; status=1
  elif echo "$needed" | grep -q libstdc++; then
    echo "$name needs libstdc++: $needed"; status=1
  else
    echo "$name: no libstdc++ ($needed)"
  fi
done

# Where the bytes are, for when a budget is missed.
for p in daemon/ravel_tools cli/ravel_tools_cli; do
  echo "largest symbols of $(basename "$p"):"
  "${tools}nm" --size-sort --radix=d -C "$work/progs/$p" | tail -n 8 | tac | sed 's/^/  /'
done

[ -n "$target" ] && echo "target: $target ($("${tools}gcc" -dumpmachine))"
[ "$status" -eq 0 ] && echo "footprint: within budget" || echo "footprint: over budget"
exit "$status"
