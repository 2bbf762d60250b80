// SPDX-License-Identifier: ISC
// Objects, method calls, replies, lookups and events of the client library.
#include "ubus_internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// Message data for calls to the event object; kept apart from the message
// buffer because ubus_invoke copies it into that one.
struct blob_buf event_buf;

int send_status(struct ubus_context *ctx, uint16_t seq, uint32_t peer, uint32_t objid, int status, int fd)
{
	struct blob_buf *b = ubus_msg_buf();
	blob_buf_init(b, 0);
	blob_put_u32(b, UBUS_ATTR_STATUS, uint32_t(status));
	blob_put_u32(b, UBUS_ATTR_OBJID, objid);
	return ubus_send_msg(ctx, seq, b->head, UBUS_MSG_STATUS, peer, fd);
}

struct ubus_object *find_object(struct ubus_context *ctx, uint32_t id)
{
	struct list_head *p;
	if (!id)
		return nullptr;
	list_for_each (p, &ctx->objects.list_head) {
		auto *obj = container_of(p, struct ubus_object, avl.list);
		if (obj->id == id)
			return obj;
	}
	return nullptr;
}

bool object_listed(struct ubus_context *ctx, struct ubus_object *obj)
{
	struct list_head *p;
	list_for_each (p, &ctx->objects.list_head)
		if (container_of(p, struct ubus_object, avl.list) == obj)
			return true;
	return false;
}

void process_invoke(struct ubus_context *ctx, struct ubus_rx_msg *m, struct blob_attr **tb)
{
	uint32_t objid = tb[UBUS_ATTR_OBJID] ? blob_get_u32(tb[UBUS_ATTR_OBJID]) : 0;
	struct ubus_object *obj = tb[UBUS_ATTR_OBJID] ? find_object(ctx, objid) : nullptr;
	if (!obj) {
		send_status(ctx, m->seq, m->peer, objid, UBUS_STATUS_NOT_FOUND, -1);
		return;
	}
	if (!tb[UBUS_ATTR_METHOD]) {
		send_status(ctx, m->seq, m->peer, objid, UBUS_STATUS_INVALID_ARGUMENT, -1);
		return;
	}
	const char *method = static_cast<const char *>(blob_data(tb[UBUS_ATTR_METHOD]));
	const struct ubus_method *found = nullptr;
	for (int i = 0; i < obj->n_methods && obj->methods; i++) {
		if (!obj->methods[i].name || !strcmp(obj->methods[i].name, method)) {
			found = &obj->methods[i];
			break;
		}
	}
	if (!found) {
		send_status(ctx, m->seq, m->peer, objid, UBUS_STATUS_METHOD_NOT_FOUND, -1);
		return;
	}
	if (!tb[UBUS_ATTR_DATA]) {
		send_status(ctx, m->seq, m->peer, objid, UBUS_STATUS_INVALID_ARGUMENT, -1);
		return;
	}
	struct ubus_request_data req;
	memset(&req, 0, sizeof(req));
	req.object = objid;
	req.peer = m->peer;
	req.seq = m->seq;
	req.fd = -1;
	req.req_fd = -1;
	if (tb[UBUS_ATTR_USER] && tb[UBUS_ATTR_GROUP]) {
		req.acl.user = static_cast<const char *>(blob_data(tb[UBUS_ATTR_USER]));
		req.acl.group = static_cast<const char *>(blob_data(tb[UBUS_ATTR_GROUP]));
		req.acl.object = obj->name;
	}
	req.no_reply = tb[UBUS_ATTR_NO_REPLY] && blob_get_u8(tb[UBUS_ATTR_NO_REPLY]);
	// Replies leave at once: a handler may keep working after ubus_send_reply().
	int ret =
		found->handler ? found->handler(ctx, obj, &req, method, tb[UBUS_ATTR_DATA]) : UBUS_STATUS_OK;
	if (req.req_fd >= 0)
		close(req.req_fd);
	if (!req.deferred && !req.no_reply)
		send_status(ctx, req.seq, req.peer, objid, ret, -1);
}

void add_object_data_cb(struct ubus_request *req, int type, struct blob_attr *msg)
{
	(void)type;
	auto *obj = static_cast<struct ubus_object *>(req->priv);
	struct blob_attr *tb[UBUS_ATTR_MAX];
	ubus_parse_body(msg, tb);
	if (!tb[UBUS_ATTR_OBJID])
		return;
	obj->id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
		obj->type->id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
	// Listed now: a call may arrive before the request completes, and it is
	// dispatched as soon as this synchronous request returns.
	if (!object_listed(req->ctx, obj))
		list_add_tail(&obj->avl.list, &req->ctx->objects.list_head);
}

void remove_object_data_cb(struct ubus_request *req, int type, struct blob_attr *msg)
{
	(void)type;
	auto *obj = static_cast<struct ubus_object *>(req->priv);
	struct blob_attr *tb[UBUS_ATTR_MAX];
	ubus_parse_body(msg, tb);
	if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
		obj->type->id = 0;
}

