// SPDX-License-Identifier: ISC
// Arbitrary bytes into the bus daemon's message reader and dispatch, and into
// the client library's reader and dispatch.
#include <cstdint>
#include <cstring>

#include "busd_core.h"
#include "../../platform/libubus/src/ubus_internal.h"

namespace {

int reply_handler(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
		  struct blob_attr *msg)
{
	ubus_send_reply(ctx, req, msg);
	return 0;
}

const struct ubus_method methods[] = {{nullptr, reply_handler, 0, 0, nullptr, 0}};

void fuzz_daemon(const uint8_t *data, size_t size)
{
	busd::bus bus(1);
	uint32_t owner = bus.add_client(-1).id;
	uint32_t peer = bus.add_client(-1).id;
	// an object named "x" with an empty signature, so calls have somewhere to go
	static const uint8_t add_x[] = {0, 6, 0, 1, 0,   0, 0, 0, 0, 0, 0, 0x10,
					2, 0, 0, 6, 'x', 0, 0, 0, 6, 0, 0, 4};
	bus.receive(owner, add_x, sizeof(add_x));
	bus.receive(peer, data, size);
	if (bus.find_client(owner))
		bus.receive(owner, data, size);
}

void fuzz_library(const uint8_t *data, size_t size)
{
	struct ubus_context ctx;
	std::memset(&ctx, 0, sizeof(ctx));
	INIT_LIST_HEAD(&ctx.requests);
	INIT_LIST_HEAD(&ctx.pending);
	INIT_LIST_HEAD(&ctx.objects.list_head);
	ctx.sock.fd = -1;
	struct ubus_object obj = {};
	obj.id = 0x1000;
	obj.methods = methods;
	obj.n_methods = 1;
	list_add_tail(&obj.avl.list, &ctx.objects.list_head);
	struct ubus_request req;
	std::memset(&req, 0, sizeof(req));
	INIT_LIST_HEAD(&req.list);
	req.seq = 1;
	req.ctx = &ctx;
	ubus_complete_request_async(&ctx, &req);
	ubus_feed_bytes(&ctx, data, size);
	ubus_shutdown(&ctx);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_daemon(data, size);
	fuzz_library(data, size);
	return 0;
}
