#!/bin/sh
# SPDX-License-Identifier: ISC
# Runs the procd init script against stand-ins for the router's shell
# helpers and compares the instances it defines with what is expected.
#   init_script_test.sh <folder holding ravel_tools.init and ravel_tools.config>
# The stand-ins: config_load reads a UCI file from $CONFIG_DIR (a small
# reader, enough for our files), and the procd_* functions collect each
# instance's parameters and print them when the instance is closed.

files=${1:?usage: $0 <packaging files folder>}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0

# --- UCI stand-ins, after /lib/functions.sh ---------------------------------

# Turns a UCI file into "S<tab>type<tab>name" and "O<tab>option<tab>value"
# lines; anonymous sections get the name cfgNNN as the real reader gives them.
uci_flatten() {
	awk -v OFS='\t' '
	function unquote(s) {
		if (s ~ /^'\''.*'\''$/ || s ~ /^".*"$/)
			return substr(s, 2, length(s) - 2)
		return s
	}
	/^[ \t]*(#|$)/ { next }
	{
		sub(/^[ \t]+/, "")
		kw = $1; sub(/^[^ \t]+[ \t]+/, "")
		if (kw == "config") {
			type = $1; sub(/^[^ \t]+[ \t]*/, "")
			name = unquote($0)
			if (name == "") name = sprintf("cfg%03d", ++anon)
			print "S", type, name
		} else if (kw == "option") {
			opt = $1; sub(/^[^ \t]+[ \t]*/, "")
			print "O", opt, unquote($0)
		}
	}' "$1"
}

config_load() {
	CONFIG_SECTIONS=
	local kind a b section=
	uci_flatten "$CONFIG_DIR/$1" > "$work/flat" || return 1
	while IFS='	' read -r kind a b; do
		case "$kind" in
		S)
			section=$b
			CONFIG_SECTIONS="$CONFIG_SECTIONS $section"
			eval "CONFIG_${section}_TYPE=\$a"
			;;
		O)
			eval "CONFIG_${section}_${a}=\$b"
			;;
		esac
	done < "$work/flat"
}

config_foreach() {
	local fn="$1" type="$2" s t
	shift 2
	for s in $CONFIG_SECTIONS; do
		eval "t=\$CONFIG_${s}_TYPE"
		[ -z "$type" ] || [ "$t" = "$type" ] || continue
		"$fn" "$s" "$@"
	done
}

config_get() {
	local var="$1" section="$2" option="$3" default="$4" isset
	eval "isset=\${CONFIG_${section}_${option}+x}"
	if [ -n "$isset" ]; then
		eval "$var=\$CONFIG_${section}_${option}"
	else
		eval "$var=\$default"
	fi
}

config_get_bool() {
	local _v
	config_get _v "$2" "$3" "$4"
	case "$_v" in
	1|on|true|yes|enabled) _v=1 ;;
	0|off|false|no|disabled) _v=0 ;;
	*) _v="$4" ;;
	esac
	eval "$1=\$_v"
}

# --- validation stand-ins, after /lib/functions/procd.sh and validate_data ---

# Whether a value passes one datatype of ours.
datatype_ok() {
	local dt="$1" v="$2" lo hi
	case "$dt" in
	string) ;;
	uinteger) case "$v" in ''|*[!0-9]*) return 1 ;; esac ;;
	bool) case "$v" in 0|1|on|off|true|false|yes|no|enabled|disabled) ;; *) return 1 ;; esac ;;
	ip4addr)
		printf '%s\n' "$v" | awk -F. 'NF != 4 { exit 1 }
			{ for (i = 1; i <= 4; i++) if ($i !~ /^[0-9]+$/ || $i > 255) exit 1 }' ;;
	range\(*)
		lo=${dt#range(}; hi=${lo#*,}; lo=${lo%%,*}; hi=${hi%)}
		case "$v" in ''|*[!0-9]*) return 1 ;; esac
		[ "$v" -ge "$lo" ] && [ "$v" -le "$hi" ] ;;
	or\(*)
		# Words quoted either way, as validate_data reads them; a bare word
		# is a function name there, and none of ours is one.
		case ",${dt#or(}" in *",\"$v\""[,\)]* | *",'$v'"[,\)]*) ;; *) return 1 ;; esac ;;
	*) echo "no stand-in for datatype $dt"; return 1 ;;
	esac
}

