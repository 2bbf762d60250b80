// SPDX-License-Identifier: ISC
// Connection, framing, sending and the request machinery of the client library.
#include "ubus_internal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr uint32_t HDR_LEN = sizeof(struct ubus_msghdr);
constexpr uint32_t RX_MAX = HDR_LEN + UBUS_MAX_MSGLEN + UBUS_MSG_CHUNK_SIZE;

struct blob_buf msg_buf;

// Expected wire type per attribute id: what the library insists on before it
// looks at an attribute. 0 = not checked.
enum check { ANY, U8, U32, STR, NESTED };
constexpr check attr_check[UBUS_ATTR_MAX] = {
	ANY, U32, STR, U32, STR, ANY, ANY, ANY, ANY, U8, U8, NESTED, STR, STR,
};

bool nested_ok(struct blob_attr *attr)
{
	uint32_t rem = blob_len(attr);
	const uint8_t *p = static_cast<const uint8_t *>(blob_data(attr));
	while (rem > 0) {
		if (rem < 4)
			return false;
		auto *child = reinterpret_cast<struct blob_attr *>(const_cast<uint8_t *>(p));
		uint32_t raw = blob_raw_len(child);
		if (raw < 4 || raw > rem)
			return false;
		uint32_t pad = ubus_pad4(raw);
		if (pad >= rem)
			break;
		rem -= pad;
		p += pad;
	}
	return true;
}

bool attr_ok(struct blob_attr *attr, check c)
{
	size_t len = blob_len(attr);
	switch (c) {
	case U8:
		return len == 1;
	case U32:
		return len == 4;
	case STR:
		return len >= 1 && static_cast<const char *>(blob_data(attr))[len - 1] == 0;
	case NESTED:
		return nested_ok(attr);
	default:
		return true;
	}
}

int64_t now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct ubus_request *find_request(struct ubus_context *ctx, uint16_t seq, uint32_t peer)
{
	struct list_head *p;
	list_for_each (p, &ctx->requests) {
		auto *req = container_of(p, struct ubus_request, list);
		if (req->seq == seq && req->peer == peer)
			return req;
	}
	return nullptr;
}

void set_req_status(struct ubus_request *req, int status)
{
	if (!list_empty(&req->list))
		list_del_init(&req->list);
	req->status_msg = true;
	req->status_code = status;
	if (req->complete_cb)
		req->complete_cb(req, status);
}

void process_reply(struct ubus_context *ctx, struct ubus_rx_msg *m)
{
	struct ubus_request *req = find_request(ctx, m->seq, m->peer);
	if (!req)
		return; // late reply after a time-out, or nobody asked
	struct blob_attr *tb[UBUS_ATTR_MAX];
	ubus_parse_body(m->body(), tb);
	if (m->type == UBUS_MSG_DATA) {
		if (req->raw_data_cb)
			req->raw_data_cb(req, UBUS_MSG_DATA, m->body());
		if (req->data_cb && tb[UBUS_ATTR_DATA])
			req->data_cb(req, UBUS_MSG_DATA, tb[UBUS_ATTR_DATA]);
		return;
	}
	int status =
		tb[UBUS_ATTR_STATUS] ? int(blob_get_u32(tb[UBUS_ATTR_STATUS])) : UBUS_STATUS_INVALID_ARGUMENT;
	set_req_status(req, status);
}

void process_pending(struct ubus_context *ctx)
{
	while (ctx->stack_depth == 0 && !list_empty(&ctx->pending)) {
		auto *m = list_first_entry(&ctx->pending, struct ubus_rx_msg, list);
		list_del(&m->list);
		ubus_process_obj_msg(ctx, m);
		free(m);
	}
}

void pending_timer_cb(struct uloop_timeout *t)
{
	process_pending(container_of(t, struct ubus_context, pending_timer));
}

