#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# A newcomer's first command: install the packages, build, and run the demo.
# Each step prints a header and its time. The exit status is the build's: a
# demo that cannot make its sandbox here (a normal user without user
# namespaces) is reported, not counted as a failure.
#   scripts/setup.sh [build-dir]
set -uo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
start=$SECONDS
ran=() missed=()
step() { printf '\n==== %s  (%s elapsed)\n' "$1" "$(elapsed)"; }
elapsed() { local s=$((SECONDS - start)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }
finish() {
  printf '\n==== setup %s after %s\n' "$1" "$(elapsed)"
  [ ${#ran[@]} -eq 0 ] || printf '  done:        %s\n' "${ran[@]}"
  [ ${#missed[@]} -eq 0 ] || printf '  not done:    %s\n' "${missed[@]}"
}

step "1/3 packages (scripts/install-deps.sh)"
if scripts/install-deps.sh; then
  ran+=("packages installed")
else
  missed+=("packages: scripts/install-deps.sh failed (run it as root, or with sudo)")
  finish failed
  exit 1
fi

step "2/3 build into $dir (scripts/build.sh $dir; the first build takes minutes)"
if scripts/build.sh "$dir"; then
  ran+=("build: programs in $dir/daemon/ravel_tools, $dir/cli/ravel_tools_cli, $dir/sim/ravel_modem_sim, $dir/platform/tools/ravel-bus(d)")
else
  missed+=("build: scripts/build.sh $dir failed (see above)")
  finish failed
  exit 1
fi

step "3/3 demo (scripts/demo.sh $dir)"
scripts/demo.sh "$dir"
demo=$?
case $demo in
  0) ran+=("demo") ;;
  77) missed+=("demo: no private sandbox here (see above); the build is fine. Run scripts/demo.sh as root to see it") ;;
  *) missed+=("demo: failed with status $demo (see above)") ;;
esac
if [ "$demo" -eq 0 ] || [ "$demo" -eq 77 ]; then
  finish done
  echo "next: scripts/test.sh runs the tests (README: Quick start)"
  exit 0
fi
finish failed
exit 1