# validate_data without a section: the rules as shell commands that build
# procd's JSON, each datatype inside double quotes as it comes.
validate_data_dump() {
	local _r
	printf 'json_add_object; json_add_string "package" "%s"; ' "$1"
	printf 'json_add_string "type" "%s"; json_add_object "data"; ' "$2"
	shift 3
	for _r in "$@"; do
		_r=${_r%%:"${_r#*:*:}"}
		printf 'json_add_string "%s" "%s"; ' "${_r%%:*}" "${_r#*:}"
	done
	printf 'json_close_object; json_close_object; '
}

# Each rule "option:datatype[:default]" makes a local variable holding the
# section's value, or the default when the section lacks the option; the
# function gets the section and 0 when every value given passed, else 1.
# Without a section (procd_add_validation) the rules go through the dump and
# eval that procd's helpers use, and what procd would receive is printed.
uci_load_validate() {
	local _package="$1" _type="$2" _name="$3" _function="$4" _rule _opt _dt _def _v _set _result=0
	shift 4
	if [ -z "$_name" ]; then
		received=
		eval "$(validate_data_dump "$_package" "$_type" "" "$@")"
		echo "  received$received"
		return 0
	fi
	for _rule in "$@"; do
		eval "local ${_rule%%:*}"
	done
	for _rule in "$@"; do
		_opt=${_rule%%:*} _dt=${_rule#*:} _def=
		case "$_dt" in *:*) _def=${_dt#*:} _dt=${_dt%%:*} ;; esac
		eval "_set=\${CONFIG_${_name}_${_opt}+x} _v=\${CONFIG_${_name}_${_opt}}"
		if [ -n "$_set" ]; then
			datatype_ok "$_dt" "$_v" || _result=1
		else
			_v=$_def
		fi
		eval "$_opt=\$_v"
	done
	[ -n "$_function" ] || return $_result
	"$_function" "$_name" "$_result"
}

logger() {
	echo "log$(bracket "$@")"
}

# --- procd stand-ins -----------------------------------------------------------

# Each argument in brackets, so word boundaries show.
bracket() {
	local out= a
	for a in "$@"; do out="$out [$a]"; done
	printf '%s' "$out"
}

procd_open_instance() {
	instance_name=$1
	instance_params=
}

procd_set_param() {
	local p="$1"
	shift
	case " $instance_params " in *" $p "*) ;; *) instance_params="$instance_params $p" ;; esac
	eval "param_$p=\$(bracket \"\$@\")"
}

procd_append_param() {
	local p="$1" old
	shift
	case " $instance_params " in *" $p "*) ;; *) instance_params="$instance_params $p" ;; esac
	eval "old=\${param_$p}"
	eval "param_$p=\$old\$(bracket \"\$@\")"
}

procd_close_instance() {
	local p v
	echo "instance $instance_name"
	for p in $instance_params; do
		eval "v=\$param_$p"
		echo "  $p$v"
		unset "param_$p"
	done
	instance_params=
}

procd_add_reload_trigger() {
	echo "reload trigger$(bracket "$@")"
}

procd_add_validation() {
	echo "validation$(bracket "$@")"
	"$@"
}

json_add_object() { :; }
json_close_object() { :; }
json_add_string() { received="$received [$1=$2]"; }

# --- running the script ------------------------------------------------------

# Prints what start_service and service_triggers define for a configuration.
run_init() {
	(
		CONFIG_DIR="$work/config"
		. "$files/ravel_tools.init"
		[ "$USE_PROCD" = 1 ] || echo "USE_PROCD is not 1"
		[ -n "$START" ] && [ -n "$STOP" ] || echo "START or STOP missing"
		start_service
		service_triggers
	)
}