void dispatch(struct ubus_context *ctx, struct ubus_rx_msg *m)
{
	switch (m->type) {
	case UBUS_MSG_STATUS:
	case UBUS_MSG_DATA:
		process_reply(ctx, m);
		break;
	case UBUS_MSG_INVOKE:
	case UBUS_MSG_NOTIFY:
	case UBUS_MSG_UNSUBSCRIBE:
		if (ctx->stack_depth > 0) {
			// not re-entrant: handled once the outermost synchronous call returns
			list_add_tail(&m->list, &ctx->pending);
			return;
		}
		ubus_process_obj_msg(ctx, m);
		break;
	default:
		break;
	}
	free(m);
}

// Dispatches every complete message in the receive buffer. Returns -1 when the
// stream is malformed.
int rx_dispatch(struct ubus_context *ctx)
{
	for (;;) {
		uint32_t avail = ctx->rx_len - ctx->rx_off;
		if (avail < HDR_LEN + 4)
			return 0;
		const uint8_t *p = ctx->rx_buf + ctx->rx_off;
		uint32_t id_len;
		memcpy(&id_len, p + HDR_LEN, 4);
		uint32_t raw = ntohl(id_len) & 0xffffffu;
		if (raw < 4 || ubus_pad4(raw) > UBUS_MAX_MSGLEN)
			return -1;
		if (avail < HDR_LEN + raw)
			return 0;
		auto *m = static_cast<struct ubus_rx_msg *>(
			malloc(sizeof(struct ubus_rx_msg) + ubus_pad4(raw)));
		if (!m)
			return -1;
		struct ubus_msghdr hdr;
		memcpy(&hdr, p, HDR_LEN);
		m->type = hdr.type;
		m->seq = ntohs(hdr.seq);
		m->peer = ntohl(hdr.peer);
		m->body_len = raw;
		memcpy(m->body(), p + HDR_LEN, raw);
		memset(reinterpret_cast<uint8_t *>(m->body()) + raw, 0, ubus_pad4(raw) - raw);
		ctx->rx_off += HDR_LEN + raw;
		if (ctx->rx_off == ctx->rx_len)
			ctx->rx_off = ctx->rx_len = 0;
		dispatch(ctx, m);
	}
}

// Makes room for at least `want` more bytes. False when over the limit.
bool rx_reserve(struct ubus_context *ctx, uint32_t want)
{
	if (ctx->rx_off > 0 && ctx->rx_size - ctx->rx_len < want) {
		memmove(ctx->rx_buf, ctx->rx_buf + ctx->rx_off, ctx->rx_len - ctx->rx_off);
		ctx->rx_len -= ctx->rx_off;
		ctx->rx_off = 0;
	}
	if (ctx->rx_size - ctx->rx_len >= want)
		return true;
	uint32_t size = ctx->rx_size + UBUS_MSG_CHUNK_SIZE;
	while (size - ctx->rx_len < want)
		size += UBUS_MSG_CHUNK_SIZE;
	if (size > RX_MAX)
		return false;
	auto *nb = static_cast<uint8_t *>(realloc(ctx->rx_buf, size));
	if (!nb)
		return false;
	ctx->rx_buf = nb;
	ctx->rx_size = size;
	return true;
}

// One read(): 1 when bytes arrived, 0 when none are available, -1 on EOF/error.
int rx_read_once(struct ubus_context *ctx)
{
	if (ctx->sock.fd < 0)
		return -1;
	if (!rx_reserve(ctx, 4096))
		return -1;
	for (;;) {
		ssize_t n = read(ctx->sock.fd, ctx->rx_buf + ctx->rx_len, ctx->rx_size - ctx->rx_len);
		if (n > 0) {
			ctx->rx_len += uint32_t(n);
			return 1;
		}
		if (n == 0)
			return -1;
		if (errno == EINTR)
			continue;
		return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
	}
}

