#!/bin/sh
# SPDX-License-Identifier: ISC
# A call each way between a bus tool built for this machine and one built for
# the target (big-endian on mips), through this machine's bus daemon: the
# wire format must not depend on the host. Every blobmsg type is in the
# message and in the reply; the server's record of the call and the reply
# the caller prints must read back exactly what was sent.
#   byte_order_test.sh <native tools folder> <target tools folder>
set -u
native=$1 target=$2
dir=$(mktemp -d /tmp/ravel-byte-order.XXXXXX)
sock=$dir/bus.sock
pids=""
trap 'for p in $pids; do kill "$p" 2>/dev/null; done; wait; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; cat "$dir"/*.log 2>/dev/null; exit 1; }

"$native/ravel-busd" -s "$sock" 2> "$dir/busd.log" &
pids="$pids $!"

msg='{"text":"ATI","i32":-2,"i64":1311768467463790320,"b":true,"d":0.5,"t":{"a":[1,"x",false]}}'
reply='{"n":305419896,"neg":-1,"big":-81985529216486896,"d":-2.25,"s":"ok","arr":[{"k":"v"},7],"f":false}'
# As blobmsg's compact JSON prints them on the other side.
msg_read=$(echo "$msg" | sed 's/"d":0.5/"d":0.500000/')
reply_read=$(echo "$reply" | sed 's/"d":-2.25/"d":-2.250000/')

# exchange <server folder> <caller folder> <object>
exchange() {
  "$1/ravel-bus" -s "$sock" serve "$3" probe --reply "$reply" --log "$dir/$3.calls" \
    2> "$dir/$3-serve.log" &
  pids="$pids $!"
  i=0
  until "$2/ravel-bus" -s "$sock" -S list "$3" > /dev/null 2>&1; do
    i=$((i + 1))
    [ "$i" -lt 200 ] || fail "$3 never appeared on the bus"
    sleep 0.1
  done
  got=$("$2/ravel-bus" -s "$sock" -S -t 20 call "$3" probe "$msg" 2> "$dir/$3-call.log") ||
    fail "call of $3 failed"
  [ "$got" = "$reply_read" ] || fail "$3: reply read as '$got'"
  record=$(head -n 1 "$dir/$3.calls")
  [ "$record" = "probe $msg_read" ] || fail "$3: server read '$record'"
}

exchange "$target" "$native" cross.target
exchange "$native" "$target" cross.native
echo "bus across byte orders: both ways ok"
