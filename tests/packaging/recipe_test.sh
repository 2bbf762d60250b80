#!/bin/sh
# Checks the package recipe against the tree: every file it installs exists,
# and the part of the tree that Build/Prepare copies configures on its own
# with the recipe's options (bundled platform libraries stand in for the
# router's here).
#   recipe_test.sh <source tree>

src=${1:?usage: $0 <source tree>}
pkg="$src/packaging/openwrt"
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for f in $(grep -o '\./files/[A-Za-z0-9_.-]*' "$pkg/Makefile" | sort -u); do
	[ -f "$pkg/$f" ] || fail "recipe installs $f, which is missing"
done
grep -q '\./files/ravel_tools.init' "$pkg/Makefile" || fail "init script not installed"
[ -x "$pkg/files/ravel_tools.init" ] || fail "init script not executable"

# What Build/Prepare copies: the $(RAVEL_SRC)/<path> words of that block.
copied=$(sed -n '/^define Build\/Prepare/,/^endef/p' "$pkg/Makefile" |
	grep -o '\$(RAVEL_SRC)/[A-Za-z0-9_.-]*' | sed 's|^\$(RAVEL_SRC)/||')
[ -n "$copied" ] || fail "no copied paths found in Build/Prepare"
mkdir -p "$work/src"
for p in $copied; do
	if [ -e "$src/$p" ]; then
		cp -R "$src/$p" "$work/src/"
	else
		fail "Build/Prepare copies $p, which is missing"
	fi
done

# The recipe's options, with the platform choice swapped for bundled.
opts=$(sed -n '/^CMAKE_OPTIONS/,/^$/p' "$pkg/Makefile" | grep -o -- '-D[A-Z_]*=[A-Za-z]*' |
	sed 's/^-DRAVEL_PLATFORM=.*/-DRAVEL_PLATFORM=bundled/')
echo "configuring the copied tree with:" $opts
# shellcheck disable=SC2086
if ! cmake -S "$work/src" -B "$work/build" $opts > "$work/cmake.log" 2>&1; then
	cat "$work/cmake.log"
	fail "the copied tree does not configure"
fi

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok"
