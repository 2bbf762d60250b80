#!/bin/sh
# SPDX-License-Identifier: ISC
# Does with the package recipe what a router build system does, without one:
#   1. Build/Prepare copies the tree into a scratch build folder;
#   2. CMake configures it with the recipe's CMAKE_OPTIONS (and what the build
#      system's cmake.mk adds) against platform libraries installed into a
#      prefix, builds it, and "make install DESTDIR=..." stages it;
#   3. Package/install copies its files into a scratch package root;
#   4. the packaged programs need only the platform libraries and json-c,
#      carry no run path, and the daemon runs.
# The recipe's own make code runs in steps 1 and 3, against small stand-ins
# for the build system's rules.mk, package.mk and cmake.mk.
#   recipe_test.sh <source tree> <platform prefix | build folder of the platform libraries>
# A build folder is installed into a scratch prefix first.

src=${1:?usage: $0 <source tree> <platform prefix or build folder>}
platform=${2:?usage: $0 <source tree> <platform prefix or build folder>}
recipe="$src/packaging/openwrt/ravel_tools"
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
step() { echo "== $*"; }

if [ -f "$platform/cmake_install.cmake" ]; then
	prefix="$work/prefix"
	cmake --install "$platform" --prefix "$prefix" > "$work/platform.log" 2>&1 ||
		{ cat "$work/platform.log"; fail "install of the platform libraries"; }
else
	prefix=$(cd "$platform" && pwd) || fail "no platform prefix $platform"
fi

# --- the build system's side ---------------------------------------------------
top="$work/top"
mkdir -p "$top/include"
cat > "$top/rules.mk" <<'MK'
INCLUDE_DIR:=$(TOPDIR)/include
BUILD_DIR:=$(TOPDIR)/build_dir
CP:=cp -fpR
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_DATA:=install -m0644
INSTALL_CONF:=install -m0600
TARGET_CFLAGS:=-Os
TARGET_LDFLAGS:=
MK
cat > "$top/include/package.mk" <<'MK'
PKG_BUILD_DIR:=$(BUILD_DIR)/$(PKG_NAME)-$(PKG_VERSION)
PKG_INSTALL_DIR:=$(PKG_BUILD_DIR)/ipkg-install
ifneq ($(filter gc-sections,$(PKG_BUILD_FLAGS)),)
  TARGET_CFLAGS += -ffunction-sections -fdata-sections
  TARGET_LDFLAGS += -Wl,--gc-sections
endif
define BuildPackage
prepare:
	$$(Build/Prepare)
package-install:
	$$(call Package/$(1)/install,$$(PKG_ROOT))
show:
	@echo 'PKG_BUILD_DIR=$$(PKG_BUILD_DIR)'
	@echo 'PKG_INSTALL_DIR=$$(PKG_INSTALL_DIR)'
	@echo 'PKG_LICENSE=$$(PKG_LICENSE)'
	@echo 'PKG_LICENSE_FILES=$$(PKG_LICENSE_FILES)'
	@echo 'CMAKE_OPTIONS=$$(strip $$(CMAKE_OPTIONS))'
	@echo 'TARGET_CFLAGS=$$(strip $$(TARGET_CFLAGS))'
	@echo 'TARGET_LDFLAGS=$$(strip $$(TARGET_LDFLAGS))'
endef
MK
: > "$top/include/cmake.mk"
recipe_make() {
	make --no-print-directory -C "$recipe" TOPDIR="$top" "$@"
}

recipe_make show > "$work/vars" || fail "the recipe does not load"
var() { sed -n "s/^$1=//p" "$work/vars"; }
build=$(var PKG_BUILD_DIR)
staging=$(var PKG_INSTALL_DIR)
[ "$(var PKG_LICENSE)" = ISC ] || fail "PKG_LICENSE is '$(var PKG_LICENSE)'"

step "Build/Prepare"
recipe_make prepare > "$work/prepare.log" 2>&1 || { cat "$work/prepare.log"; fail "Build/Prepare"; }
for f in $(var PKG_LICENSE_FILES); do
	[ -f "$build/$f" ] || fail "licence file $f is not in the build folder"
done

step "configure, build, make install"
cflags=$(var TARGET_CFLAGS)
ldflags=$(var TARGET_LDFLAGS)
# shellcheck disable=SC2046
cmake -S "$build" -B "$build/out" -G "Unix Makefiles" $(var CMAKE_OPTIONS) \
	-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
	-DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cflags" \
	-DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
	> "$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
grep -q "platform: system ubox at $prefix/lib/" "$work/configure.log" ||
	{ cat "$work/configure.log"; fail "the platform libraries were not taken from the prefix"; }
make -C "$build/out" -j2 > "$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
if grep "warning:" "$work/build.log"; then
	fail "warnings in the build"
fi
make -C "$build/out" install DESTDIR="$staging" > "$work/install.log" 2>&1 ||
	{ cat "$work/install.log"; fail "make install"; }

step "Package/install"
root="$work/root"
recipe_make package-install PKG_ROOT="$root" > "$work/package.log" 2>&1 ||
	{ cat "$work/package.log"; fail "Package/install"; }
(cd "$root" && find . -type f | sort)

step "packaged programs"
elves=$(find "$root" -type f -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print)
[ "$(echo "$elves" | wc -w)" -eq 2 ] || fail "expected two programs, got: $elves"
for f in $elves; do
	name=${f#"$root"/}
	needed=$(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
	for lib in $needed; do
		case "$lib" in
		libubox.so*|libubus.so*|libuci.so*|libblobmsg_json.so*|libjson-c.so*|libc.so*) ;;
		*) fail "$name needs $lib" ;;
		esac
	done
	! readelf -d "$f" | grep -q 'R\(UN\)\{0,1\}PATH' || fail "$name has a run path"
	deps=$(LD_LIBRARY_PATH="$prefix/lib" ldd "$f") || fail "ldd $name"
	for lib in $needed; do
		case "$lib" in libc.so*|libjson-c.so*) continue ;; esac
		echo "$deps" | grep -q "$lib => $prefix/lib/" ||
			{ echo "$deps"; fail "$name does not load $lib from the prefix"; }
	done
	echo "$name:" $needed
done

daemon="$root/usr/sbin/ravel_tools"
LD_LIBRARY_PATH="$prefix/lib" "$daemon" -x > "$work/smoke" 2>&1
st=$?
[ "$st" -eq 1 ] && grep -q "^Usage: $daemon \[options\]" "$work/smoke" ||
	{ cat "$work/smoke"; fail "ravel_tools -x ended with $st, without its usage"; }
echo "recipe: ok"
