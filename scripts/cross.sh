#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Cross-builds the project for a router CPU and runs the whole test suite
# under qemu-user:
#   scripts/cross.sh ARCH [build-dir]
#     ARCH  mips   big-endian 32-bit MIPS (mips-linux-gnu)
#           armhf  32-bit ARMv7 (arm-linux-gnueabihf)
#           arm64  AArch64 (aarch64-linux-gnu)
#           musl   this machine's CPU with musl, OpenWrt's C library
#     build-dir defaults to build-ARCH.
#
# musl: the two programs and the platform libraries are built with Debian's
# musl-tools (json-c from Debian's source, cached as for mips) into build-dir;
# then the end-to-end tests of a glibc build run them. That build is
# RAVEL_HOST_BUILD when set (CI passes the one it has just tested), else
# build-dir/host; its tests find the programs through RAVEL_PROGRAM_DIR.
#
# It installs the cross compiler, qemu-user-static and binfmt-support from
# Debian, and json-c and GoogleTest for the target: through multiarch where
# Debian has the architecture, else (mips) built from Debian's source packages
# into a prefix under RAVEL_CROSS_CACHE (default /opt/ravel-cross), kept for
# the next run. The bus daemon and tool are also built for this machine (in
# build-dir/native) for the test that mixes byte orders. ctest starts the
# test programs through the emulator; the programs those start run through
# binfmt_misc, registered here. Benchmarks are not built. Needs root (or
# sudo) for apt and binfmt_misc. Any step that fails says which, and how.
set -Eeuo pipefail
trap 'echo "FAIL: scripts/cross.sh line $LINENO: $BASH_COMMAND (exit status $?)" >&2' ERR
src=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-}
case "$arch" in
  mips)  triple=mips-linux-gnu;      cpu=mips;    multiarch="" ;;
  armhf) triple=arm-linux-gnueabihf; cpu=arm;     multiarch=armhf ;;
  arm64) triple=aarch64-linux-gnu;   cpu=aarch64; multiarch=arm64 ;;
  musl)  triple="";                  cpu="";      multiarch="" ;;
  *) echo "usage: scripts/cross.sh mips|armhf|arm64|musl [build-dir]" >&2; exit 2 ;;
esac
build=$(realpath -m "${2:-$src/build-$arch}")
cache=${RAVEL_CROSS_CACHE:-/opt/ravel-cross}
jobs=$(nproc)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

