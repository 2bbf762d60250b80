// SPDX-License-Identifier: ISC
// Internals shared by the files of the client library.
#pragma once

#include <stddef.h>
#include <stdint.h>

// What libubus.h declares is the library's interface; the rest stays hidden.
#pragma GCC visibility push(default)
extern "C" {
#include "libubus.h"
}
#pragma GCC visibility pop

// One received message, copied out of the receive buffer so that the body is
// aligned and stays valid while handlers run (they may read more input).
struct ubus_rx_msg {
	struct list_head list;
	uint8_t type;
	uint16_t seq;
	uint32_t peer;
	uint32_t body_len;
	struct blob_attr *body() { return reinterpret_cast<struct blob_attr *>(this + 1); }
};

// Type-checked attributes of a message body; bad ones are left out.
void ubus_parse_body(struct blob_attr *body, struct blob_attr **tb);

struct blob_buf *ubus_msg_buf();

// 0, UBUS_STATUS_INVALID_ARGUMENT for an oversized message, -1 when the
// connection failed (then ctx->sock.eof is set).
int ubus_send_msg(struct ubus_context *ctx, uint16_t seq, struct blob_attr *msg, int type, uint32_t peer,
		  int fd);

// Sends msg as a new request with the next seq; the caller then waits with
// ubus_complete_request() or ubus_complete_request_async().
int ubus_start_request(struct ubus_context *ctx, struct ubus_request *req, struct blob_attr *msg, int type,
		       uint32_t peer);

// ADD_OBJECT for obj (already in ctx's list or about to be); waits for the reply.
int ubus_add_object_request(struct ubus_context *ctx, struct ubus_object *obj);

// Handles INVOKE, NOTIFY and UNSUBSCRIBE addressed to our objects.
void ubus_process_obj_msg(struct ubus_context *ctx, struct ubus_rx_msg *m);

// Feeds bytes as if read from the socket, for the fuzzer (not exported: it
// links the static library). Returns -1 when the stream is malformed.
extern "C" int ubus_feed_bytes(struct ubus_context *ctx, const uint8_t *data, size_t len);

static inline uint32_t ubus_pad4(uint32_t n)
{
	return (n + 3u) & ~3u;
}