void connection_lost(struct ubus_context *ctx)
{
	int fd = ctx->sock.fd;
	while (!list_empty(&ctx->requests)) {
		auto *req = list_first_entry(&ctx->requests, struct ubus_request, list);
		set_req_status(req, UBUS_STATUS_TIMEOUT);
	}
	if (ctx->connection_lost)
		ctx->connection_lost(ctx);
	// Without this a half-closed socket would report readable forever.
	if (ctx->sock.fd == fd && ctx->sock.eof && ctx->sock.registered)
		uloop_fd_delete(&ctx->sock);
}

void default_connection_lost(struct ubus_context *ctx)
{
	if (ctx->sock.registered)
		uloop_end();
}

// Reads and dispatches what the socket has. Returns false on EOF.
bool pump(struct ubus_context *ctx)
{
	for (;;) {
		int r = rx_read_once(ctx);
		if (r < 0 || (r > 0 && rx_dispatch(ctx) < 0)) {
			ctx->sock.eof = true;
			return false;
		}
		if (r == 0 || ctx->sock.eof)
			return !ctx->sock.eof;
	}
}

void handle_data(struct uloop_fd *u, unsigned int events)
{
	(void)events;
	struct ubus_context *ctx = container_of(u, struct ubus_context, sock);
	if (ctx->stack_depth == 0)
		process_pending(ctx);
	if (!pump(ctx))
		connection_lost(ctx);
}

bool read_full(int fd, void *buf, size_t len)
{
	auto *p = static_cast<uint8_t *>(buf);
	while (len > 0) {
		ssize_t n = read(fd, p, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		p += n;
		len -= size_t(n);
	}
	return true;
}

// HELLO is one 12-byte read; the peer field becomes local_id unconverted.
bool read_hello(struct ubus_context *ctx, int fd)
{
	uint8_t buf[HDR_LEN + 4];
	ssize_t n;
	do
		n = read(fd, buf, sizeof(buf));
	while (n < 0 && errno == EINTR);
	if (n != ssize_t(sizeof(buf)))
		return false;
	struct ubus_msghdr hdr;
	memcpy(&hdr, buf, HDR_LEN);
	uint32_t id_len;
	memcpy(&id_len, buf + HDR_LEN, 4);
	uint32_t raw = ntohl(id_len) & 0xffffffu;
	if (hdr.version != 0 || hdr.type != UBUS_MSG_HELLO || raw < 4 || ubus_pad4(raw) > UBUS_MAX_MSGLEN)
		return false;
	for (uint32_t rest = raw - 4; rest > 0;) {
		uint8_t skip[256];
		uint32_t chunk = rest < sizeof(skip) ? rest : uint32_t(sizeof(skip));
		if (!read_full(fd, skip, chunk))
			return false;
		rest -= chunk;
	}
	ctx->local_id = hdr.peer;
	return ctx->local_id > 1;
}

void drop_pending(struct ubus_context *ctx)
{
	while (!list_empty(&ctx->pending)) {
		auto *m = list_first_entry(&ctx->pending, struct ubus_rx_msg, list);
		list_del(&m->list);
		free(m);
	}
}

int cmp_obj_id(const void *a, const void *b)
{
	uint32_t x = (*static_cast<struct ubus_object *const *>(a))->id;
	uint32_t y = (*static_cast<struct ubus_object *const *>(b))->id;
	return x < y ? -1 : x > y;
}

} // namespace

struct blob_buf *ubus_msg_buf()
{
	return &msg_buf;
}

void ubus_parse_body(struct blob_attr *body, struct blob_attr **tb)
{
	// NOLINTNEXTLINE(bugprone-sizeof-expression): an array of attribute pointers
	memset(tb, 0, sizeof(*tb) * UBUS_ATTR_MAX);
	uint32_t rem = blob_len(body);
	auto *p = static_cast<uint8_t *>(blob_data(body));
	while (rem >= 4) {
		auto *attr = reinterpret_cast<struct blob_attr *>(p);
		uint32_t raw = blob_raw_len(attr);
		if (raw < 4 || raw > rem)
			break;
		unsigned id = blob_id(attr);
		if (id < UBUS_ATTR_MAX && !blob_is_extended(attr) && attr_ok(attr, attr_check[id]))
			tb[id] = attr;
		uint32_t pad = ubus_pad4(raw);
		if (pad >= rem)
			break;
		rem -= pad;
		p += pad;
	}
}