step() { echo "== $(date +%T) $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
updated=""
apt_update() {
  [ -n "$updated" ] && return 0
  $sudo apt-get update -qq || fail "apt-get update"
  updated=1
}
apt_install() {
  local missing=() p out
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  apt_update
  out=$($sudo apt-get install -y -qq --no-remove "${missing[@]}" 2>&1) ||
    { echo "$out" >&2; fail "apt-get install ${missing[*]}"; }
}
# The first Debian archive in apt's sources, as "URI suite...": deb822
# (debian.sources) or one-line style (sources.list, as debootstrap writes it).
debian_archive() {
  local f=/etc/apt/sources.list.d/debian.sources uri="" suites=""
  if [ -f "$f" ]; then
    uri=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' "$f" | head -n1)
    suites=$(sed -n 's/^Suites: *//p' "$f" | head -n1)
  fi
  if [ -z "$uri" ] || [ -z "$suites" ]; then
    local lists=()
    [ -f /etc/apt/sources.list ] && lists+=(/etc/apt/sources.list)
    for f in /etc/apt/sources.list.d/*.list; do [ -f "$f" ] && lists+=("$f"); done
    if [ ${#lists[@]} -gt 0 ]; then
      # deb [options] URI suite components
      local line
      line=$(awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/ && i < NF) i++; i++ }
                                print $i, $(i + 1); exit }' "${lists[@]}")
      if [ -n "$line" ]; then uri=${line%% *}; suites=${line#* }; fi
    fi
  fi
  [ -n "$uri" ] || uri=http://deb.debian.org/debian
  [ -n "$suites" ] || suites=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "$uri $suites"
}
# Makes apt-get source work: adds the archive's sources when apt has none.
source_packages() {
  [ -n "$(apt-cache showsrc json-c 2>/dev/null)" ] && return 0
  local archive uri suites keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  archive=$(debian_archive)
  uri=${archive%% *}; suites=${archive#* }
  step "adding Debian's source packages ($uri $suites) to apt"
  {
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n' "$uri" "$suites"
    [ -f "$keyring" ] && printf 'Signed-By: %s\n' "$keyring"
  } | $sudo tee /etc/apt/sources.list.d/ravel-src.sources > /dev/null
  updated=""
  apt_update
  [ -n "$(apt-cache showsrc json-c 2>/dev/null)" ] ||
    fail "apt has no source package of json-c after adding $uri $suites"
}
# Builds Debian's source packages (cmake projects) with a toolchain file into
# a prefix, once per version: debian_build <name> <prefix> <toolchain> <key> <package>...
debian_build() {
  local name=$1 prefix=$2 toolchain=$3 key=$4 pkg dir
  shift 4
  [ "$(cat "$prefix/.built" 2>/dev/null)" = "$key" ] && return 0
  step "$* for $name from Debian's sources into $prefix"
  $sudo rm -rf "$prefix" "$cache/src/$name"
  $sudo mkdir -p "$prefix" "$cache/src/$name"
  (
    cd "$cache/src/$name"
    $sudo apt-get source -qq "$@" > sources.log 2>&1 || { cat sources.log; fail "apt-get source $*"; }
    for pkg in "$@"; do
      dir=$(find . -maxdepth 1 -type d -name "$pkg-*" | head -n1)
      [ -n "$dir" ] || fail "no source tree for $pkg"
      extra=()
      [ "$pkg" = json-c ] && extra=(-DBUILD_TESTING=OFF -DDISABLE_WERROR=ON)
      [ "$pkg" = googletest ] && extra=(-DBUILD_GMOCK=ON -DINSTALL_GTEST=ON)
      $sudo cmake -S "$dir" -B "$dir/build-$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
        "${extra[@]}" > "$pkg.log" 2>&1 || { cat "$pkg.log"; fail "configuring $pkg for $name"; }
      $sudo cmake --build "$dir/build-$name" -j"$jobs" >> "$pkg.log" 2>&1 ||
        { tail -n 60 "$pkg.log"; fail "building $pkg for $name"; }
      $sudo cmake --install "$dir/build-$name" >> "$pkg.log" 2>&1 ||
        { cat "$pkg.log"; fail "installing $pkg for $name"; }
    done
  ) || exit 1
  echo "$key" | $sudo tee "$prefix/.built" > /dev/null
}

step "packages for $arch"
"$src/scripts/install-deps.sh" || fail "scripts/install-deps.sh"
if [ "$arch" = musl ]; then
  apt_install musl-tools dpkg-dev
  triple=$(gcc -dumpmachine | sed 's/-gnu.*$/-musl/')
else
  apt_install "g++-$triple" qemu-user-static binfmt-support dpkg-dev
fi
if [ -n "$multiarch" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx "$multiarch"; then
    $sudo dpkg --add-architecture "$multiarch"
    updated=""
  fi
  apt_install "libjson-c-dev:$multiarch" "libgtest-dev:$multiarch" "libgmock-dev:$multiarch" \
    "libstdc++6:$multiarch"
fi

if [ -n "$cpu" ]; then
  step "binfmt_misc for qemu-$cpu"
  binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ]; then
    $sudo mount -t binfmt_misc binfmt_misc "$binfmt" ||
      fail "binfmt_misc cannot be mounted here; the programs the tests start cannot run"
  fi
  if ! grep -qx enabled "$binfmt/qemu-$cpu" 2>/dev/null; then
    $sudo update-binfmts --import "qemu-$cpu" > /dev/null 2>&1 || true
    $sudo update-binfmts --enable "qemu-$cpu" > /dev/null 2>&1 || true
  fi
  if ! grep -qx enabled "$binfmt/qemu-$cpu" 2>/dev/null; then
    # No update-binfmts: register qemu's own description by hand. It carries
    # the F flag (the interpreter is opened now, so it runs inside the tests'
    # mount namespaces too).
    conf=/usr/lib/binfmt.d/qemu-$cpu.conf
    [ -f "$conf" ] || fail "no binfmt description for qemu-$cpu"
    $sudo tee "$binfmt/register" < "$conf" > /dev/null
  fi
  grep -qx enabled "$binfmt/qemu-$cpu" || fail "qemu-$cpu is not registered with binfmt_misc"
  if [ "$arch" = mips ] && [ ! -e /etc/qemu-binfmt/mips ]; then
    # Programs started through binfmt_misc get no -L: qemu looks for the target's
    # loader and C library under /etc/qemu-binfmt/<cpu>.
    $sudo mkdir -p /etc/qemu-binfmt
    $sudo ln -s "/usr/$triple" /etc/qemu-binfmt/mips
  fi
fi
probe=$(mktemp -d /tmp/ravel-cross-probe.XXXXXX)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return 7; }\n' > "$probe/p.c"
if [ "$arch" = musl ]; then
  musl-gcc -o "$probe/p" "$probe/p.c" || fail "musl-gcc cannot build a program"
else
  "$triple-gcc" -o "$probe/p" "$probe/p.c" || fail "$triple-gcc cannot build a program"
fi
probe_status=0
"$probe/p" || probe_status=$?
[ "$probe_status" -eq 7 ] || fail "a $arch program does not run here (status $probe_status)"

toolchain=$src/cmake/toolchains/$arch.cmake
prefix=""
if [ -z "$multiarch" ]; then
  prefix=$cache/$arch
  apt_install dpkg-dev
  source_packages
  jsonc="json-c $(apt-cache showsrc json-c | sed -n 's/^Version: //p' | head -n1)"
  if [ "$arch" = musl ]; then
    # Only the programs and libraries are built with musl: the tests stay glibc.
    musl=$(dpkg-query -W -f='${Version}' musl-dev)
    debian_build musl "$prefix" "$toolchain" "$jsonc musl $musl gcc $(gcc -dumpfullversion)" json-c
  else
    gtest="googletest $(apt-cache showsrc googletest | sed -n 's/^Version: //p' | head -n1)"
    debian_build "$arch" "$prefix" "$toolchain" "$jsonc $gtest $("$triple-gcc" -dumpfullversion)" \
      json-c googletest
  fi
fi

step "build for $arch in $build"
mkdir -p "$build"
log=$build/cross
if [ "$arch" = musl ]; then
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DRAVEL_CROSS_PREFIX="$prefix" \
    -DRAVEL_PLATFORM=bundled -DRAVEL_TESTS=OFF -DRAVEL_TOOLS=OFF -DRAVEL_BENCH=OFF \
    > "$log-configure.log" 2>&1 || { cat "$log-configure.log"; fail "configure for $arch"; }
else
  # The bus daemon and tool for this machine too: one test has the target's
  # tool exchange calls with them.
  native=$build/native
  cmake -S "$src" -B "$native" -DRAVEL_PLATFORM=bundled -DRAVEL_TESTS=OFF -DRAVEL_BENCH=OFF \
    > "$log-native.log" 2>&1 && cmake --build "$native" -j"$jobs" --target ravel-busd ravel-bus \
    >> "$log-native.log" 2>&1 || { cat "$log-native.log"; fail "native bus daemon and tool"; }
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DRAVEL_CROSS_PREFIX="$prefix" \
    -DRAVEL_NATIVE_TOOLS="$native/platform/tools" -DRAVEL_PLATFORM=bundled -DRAVEL_BENCH=OFF \
    > "$log-configure.log" 2>&1 || { cat "$log-configure.log"; fail "configure for $arch"; }
fi
cmake --build "$build" -j"$jobs" > "$log-build.log" 2>&1 ||
  { tail -n 60 "$log-build.log"; fail "build for $arch (log: $log-build.log)"; }
if grep -q "warning:" "$log-build.log"; then
  grep "warning:" "$log-build.log"
  fail "warnings in the $arch build"
fi

if [ "$arch" != musl ]; then
  step "test suite for $arch under qemu-user"
  ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 || fail "test suite for $arch"
  exit 0
fi

for p in daemon/ravel_tools cli/ravel_tools_cli; do
  readelf -lW "$build/$p" | grep -q 'interpreter: /lib/ld-musl' || fail "$p is not a musl program"
  if readelf -dW "$build/$p" | grep -q 'NEEDED.*libstdc'; then fail "$p needs libstdc++"; fi
done
host=$(realpath -m "${RAVEL_HOST_BUILD:-$build/host}")
step "end-to-end tests of $host against the musl programs in $build"
if [ ! -f "$host/CMakeCache.txt" ]; then
  cmake -S "$src" -B "$host" -DRAVEL_BENCH=OFF > "$log-host.log" 2>&1 ||
    { cat "$log-host.log"; fail "configure the glibc build for the tests"; }
fi
cmake --build "$host" -j"$jobs" >> "$log-host.log" 2>&1 ||
  { tail -n 60 "$log-host.log"; fail "build of the tests in $host"; }
# The install and recipe checks are about the glibc build's own files.
RAVEL_PROGRAM_DIR=$build ctest --test-dir "$host" -L e2e -E '^packaging\.(install_prefix|recipe)$' \
  --output-on-failure -j2 --timeout 600 || fail "end-to-end tests against the musl programs"
