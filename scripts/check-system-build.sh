#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Checks that the programs build against an installed copy of the platform
# libraries, as on a router build system:
#   1. build our platform libraries (bundled) and install them into a prefix;
#   2. run the package recipe against that prefix (tests/packaging/recipe_test.sh:
#      Build/Prepare, configure with the recipe's options, build, make install,
#      Package/install, and what the packaged programs load);
#   3. build a small C program written for the router's libraries against the
#      installed headers and run it.
#
#   scripts/check-system-build.sh [work folder]
# Without a work folder a temporary one is used and removed afterwards.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

if [ $# -ge 1 ]; then
  work=$1
  mkdir -p "$work"
  work=$(cd "$work" && pwd)
else
  work=$(mktemp -d /tmp/ravel-system-build.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
prefix=$work/prefix
lean=(-DRAVEL_TESTS=OFF -DRAVEL_BENCH=OFF -DRAVEL_TOOLS=OFF -DCMAKE_BUILD_TYPE=Release)

step() { echo "== $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

step "platform libraries (bundled) into $prefix"
cmake -S "$src" -B "$work/bundled" -DRAVEL_PLATFORM=bundled "${lean[@]}" \
  -DCMAKE_INSTALL_PREFIX="$prefix" > "$work/bundled.log" 2>&1 ||
  { cat "$work/bundled.log"; fail "configure (bundled)"; }
cmake --build "$work/bundled" -j"$jobs" --target ubox blobmsg_json ubus uci > "$work/bundled-build.log" 2>&1 ||
  { cat "$work/bundled-build.log"; fail "build of the platform libraries"; }
# Only the platform folder: the programs of this build are not built.
cmake --install "$work/bundled/platform" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "install of the platform libraries"; }
for f in include/libubox/uloop.h include/libubox/blobmsg.h include/libubox/blobmsg_json.h \
         include/libubus.h include/uci.h \
         lib/libubox.so lib/libblobmsg_json.so lib/libubus.so lib/libuci.so; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done

step "the package recipe against $prefix"
sh "$src/tests/packaging/recipe_test.sh" "$src" "$prefix" || fail "package recipe"

step "a C program for the router's libraries, against the installed headers"
mkdir -p "$work/c" "$work/c/config"
printf "config channel 'cpe'\n\toption server '192.168.225.1'\n" > "$work/c/config/ravel_tools"
cat > "$work/c/router_client.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <libubox/uloop.h>
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
#include <libubus.h>
#include <uci.h>

enum { CMD, WAIT, __MAX };
static const struct blobmsg_policy policy[__MAX] = {
	[CMD] = { .name = "cmd", .type = BLOBMSG_TYPE_STRING },
	[WAIT] = { .name = "wait", .type = BLOBMSG_TYPE_INT32 },
};

static struct blob_buf b;

static int at_cmd(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
		  const char *method, struct blob_attr *msg)
{
	struct blob_attr *tb[__MAX];
	(void)obj; (void)method;
	blobmsg_parse(policy, __MAX, tb, blob_data(msg), blob_len(msg));
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "respone", tb[CMD] ? blobmsg_get_string(tb[CMD]) : "");
	blobmsg_add_u32(&b, "code", 0);
	return ubus_send_reply(ctx, req, b.head);
}

static const struct ubus_method methods[] = { UBUS_METHOD("at_cmd", at_cmd, policy) };
static struct ubus_object_type type = UBUS_OBJECT_TYPE("ravel", methods);
static struct ubus_object object = {
	.name = "ravelcpe", .type = &type, .methods = methods, .n_methods = ARRAY_SIZE(methods),
};

int main(int argc, char **argv)
{
	struct blob_attr *tb[__MAX];
	struct uci_context *uci;
	struct uci_ptr ptr;
	struct ubus_context *ctx;
	char path[] = "ravel_tools.cpe.server";
	char *json;

	if (argc < 2)
		return 10;
	blob_buf_init(&b, 0);
	if (!blobmsg_add_json_from_string(&b, "{'cmd':'ATI','wait':500}"))
		return 1;
	blobmsg_parse(policy, __MAX, tb, blob_data(b.head), blob_len(b.head));
	if (!tb[CMD] || strcmp(blobmsg_get_string(tb[CMD]), "ATI") || !tb[WAIT] ||
	    blobmsg_get_u32(tb[WAIT]) != 500)
		return 2;
	json = blobmsg_format_json(b.head, true);
	if (!json)
		return 3;
	printf("%s\n", json);
	free(json);

	uci = uci_alloc_context();
	if (!uci || uci_set_confdir(uci, argv[1]) != UCI_OK)
		return 4;
	if (uci_lookup_ptr(uci, &ptr, path, true) != UCI_OK || !(ptr.flags & UCI_LOOKUP_COMPLETE) ||
	    !ptr.o || strcmp(ptr.o->v.string, "192.168.225.1"))
		return 5;
	printf("server %s\n", ptr.o->v.string);
	uci_free_context(uci);

	uloop_init();
	ctx = ubus_connect(argc > 2 ? argv[2] : "/nonexistent/ubus.sock");
	if (ctx) {
		ubus_add_uloop(ctx);
		ubus_add_object(ctx, &object);
		uloop_run();
		ubus_free(ctx);
	}
	uloop_done();
	blob_buf_free(&b);
	return 0;
}
C
cc -std=gnu99 -Wall -Wextra -Werror -o "$work/c/router_client" "$work/c/router_client.c" \
  -I "$prefix/include" -L "$prefix/lib" -Wl,-rpath,"$prefix/lib" \
  -lubus -lblobmsg_json -lubox -luci -ljson-c || fail "the C program does not build"
"$work/c/router_client" "$work/c/config" > "$work/c/out" || { cat "$work/c/out"; fail "the C program failed"; }
grep -q '"cmd": *"ATI"' "$work/c/out" && grep -q "server 192.168.225.1" "$work/c/out" ||
  { cat "$work/c/out"; fail "unexpected output of the C program"; }

echo "system build: ok"