namespace {

// Writes the whole iovec (blocking in poll() when the socket is full); the fd,
// if any, rides on the first chunk. False when the connection failed.
bool send_iov(struct ubus_context *ctx, struct iovec *v, int nv, int fd)
{
	bool first = true;
	while (nv > 0) {
		union {
			struct cmsghdr h;
			char buf[CMSG_SPACE(sizeof(int))];
		} cm;
		struct msghdr mh;
		memset(&mh, 0, sizeof(mh));
		mh.msg_iov = v;
		mh.msg_iovlen = size_t(nv);
		if (first && fd >= 0) {
			memset(&cm, 0, sizeof(cm));
			mh.msg_control = cm.buf;
			mh.msg_controllen = sizeof(cm.buf);
			struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
			c->cmsg_level = SOL_SOCKET;
			c->cmsg_type = SCM_RIGHTS;
			c->cmsg_len = CMSG_LEN(sizeof(int));
			memcpy(CMSG_DATA(c), &fd, sizeof(int));
		}
		ssize_t n = sendmsg(ctx->sock.fd, &mh, MSG_NOSIGNAL);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK) {
				struct pollfd pfd = {ctx->sock.fd, POLLOUT, 0};
				poll(&pfd, 1, -1);
				continue;
			}
			ctx->sock.eof = true;
			return false;
		}
		first = false;
		size_t done = size_t(n);
		while (nv > 0 && done >= v->iov_len) {
			done -= v->iov_len;
			v++;
			nv--;
		}
		if (nv > 0) {
			v->iov_base = static_cast<uint8_t *>(v->iov_base) + done;
			v->iov_len -= done;
		}
	}
	return true;
}

} // namespace

int ubus_send_msg(struct ubus_context *ctx, uint16_t seq, struct blob_attr *msg, int type, uint32_t peer,
		  int fd)
{
	struct ubus_msghdr hdr = {0, uint8_t(type), htons(seq), htonl(peer)};
	uint32_t len = uint32_t(blob_raw_len(msg));
	int ret = 0;
	if (ubus_pad4(len) > UBUS_MAX_MSGLEN) {
		ret = UBUS_STATUS_INVALID_ARGUMENT;
	} else if (ctx->sock.fd < 0 || ctx->sock.eof) {
		ret = -1;
	} else {
		struct iovec iov[2] = {{&hdr, HDR_LEN}, {msg, len}};
		if (!send_iov(ctx, iov, 2, fd))
			ret = -1;
	}
	if (fd >= 0)
		close(fd);
	return ret;
}

int ubus_start_request(struct ubus_context *ctx, struct ubus_request *req, struct blob_attr *msg, int type,
		       uint32_t peer)
{
	memset(req, 0, sizeof(*req));
	INIT_LIST_HEAD(&req->list);
	INIT_LIST_HEAD(&req->pending);
	req->fd = -1;
	req->ctx = ctx;
	req->peer = peer;
	req->seq = ++ctx->request_seq;
	int ret = ubus_send_msg(ctx, req->seq, msg, type, peer, -1);
	if (ret < 0)
		return UBUS_STATUS_INVALID_ARGUMENT; // as the reference reports a dead connection
	return ret;
}

extern "C" {

void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req)
{
	if (!list_empty(&req->list) || req->status_msg)
		return;
	list_add_tail(&req->list, &ctx->requests);
}

void ubus_abort_request(struct ubus_context *ctx, struct ubus_request *req)
{
	(void)ctx;
	if (!list_empty(&req->list))
		list_del_init(&req->list);
}

