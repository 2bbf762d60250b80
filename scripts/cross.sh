#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Cross-builds the project for a router CPU and runs the whole test suite
# under qemu-user:
#   scripts/cross.sh ARCH [build-dir]
#     ARCH  mips   big-endian 32-bit MIPS (mips-linux-gnu)
#           armhf  32-bit ARMv7 (arm-linux-gnueabihf)
#           arm64  AArch64 (aarch64-linux-gnu)
#     build-dir defaults to build-ARCH.
#
# It installs the cross compiler, qemu-user-static and binfmt-support from
# Debian, and json-c and GoogleTest for the target: through multiarch where
# Debian has the architecture, else (mips) built from Debian's source packages
# into a prefix under RAVEL_CROSS_CACHE (default /opt/ravel-cross), kept for
# the next run. The bus daemon and tool are also built for this machine (in
# build-dir/native) for the test that mixes byte orders. ctest starts the
# test programs through the emulator; the programs those start run through
# binfmt_misc, registered here. Benchmarks are not built. Needs root (or
# sudo) for apt and binfmt_misc.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-}
case "$arch" in
  mips)  triple=mips-linux-gnu;      cpu=mips;    multiarch="" ;;
  armhf) triple=arm-linux-gnueabihf; cpu=arm;     multiarch=armhf ;;
  arm64) triple=aarch64-linux-gnu;   cpu=aarch64; multiarch=arm64 ;;
  *) echo "usage: scripts/cross.sh mips|armhf|arm64 [build-dir]" >&2; exit 2 ;;
esac
build=${2:-$src/build-$arch}
cache=${RAVEL_CROSS_CACHE:-/opt/ravel-cross}
jobs=$(nproc)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

step() { echo "== $(date +%T) $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
updated=""
apt_update() { [ -n "$updated" ] || { $sudo apt-get update -qq; updated=1; }; }
apt_install() {
  local missing=() p
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  apt_update
  $sudo apt-get install -y -qq --no-remove "${missing[@]}" > /dev/null
}

step "packages for $arch"
"$src/scripts/install-deps.sh"
apt_install "g++-$triple" qemu-user-static binfmt-support dpkg-dev
if [ -n "$multiarch" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx "$multiarch"; then
    $sudo dpkg --add-architecture "$multiarch"
    updated=""
  fi
  apt_install "libjson-c-dev:$multiarch" "libgtest-dev:$multiarch" "libgmock-dev:$multiarch" \
    "libstdc++6:$multiarch"
fi

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
if [ "$arch" = mips ]; then
  # Programs started through binfmt_misc get no -L: qemu looks for the target's
  # loader and C library under /etc/qemu-binfmt/<cpu>.
  if [ ! -e /etc/qemu-binfmt/mips ]; then
    $sudo mkdir -p /etc/qemu-binfmt
    $sudo ln -s "/usr/$triple" /etc/qemu-binfmt/mips
  fi
fi
probe=$(mktemp -d /tmp/ravel-cross-probe.XXXXXX)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return 7; }\n' > "$probe/p.c"
"$triple-gcc" -o "$probe/p" "$probe/p.c"
set +e
"$probe/p"
probe_status=$?
set -e
[ "$probe_status" -eq 7 ] || fail "a $arch program does not run through binfmt_misc (status $probe_status)"

toolchain=$src/cmake/toolchains/$arch.cmake
prefix=""
if [ -z "$multiarch" ]; then
  prefix=$cache/$arch
  # json-c and GoogleTest from Debian's source packages, built once per version.
  apt_install dpkg-dev
  if ! apt-cache showsrc json-c > /dev/null 2>&1 || [ -z "$(apt-cache showsrc json-c 2>/dev/null)" ]; then
    mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
    suites=$(sed -n 's/^Suites: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
    [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
    [ -n "$suites" ] || suites=$(. /etc/os-release && echo "$VERSION_CODENAME")
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$mirror" "$suites" | $sudo tee /etc/apt/sources.list.d/ravel-src.sources > /dev/null
    updated=""
    apt_update
  fi
  versions="json-c $(apt-cache showsrc json-c | sed -n 's/^Version: //p' | head -n1)"
  versions+=" googletest $(apt-cache showsrc googletest | sed -n 's/^Version: //p' | head -n1)"
  versions+=" $("$triple-gcc" -dumpfullversion)"
  if [ "$(cat "$prefix/.built" 2>/dev/null)" != "$versions" ]; then
    step "json-c and GoogleTest for $arch from Debian's sources into $prefix"
    $sudo rm -rf "$prefix" "$cache/src/$arch"
    $sudo mkdir -p "$prefix" "$cache/src/$arch"
    (
      cd "$cache/src/$arch"
      $sudo apt-get source -qq json-c googletest > sources.log 2>&1 || { cat sources.log; exit 1; }
      for pkg in json-c googletest; do
        dir=$(find . -maxdepth 1 -type d -name "$pkg-*" | head -n1)
        [ -n "$dir" ] || { echo "no source tree for $pkg"; exit 1; }
        extra=()
        [ "$pkg" = json-c ] && extra=(-DBUILD_TESTING=OFF -DDISABLE_WERROR=ON)
        [ "$pkg" = googletest ] && extra=(-DBUILD_GMOCK=ON -DINSTALL_GTEST=ON)
        $sudo cmake -S "$dir" -B "$dir/build-$arch" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
          -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
          "${extra[@]}" > "$pkg.log" 2>&1 || { cat "$pkg.log"; exit 1; }
        $sudo cmake --build "$dir/build-$arch" -j"$jobs" >> "$pkg.log" 2>&1 || { cat "$pkg.log"; exit 1; }
        $sudo cmake --install "$dir/build-$arch" >> "$pkg.log" 2>&1 || { cat "$pkg.log"; exit 1; }
      done
    ) || fail "building json-c and GoogleTest for $arch"
    echo "$versions" | $sudo tee "$prefix/.built" > /dev/null
  fi
fi

step "build for $arch in $build"
mkdir -p "$build"
log=$build/cross
# The bus daemon and tool for this machine too: one test has the target's
# tool exchange calls with them.
native=$build/native
cmake -S "$src" -B "$native" -DRAVEL_PLATFORM=bundled -DRAVEL_TESTS=OFF -DRAVEL_BENCH=OFF \
  > "$log-native.log" 2>&1 && cmake --build "$native" -j"$jobs" --target ravel-busd ravel-bus \
  >> "$log-native.log" 2>&1 || { cat "$log-native.log"; fail "native bus daemon and tool"; }
cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DRAVEL_CROSS_PREFIX="$prefix" \
  -DRAVEL_NATIVE_TOOLS="$native/platform/tools" -DRAVEL_PLATFORM=bundled -DRAVEL_BENCH=OFF > "$log-configure.log" 2>&1 ||
  { cat "$log-configure.log"; fail "configure for $arch"; }
cmake --build "$build" -j"$jobs" > "$log-build.log" 2>&1 ||
  { tail -n 60 "$log-build.log"; fail "build for $arch"; }
if grep -q "warning:" "$log-build.log"; then
  grep "warning:" "$log-build.log"
  fail "warnings in the $arch build"
fi

step "test suite for $arch under qemu-user"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
