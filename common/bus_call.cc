// SPDX-License-Identifier: ISC
#include "common/bus_call.h"

#include <stdlib.h>
#include <syslog.h>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

#include "common/log.h"
#include "common/own.h"

namespace {

blob_buf call_buf;

void on_call_data(ubus_request *req, int /*type*/, blob_attr *msg)
{
	auto *call = static_cast<bus_call *>(req->priv);
	if (!msg || !call)
		return;
	char *text = blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, 0);
	if (!text)
		return;
	free(call->reply);
	call->reply = text;
}

} // namespace

int bus_call_once(bus_call *call)
{
	if (!call || !call->method || !*call->method || !call->path || !*call->path)
		return -1;

	handle_owner<ubus_context, ubus_free> ctx(ubus_connect(nullptr));
	if (!ctx) {
		log_message(LOG_ERR, "ubus connect failed");
		return -1;
	}

	uint32_t id = 0;
	blob_buf_init(&call_buf, 0);
	handle_owner<blob_buf, blob_buf_free> message(&call_buf);
	if (call->message && !blobmsg_add_json_from_string(&call_buf, call->message)) {
		log_message(LOG_ERR, "Failed to parse message data");
		return -1;
	}
	if (ubus_lookup_id(ctx.get(), call->path, &id) != 0)
		return -1;
	ubus_invoke(ctx.get(), id, call->method, call_buf.head, on_call_data, call, BUS_CALL_TIMEOUT_MS);
	return 0;
}