int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout)
{
	ubus_complete_request_async(ctx, req);
	req->blocked = true;
	ctx->stack_depth++;
	int64_t deadline = timeout > 0 ? now_ms() + timeout : 0;
	bool lost = false;
	while (!req->status_msg) {
		if (rx_dispatch(ctx) < 0)
			ctx->sock.eof = true;
		if (req->status_msg)
			break;
		if (ctx->sock.eof || ctx->sock.fd < 0) {
			lost = true;
			break;
		}
		int wait = -1;
		if (timeout > 0) {
			int64_t left = deadline - now_ms();
			if (left <= 0) {
				ubus_abort_request(ctx, req);
				req->status_msg = true;
				req->status_code = UBUS_STATUS_TIMEOUT;
				if (req->complete_cb)
					req->complete_cb(req, UBUS_STATUS_TIMEOUT);
				break;
			}
			wait = int(left);
		}
		struct pollfd pfd = {ctx->sock.fd, POLLIN, 0};
		int n = poll(&pfd, 1, wait);
		if (n < 0 && errno != EINTR) {
			ctx->sock.eof = true;
			continue;
		}
		if (n > 0)
			pump(ctx);
	}
	ctx->stack_depth--;
	req->blocked = false;
	if (lost) {
		ubus_abort_request(ctx, req);
		connection_lost(ctx);
		req->status_msg = true;
		req->status_code = UBUS_STATUS_CONNECTION_FAILED;
	}
	if (ctx->stack_depth == 0 && !list_empty(&ctx->pending)) {
		if (ctx->sock.registered)
			uloop_timeout_set(&ctx->pending_timer, 1);
		else
			process_pending(ctx);
	}
	return req->status_code;
}

int ubus_feed_bytes(struct ubus_context *ctx, const uint8_t *data, size_t len)
{
	while (len > 0) {
		uint32_t chunk = len > 4096 ? 4096 : uint32_t(len);
		if (!rx_reserve(ctx, chunk))
			return -1;
		memcpy(ctx->rx_buf + ctx->rx_len, data, chunk);
		ctx->rx_len += chunk;
		data += chunk;
		len -= chunk;
		if (rx_dispatch(ctx) < 0)
			return -1;
	}
	return 0;
}

int ubus_reconnect(struct ubus_context *ctx, const char *path)
{
	if (ctx->sock.registered)
		uloop_fd_delete(&ctx->sock);
	if (ctx->sock.fd >= 0)
		close(ctx->sock.fd);
	ctx->sock.fd = -1;
	ctx->rx_off = ctx->rx_len = 0;
	drop_pending(ctx);
	while (!list_empty(&ctx->requests)) {
		auto *req = list_first_entry(&ctx->requests, struct ubus_request, list);
		set_req_status(req, UBUS_STATUS_TIMEOUT);
	}

	if (!path)
		path = UBUS_UNIX_SOCKET;
	struct sockaddr_un sun;
	memset(&sun, 0, sizeof(sun));
	sun.sun_family = AF_UNIX;
	if (strlen(path) >= sizeof(sun.sun_path))
		return UBUS_STATUS_CONNECTION_FAILED;
	memcpy(sun.sun_path, path, strlen(path));
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return UBUS_STATUS_CONNECTION_FAILED;
	int r;
	do
		r = connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun));
	while (r < 0 && errno == EINTR);
	if (r < 0) {
		close(fd);
		return UBUS_STATUS_CONNECTION_FAILED;
	}
	if (!read_hello(ctx, fd)) {
		close(fd);
		return UBUS_STATUS_UNKNOWN_ERROR;
	}
	fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
	ctx->sock.fd = fd;
	ctx->sock.eof = false;
	ctx->sock.error = false;

	// Publish again what was published before, oldest id first; ids are new.
	int n = 0;
	struct list_head *p;
	list_for_each (p, &ctx->objects.list_head)
		n++;
	if (n == 0)
		return 0;
	auto **objs = static_cast<struct ubus_object **>(calloc(size_t(n), sizeof(struct ubus_object *)));
	if (!objs)
		return UBUS_STATUS_NO_MEMORY;
	int i = 0;
	list_for_each (p, &ctx->objects.list_head)
		objs[i++] = container_of(p, struct ubus_object, avl.list);
	// NOLINTNEXTLINE(bugprone-sizeof-expression): an array of object pointers
	qsort(objs, size_t(n), sizeof(*objs), cmp_obj_id);
	for (i = 0; i < n; i++) {
		objs[i]->id = 0;
		if (objs[i]->type)
			objs[i]->type->id = 0;
	}
	for (i = 0; i < n; i++)
		ubus_add_object_request(ctx, objs[i]);
	free(objs);
	return 0;
}

