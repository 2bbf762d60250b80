#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Runs the test suite of a build folder (default: build), building it first if
# needed; with a label, only the tests of that kind: unit (seconds), e2e (the
# real programs in the sandbox) or soak. Skipped tests are summed up at the
# end, one line per cause.
#   scripts/test.sh [unit|e2e|soak] [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
label=
for arg in "$@"; do
	case $arg in
	unit | e2e | soak) label=$arg ;;
	*) dir=$arg ;;
	esac
done
[ -f "$dir/CMakeCache.txt" ] || scripts/build.sh "$dir"
cmake --build "$dir" -j"$(nproc)"
status=0
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 300 ${label:+-L "^$label\$"} |
	tee "$summary" || status=$?

# Why tests were skipped: ctest names them at the end of its summary and keeps
# every test's output in LastTest.log. A GoogleTest skip prints
# "<file>:<line>: Skipped" with the cause on the next line; another test (a
# script, the soak) prints its cause last.
log=$dir/Testing/Temporary/LastTest.log
skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$summary")
if [ -n "$skipped" ] && [ -f "$log" ]; then
	printf '%s\n' "$skipped" | awk '
	FNR == NR { skip[$0] = 1; next }
	/^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); name = $0; cause = ""; last = ""; next }
	/^Output:$/ { out = 1; after = 0; next }
	/^<end of output>$/ {
		out = 0
		if (name in skip) {
			c = cause != "" ? cause : last != "" ? last : "(no cause printed)"
			if (!(c in n)) order[++k] = c
			n[c]++
		}
		next
	}
	out && /^-+$/ { next }
	out {
		if (after && cause == "" && NF) cause = $0
		after = $0 ~ /: Skipped$/
		if (NF && $0 !~ /^\[/) last = $0
	}
	END {
		for (i = 1; i <= k; i++)
			printf "skipped %d test%s: %s\n", n[order[i]], n[order[i]] == 1 ? "" : "s", order[i]
	}' - "$log"
fi
exit "$status"
