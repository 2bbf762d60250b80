#!/bin/sh
# SPDX-License-Identifier: ISC
# Runs the netifd protocol handler against stand-ins for netifd's shell
# helpers and compares what it tells netifd with what is expected.
#   netifd_proto_test.sh <folder holding ravel.sh>
# The handler is sourced with INCLUDE_ONLY set, as netifd's own scripts allow;
# the interface's configuration comes from cfg_<option> variables.

files=${1:?usage: $0 <packaging files folder>}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0

bracket() {
	local out= a
	for a in "$@"; do out="$out [$a]"; done
	printf '%s' "$out"
}

# --- stand-ins, after netifd-proto.sh and jshn.sh ----------------------------

proto_config_add_string() { echo "config string$(bracket "$@")"; }
proto_config_add_boolean() { echo "config boolean$(bracket "$@")"; }
proto_config_add_defaults() { echo "config defaults"; }

# A flat JSON object is all the handler builds.
json_init() { json_text=; }
json_add() { json_text="${json_text:+$json_text,}\"$1\":$2"; }
json_add_string() { json_add "$1" "\"$2\""; }
json_add_int() { json_add "$1" "$2"; }
json_add_boolean() { json_add "$1" "$2"; }
json_dump() { printf '{%s}\n' "$json_text"; }
json_get_vars() {
	local v
	for v in "$@"; do eval "$v=\${cfg_$v}"; done
}

proto_add_dynamic_defaults() {
	[ -n "$defaultroute" ] && json_add_boolean defaultroute "$defaultroute"
	[ -n "$peerdns" ] && json_add_boolean peerdns "$peerdns"
	[ -n "$metric" ] && json_add_int metric "$metric"
}

proto_init_update() { echo "init_update$(bracket "$@")"; }
proto_send_update() { echo "send_update$(bracket "$@")"; }
proto_notify_error() { echo "notify_error$(bracket "$@")"; }
proto_block_restart() { echo "block_restart$(bracket "$@")"; }
proto_set_available() { echo "set_available$(bracket "$@")"; }
ubus() { echo "ubus$(bracket "$@")"; }

INCLUDE_ONLY=1
. "$files/ravel.sh"

# check <name> <expected output> <command...>: runs the command in a subshell
# and compares its output and status ("status N" when not 0).
check() {
	local name="$1" want="$2"
	shift 2
	( "$@"; st=$?; [ "$st" -eq 0 ] || echo "status $st" ) > "$work/got" 2>&1
	if [ -n "$want" ]; then printf '%s\n' "$want"; fi > "$work/want"
	if cmp -s "$work/want" "$work/got"; then
		echo "ok: $name"
	else
		echo "FAIL: $name"
		diff -u "$work/want" "$work/got"
		failures=$((failures + 1))
	fi
}

dump_config() {
	proto_ravel_init_config
	echo "available=$available no_device=$no_device"
}
check "waits for the daemon, takes the device from its own option" \
"config string [device]
config boolean [dhcp]
config string [zone]
config defaults
available=0 no_device=1" dump_config

# lo is there in every network namespace.
setup_lo() {
	cfg_device=lo cfg_zone=wan cfg_metric=20 cfg_peerdns=0
	proto_ravel_setup cpe
}
check "setup brings the device up with a DHCP sub-interface" \
'init_update [lo] [1]
send_update [cpe]
ubus [call] [network] [add_dynamic] [{"name":"cpe_4","ifname":"@cpe","proto":"dhcp","zone":"wan","peerdns":0,"metric":20}]' setup_lo

setup_no_dhcp() {
	cfg_device=lo cfg_dhcp=0
	proto_ravel_setup cpe
}
check "setup without DHCP only brings the device up" \
"init_update [lo] [1]
send_update [cpe]" setup_no_dhcp

setup_missing() {
	cfg_device=ravel-none0
	proto_ravel_setup cpe
	cfg_device=
	proto_ravel_setup cpe
}
check "a missing device waits for the next report; no device set stops retries" \
"device ravel-none0 of interface cpe is missing
notify_error [cpe] [NO_DEVICE]
set_available [cpe] [0]
no device set for interface cpe
notify_error [cpe] [NO_DEVICE]
block_restart [cpe]
status 1" setup_missing

# netifd refuses updates during a teardown ("Permission denied" in its log).
check "teardown sends netifd nothing" "" proto_ravel_teardown cpe

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