int ubus_connect_ctx(struct ubus_context *ctx, const char *path)
{
	memset(ctx, 0, sizeof(*ctx));
	INIT_LIST_HEAD(&ctx->requests);
	INIT_LIST_HEAD(&ctx->pending);
	INIT_LIST_HEAD(&ctx->objects.list_head);
	ctx->sock.fd = -1;
	ctx->sock.cb = handle_data;
	ctx->pending_timer.cb = pending_timer_cb;
	ctx->connection_lost = default_connection_lost;
	uloop_init();
	if (ubus_reconnect(ctx, path) != 0) {
		ubus_shutdown(ctx);
		return -1;
	}
	return 0;
}

struct ubus_context *ubus_connect(const char *path)
{
	auto *ctx = static_cast<struct ubus_context *>(calloc(1, sizeof(struct ubus_context)));
	if (!ctx)
		return nullptr;
	if (ubus_connect_ctx(ctx, path) != 0) {
		free(ctx);
		return nullptr;
	}
	return ctx;
}

void ubus_shutdown(struct ubus_context *ctx)
{
	if (!ctx)
		return;
	if (ctx->sock.registered)
		uloop_fd_delete(&ctx->sock);
	if (ctx->sock.fd >= 0)
		close(ctx->sock.fd);
	ctx->sock.fd = -1;
	uloop_timeout_cancel(&ctx->pending_timer);
	drop_pending(ctx);
	// Registered objects and event handlers are left as they are, ids
	// included, as the router's library leaves them: a program may end with
	// handlers that lived on stack frames long gone. One that publishes them
	// again on a new connection clears those ids first.
	free(ctx->rx_buf);
	ctx->rx_buf = nullptr;
	ctx->rx_size = ctx->rx_off = ctx->rx_len = 0;
}

void ubus_free(struct ubus_context *ctx)
{
	if (!ctx)
		return;
	ubus_shutdown(ctx);
	free(ctx);
}

static void auto_reconnect_cb(struct uloop_timeout *t);

static void auto_connection_lost(struct ubus_context *ctx)
{
	auto *conn = container_of(ctx, struct ubus_auto_conn, ctx);
	if (!conn->timer.pending)
		uloop_timeout_set(&conn->timer, 1000);
}

static void auto_reconnect_cb(struct uloop_timeout *t)
{
	auto *conn = container_of(t, struct ubus_auto_conn, timer);
	if (ubus_reconnect(&conn->ctx, conn->path) != 0) {
		uloop_timeout_set(t, 1000);
		return;
	}
	ubus_add_uloop(&conn->ctx);
}

static void auto_connect_cb(struct uloop_timeout *t)
{
	auto *conn = container_of(t, struct ubus_auto_conn, timer);
	if (ubus_connect_ctx(&conn->ctx, conn->path) != 0) {
		fputs("failed to connect to ubus\n", stderr);
		uloop_timeout_set(t, 1000);
		return;
	}
	conn->ctx.connection_lost = auto_connection_lost;
	conn->timer.cb = auto_reconnect_cb;
	ubus_add_uloop(&conn->ctx);
	if (conn->cb)
		conn->cb(&conn->ctx);
}

void ubus_auto_connect(struct ubus_auto_conn *conn)
{
	conn->timer.cb = auto_connect_cb;
	auto_connect_cb(&conn->timer);
}

} // extern "C"
