#!/bin/sh
# SPDX-License-Identifier: ISC
# netifd protocol "ravel": an interface that comes up once the ravel_tools
# daemon of the channel with the interface's name has attached its module.
#
#   config interface 'cpe'          # the name is the channel id
#       option proto 'ravel'
#       option device 'eth1'        # the module's data device
#       option dhcp '1'             # DHCP sub-interface cpe_4 (default)
#       option zone 'wan'           # firewall zone of the sub-interface
#
# The interface starts unavailable. After every attach the daemon calls
# notify_proto on network.interface with the interface's name, action 5 and
# available true; netifd then runs the setup below. netifd starts the
# protocol anew, unavailable, when it restarts and when a reload changes the
# interface's section: the daemon, while attached, notices both (the
# interface's bus object appearing, its ifdown event) and calls again.

[ -n "$INCLUDE_ONLY" ] || {
	. /lib/functions.sh
	. ../netifd-proto.sh
	init_proto "$@"
}

proto_ravel_init_config() {
	available=0
	no_device=1
	proto_config_add_string device
	proto_config_add_boolean dhcp
	proto_config_add_string zone
	proto_config_add_defaults
}

proto_ravel_setup() {
	local interface="$1"
	local device dhcp zone defaultroute peerdns metric

	json_get_vars device dhcp zone defaultroute peerdns metric

	[ -n "$device" ] || {
		echo "no device set for interface $interface"
		proto_notify_error "$interface" NO_DEVICE
		proto_block_restart "$interface"
		return 1
	}
	# The device may show up later (a USB or switch port): wait for the
	# daemon's next report instead of retrying at once.
	[ -d "/sys/class/net/$device" ] || {
		echo "device $device of interface $interface is missing"
		proto_notify_error "$interface" NO_DEVICE
		proto_set_available "$interface" 0
		return 1
	}

	proto_init_update "$device" 1
	proto_send_update "$interface"

	[ "${dhcp:-1}" = 0 ] && return 0
	json_init
	json_add_string name "${interface}_4"
	json_add_string ifname "@$interface"
	json_add_string proto dhcp
	[ -n "$zone" ] && json_add_string zone "$zone"
	proto_add_dynamic_defaults
	ubus call network add_dynamic "$(json_dump)"
}

# netifd takes the interface and its device down when this returns, and
# refuses link updates while it runs: there is nothing to tell it.
proto_ravel_teardown() {
	return 0
}

[ -n "$INCLUDE_ONLY" ] || add_protocol ravel