# check <name> <configuration file> <expected output>
check() {
	mkdir -p "$work/config"
	cp "$2" "$work/config/ravel_tools"
	run_init > "$work/got" 2>&1
	printf '%s\n' "$3" > "$work/want"
	if cmp -s "$work/want" "$work/got"; then
		echo "ok: $1"
	else
		echo "FAIL: $1"
		diff -u "$work/want" "$work/got"
		failures=$((failures + 1))
	fi
}

common_params='  respawn [3600] [5] [5]
  file [/etc/config/ravel_tools]
  stderr [1]'
# What procd receives: the datatypes as the script wrote them.
triggers="reload trigger [ravel_tools]
validation [validate_channel_section]
  received [package=ravel_tools] [type=channel] [model=string] [server=ip4addr] [port=range(1,65535)] [proto=or('tcp','udp','TCP','UDP')] [log_level=uinteger] [socket=string] [disabled=bool]"

cat > "$work/two_channels" <<'CFG'
# channels and what is not a channel
config channel 'cpe'
	option model 'RM520N'
	option log_level '7'
	option socket '/tmp/bus dir/ubus.sock'

config rule
	option model 'RM520N'
	option server '192.168.225.1'
	option port '5000'
	option proto 'tcp'

config channel 'lte2'
	option disabled '1'
	option log_level '3'

config other 'misc'
	option log_level '2'

config channel wan
	option disabled no
	option server "10.0.0.1"
	option port 7000
	option proto UDP

config channel 'spare'
	option disabled 'on'
CFG
check "two channels served, disabled ones and other sections passed over" "$work/two_channels" \
"instance cpe
  command [/usr/sbin/ravel_tools] [-i] [cpe] [-l] [7] [-s] [/tmp/bus dir/ubus.sock]
$common_params
instance wan
  command [/usr/sbin/ravel_tools] [-i] [wan]
$common_params
$triggers"

# What the daemon would end on with status 255, or reads wrongly, is logged
# once and not started; a rule fills in only what the channel leaves out.
cat > "$work/invalid" <<'CFG'
config channel 'big_port'
	option server '10.0.0.1'
	option port '70000'
	option proto 'tcp'

config channel 'sctp'
	option server '10.0.0.1'
	option port '5000'
	option proto 'sctp'

config channel 'named'
	option server 'modem.lan'
	option port '5000'
	option proto 'tcp'

config channel 'loud'
	option model 'RM520N'
	option log_level 'high'

config channel 'off_and_bad'
	option disabled '1'
	option port 'x'

config channel 'no_rule'
	option model 'RM520N-GL'

config channel 'no_model'
	option server '10.0.0.1'

config channel 'broken_rule'
	option model 'FM650'

config channel 'own_server'
	option model 'RM520N'
	option server '10.0.0.9'

config channel 'own_all'
	option model 'FM650'
	option server '10.0.0.8'
	option port '23'
	option proto 'udp'

config rule
	option model 'FM650'
	option server '10.0.0.1'
	option port '0'
	option proto 'tcp'

config rule
	option model 'RM520N'
	option server '192.168.225.1'
	option port '5000'
	option proto 'tcp'
CFG
not_started='log [-t] [ravel_tools] [-p] [daemon.err] [channel'
check "invalid and incomplete channels are logged and not started" "$work/invalid" \
"$not_started big_port not started: invalid option value]
$not_started sctp not started: invalid option value]
$not_started named not started: invalid option value]
$not_started loud not started: invalid option value]
$not_started no_rule not started: server, port or proto missing (set them, or a rule for its model)]
$not_started no_model not started: server, port or proto missing (set them, or a rule for its model)]
$not_started broken_rule not started: invalid option value in the rule for FM650]
instance own_server
  command [/usr/sbin/ravel_tools] [-i] [own_server]
$common_params
instance own_all
  command [/usr/sbin/ravel_tools] [-i] [own_all]
$common_params
$triggers"

cat > "$work/no_channels" <<'CFG'
config rule
	option model 'RM500S'
CFG
check "no channel: no instance, still a reload trigger" "$work/no_channels" \
"$triggers"

check "shipped default configuration: its channel is off" "$files/ravel_tools.config" \
"$triggers"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