void put_signature(struct blob_buf *b, const struct ubus_object_type *type)
{
	void *sig = blob_nest_start(b, UBUS_ATTR_SIGNATURE);
	for (int i = 0; i < type->n_methods; i++) {
		const struct ubus_method *m = &type->methods[i];
		void *t = blobmsg_open_table(b, m->name);
		for (int j = 0; j < m->n_policy && m->policy; j++) {
			if (m->mask && !(m->mask & (1ul << j)))
				continue;
			if (!m->policy[j].name)
				continue;
			blobmsg_add_u32(b, m->policy[j].name, uint32_t(m->policy[j].type));
		}
		blobmsg_close_table(b, t);
	}
	blob_nest_end(b, sig);
}

struct lookup_req {
	ubus_lookup_handler_t cb;
	void *priv;
};

void lookup_data_cb(struct ubus_request *req, int type, struct blob_attr *msg)
{
	(void)type;
	auto *lr = static_cast<struct lookup_req *>(req->priv);
	struct blob_attr *tb[UBUS_ATTR_MAX];
	ubus_parse_body(msg, tb);
	if (!tb[UBUS_ATTR_OBJPATH] || !tb[UBUS_ATTR_OBJID] || !tb[UBUS_ATTR_OBJTYPE])
		return;
	if (blob_len(tb[UBUS_ATTR_OBJTYPE]) != 4)
		return;
	struct ubus_object_data od;
	od.id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	od.type_id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
	od.path = static_cast<const char *>(blob_data(tb[UBUS_ATTR_OBJPATH]));
	od.signature = tb[UBUS_ATTR_SIGNATURE];
	if (lr->cb)
		lr->cb(req->ctx, &od, lr->priv);
}

void lookup_id_cb(struct ubus_request *req, int type, struct blob_attr *msg)
{
	(void)type;
	struct blob_attr *tb[UBUS_ATTR_MAX];
	ubus_parse_body(msg, tb);
	if (tb[UBUS_ATTR_OBJID])
		*static_cast<uint32_t *>(req->priv) = blob_get_u32(tb[UBUS_ATTR_OBJID]);
}

int event_method_cb(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
		    const char *method, struct blob_attr *msg)
{
	(void)req;
	auto *ev = container_of(obj, struct ubus_event_handler, obj);
	if (ev->cb)
		ev->cb(ctx, ev, method, msg);
	return 0;
}

const struct ubus_method event_method = {nullptr, event_method_cb, 0, 0, nullptr, 0};

constexpr const char *status_text[__UBUS_STATUS_LAST] = {
	"Success",
	"Invalid command",
	"Invalid argument",
	"Method not found",
	"Not found",
	"No response",
	"Permission denied",
	"Request timed out",
	"Operation not supported",
	"Unknown error",
	"Connection failed",
	"Out of memory",
	"Parsing message data failed",
	"System error",
};

char unknown_text[32];

// Sends msg to the bus and waits for its status; raw_cb sees each data reply.
int bus_request(struct ubus_context *ctx, struct blob_attr *msg, int type, ubus_data_handler_t raw_cb,
		void *priv)
{
	struct ubus_request req;
	int ret = ubus_start_request(ctx, &req, msg, type, 0);
	if (ret)
		return ret;
	req.raw_data_cb = raw_cb;
	req.priv = priv;
	return ubus_complete_request(ctx, &req, 0);
}

} // namespace

void ubus_process_obj_msg(struct ubus_context *ctx, struct ubus_rx_msg *m)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];
	ubus_parse_body(m->body(), tb);
	switch (m->type) {
	case UBUS_MSG_INVOKE:
		process_invoke(ctx, m, tb);
		break;
	case UBUS_MSG_NOTIFY:
		if (tb[UBUS_ATTR_OBJID] && tb[UBUS_ATTR_ACTIVE]) {
			struct ubus_object *obj = find_object(ctx, blob_get_u32(tb[UBUS_ATTR_OBJID]));
			if (obj) {
				obj->has_subscribers = blob_get_u8(tb[UBUS_ATTR_ACTIVE]) != 0;
				if (obj->subscribe_cb)
					obj->subscribe_cb(ctx, obj);
			}
		}
		break;
	default:
		break;
	}
}

int ubus_add_object_request(struct ubus_context *ctx, struct ubus_object *obj)
{
	struct blob_buf *b = ubus_msg_buf();
	blob_buf_init(b, 0);
	if (obj->name && obj->type) {
		blob_put_string(b, UBUS_ATTR_OBJPATH, obj->name);
		if (obj->type->id)
			blob_put_u32(b, UBUS_ATTR_OBJTYPE, obj->type->id);
		else
			put_signature(b, obj->type);
	}
	int ret = bus_request(ctx, b->head, UBUS_MSG_ADD_OBJECT, add_object_data_cb, obj);
	if (ret)
		return ret;
	return obj->id ? 0 : UBUS_STATUS_NO_DATA;
}

