#!/bin/sh
# SPDX-License-Identifier: ISC
# Installs a build into a scratch prefix and checks that every installed
# program and library finds the libraries it needs with no loader path set,
# and that every program starts.
#   install_test.sh <build folder>
# Where our platform libraries are installed beside the programs, each program
# carries the run path $ORIGIN/../lib; built against the router's libraries,
# none.

build=${1:?usage: $0 <build folder>}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 ||
	{ cat "$work/install.log"; echo "FAIL: install"; exit 1; }

if [ -e "$prefix/lib/libubox.so.0" ] || [ -e "$prefix/lib/libubus.so.0" ] ||
	[ -e "$prefix/lib/libuci.so.0" ]; then
	want_runpath='$ORIGIN/../lib'
else
	want_runpath=
fi

runpath() {
	readelf -d "$1" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p'
}

programs=$(find "$prefix/bin" "$prefix/sbin" -type f 2>/dev/null | sort)
[ -n "$programs" ] || fail "no program installed"
for f in $programs $(find "$prefix/lib" -name '*.so.*' -type f 2>/dev/null | sort); do
	name=${f#"$prefix"/}
	deps=$(env -u LD_LIBRARY_PATH ldd "$f" 2>&1) || { fail "ldd $name: $deps"; continue; }
	case "$deps" in *"not found"*)
		fail "$name: a library is not found"
		echo "$deps"
		;;
	esac
done
for f in $programs; do
	name=${f#"$prefix"/}
	rp=$(runpath "$f")
	[ "$rp" = "$want_runpath" ] || fail "$name: run path '$rp', not '$want_runpath'"
	# Every program answers a help or bad option with its usage and ends.
	env -u LD_LIBRARY_PATH timeout 10 "$f" --help > "$work/out" 2>&1
	st=$?
	if [ "$st" -ge 124 ] || grep -q "error while loading shared libraries" "$work/out"; then
		fail "$name does not start (status $st)"
		cat "$work/out"
	fi
done

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "ok: $(echo "$programs" | wc -l) programs installed and started"