extern "C" {

const char *ubus_strerror(int error)
{
	if (error >= 0 && error < __UBUS_STATUS_LAST)
		return status_text[error];
	snprintf(unknown_text, sizeof(unknown_text), "Unknown error: %d", error);
	return unknown_text;
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	if (!obj->name != !obj->type)
		return UBUS_STATUS_INVALID_ARGUMENT;
	if (object_listed(ctx, obj))
		return UBUS_STATUS_INVALID_ARGUMENT;
	obj->id = 0;
	int ret = ubus_add_object_request(ctx, obj);
	if (ret != 0 && object_listed(ctx, obj)) {
		obj->id = 0;
		list_del_init(&obj->avl.list);
	}
	return ret;
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	// the router's library asks the bus about id 0 here and passes on its "not found"
	if (!object_listed(ctx, obj))
		return UBUS_STATUS_NOT_FOUND;
	if (obj->id) {
		struct blob_buf *b = ubus_msg_buf();
		blob_buf_init(b, 0);
		blob_put_u32(b, UBUS_ATTR_OBJID, obj->id);
		int ret = bus_request(ctx, b->head, UBUS_MSG_REMOVE_OBJECT, remove_object_data_cb, obj);
		if (ret)
			return ret;
	}
	obj->id = 0;
	list_del_init(&obj->avl.list);
	return 0;
}

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv)
{
	struct blob_buf *b = ubus_msg_buf();
	blob_buf_init(b, 0);
	if (path)
		blob_put_string(b, UBUS_ATTR_OBJPATH, path);
	struct lookup_req lr = {cb, priv};
	return bus_request(ctx, b->head, UBUS_MSG_LOOKUP, lookup_data_cb, &lr);
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
	struct blob_buf *b = ubus_msg_buf();
	blob_buf_init(b, 0);
	if (path)
		blob_put_string(b, UBUS_ATTR_OBJPATH, path);
	return bus_request(ctx, b->head, UBUS_MSG_LOOKUP, lookup_id_cb, id);
}

int ubus_invoke_async_fd(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
			 struct ubus_request *req, int fd)
{
	struct blob_buf *b = ubus_msg_buf();
	blob_buf_init(b, 0);
	blob_put_u32(b, UBUS_ATTR_OBJID, obj);
	blob_put_string(b, UBUS_ATTR_METHOD, method);
	if (msg)
		blob_put(b, UBUS_ATTR_DATA, blob_data(msg), unsigned(blob_len(msg)));
	else
		blob_put(b, UBUS_ATTR_DATA, nullptr, 0);
	memset(req, 0, sizeof(*req));
	INIT_LIST_HEAD(&req->list);
	INIT_LIST_HEAD(&req->pending);
	req->fd = -1;
	req->ctx = ctx;
	req->peer = obj;
	req->seq = ++ctx->request_seq;
	int ret = ubus_send_msg(ctx, req->seq, b->head, UBUS_MSG_INVOKE, obj, fd);
	return ret < 0 ? UBUS_STATUS_INVALID_ARGUMENT : ret;
}

int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
		   ubus_data_handler_t cb, void *priv, int timeout, int fd)
{
	struct ubus_request req;
	int ret = ubus_invoke_async_fd(ctx, obj, method, msg, &req, fd);
	if (ret)
		return ret;
	req.data_cb = cb;
	req.priv = priv;
	return ubus_complete_request(ctx, &req, timeout);
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg)
{
	struct blob_buf *b = ubus_msg_buf();
	blob_buf_init(b, 0);
	blob_put_u32(b, UBUS_ATTR_OBJID, req->object);
	if (msg)
		blob_put(b, UBUS_ATTR_DATA, blob_data(msg), unsigned(blob_len(msg)));
	else
		blob_put(b, UBUS_ATTR_DATA, nullptr, 0);
	int ret = ubus_send_msg(ctx, req->seq, b->head, UBUS_MSG_DATA, req->peer, -1);
	if (ret > 0)
		return ret;
	return ret < 0 ? UBUS_STATUS_NO_DATA : 0;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req, int ret)
{
	send_status(ctx, req->seq, req->peer, req->object, ret, req->fd);
	req->fd = -1;
}

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *pattern)
{
	if (!ev->obj.id) {
		if (!ev->obj.name != !ev->obj.type)
			return UBUS_STATUS_INVALID_ARGUMENT;
		ev->obj.methods = &event_method;
		ev->obj.n_methods = 1;
		int ret = ubus_add_object(ctx, &ev->obj);
		if (ret)
			return ret;
	}
	blob_buf_init(&event_buf, 0);
	blobmsg_add_u32(&event_buf, "object", ev->obj.id);
	if (pattern)
		blobmsg_add_string(&event_buf, "pattern", pattern);
	return ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_EVENT, "register", event_buf.head, nullptr, nullptr, 0);
}

int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data)
{
	blob_buf_init(&event_buf, 0);
	blobmsg_add_string(&event_buf, "id", id);
	blobmsg_add_field(&event_buf, BLOBMSG_TYPE_TABLE, "data", data ? blob_data(data) : nullptr,
			  data ? unsigned(blob_len(data)) : 0);
	return ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_EVENT, "send", event_buf.head, nullptr, nullptr, 0);
}

} // extern "C"
