// SPDX-License-Identifier: ISC
#include "daemon/service.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdlib>

#include "common/log.h"
#include "link/signals.h"
#include "link/at_channel.h"
#include "link/chat.h"
#include "link/link.h"
#include "link/poll.h"

// A result 4 or 6 this many times in a row is tolerated; the next one drops the link.
static constexpr int FAIL_LIMIT = 10;

service_link link_ops = {chat, attach_odu, disattach_odu, poll_catch_up, send_proto_notify};

const struct blobmsg_policy at_cmd_policy[AT_CMD_FIELD_COUNT] = {
	{.name = "cmd", .type = BLOBMSG_TYPE_STRING},
	{.name = "wait", .type = BLOBMSG_TYPE_INT32},
	{.name = "at_log_level", .type = BLOBMSG_TYPE_INT32},
	{.name = "block", .type = BLOBMSG_TYPE_INT32},
};

static const struct ubus_method service_methods[] = {
	UBUS_METHOD("at_cmd", handle_at_cmd, at_cmd_policy),
};

struct ubus_object_type service_type = UBUS_OBJECT_TYPE(channel.object_name, service_methods);

struct ubus_object service_object = {
	.avl = {},
	.name = channel.object_name,
	.id = 0,
	.path = nullptr,
	.type = &service_type,
	.subscribe_cb = nullptr,
	.has_subscribers = false,
	.methods = service_methods,
	.n_methods = ARRAY_SIZE(service_methods),
};

static struct blob_buf reply_buf;

static void judge_result(at_channel *ch, int code)
{
	switch (code) {
	case CHAT_WRITE_FAILED:
	case CHAT_TIMED_OUT:
		link_ops.detach(ch);
		break;
	case CHAT_NO_ANSWER:
	case CHAT_NOT_READY:
		if (++ch->fail_count > FAIL_LIMIT) {
			log_message(LOG_WARNING, "at fail,disattach_odu %s", ch->name);
			link_ops.detach(ch);
			ch->fail_count = 0;
		}
		break;
	case CHAT_OK:
		ch->fail_count = 0;
		break;
	default:
		break;
	}
}

// Moves the collected answer into the reply and leaves the record without one.
static void take_answer(at_channel *ch)
{
	if (!ch->answer)
		return;
	uint32_t len = ch->answer_len;
	if (len > AT_CMD_RESPONE_MAX)
		len = AT_CMD_RESPONE_MAX;
	ch->answer[len] = '\0';
	blobmsg_add_field(&reply_buf, BLOBMSG_TYPE_STRING, "respone", ch->answer, len + 1);
	free(ch->answer);
	ch->answer = nullptr;
	ch->answer_len = 0;
}

// Holds the call after its reply; a stop signal (the loop marked cancelled)
// ends the wait early so the daemon still stops at once. A signal that
// breaks the sleep is logged then, not after the whole hold.
static void hold_call(int32_t block)
{
	if (block <= 0)
		return;
	unsigned left = block > AT_CMD_BLOCK_MAX_SECONDS ? AT_CMD_BLOCK_MAX_SECONDS : block;
	while (left > 0 && !uloop_cancelled) {
		left = sleep(left);
		log_caught_signals();
	}
}

int handle_at_cmd(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
		  struct blob_attr *msg)
{
	struct blob_attr *tb[AT_CMD_FIELD_COUNT] = {};
	if (msg)
		blobmsg_parse(at_cmd_policy, AT_CMD_FIELD_COUNT, tb, blob_data(msg), blob_len(msg));

	int32_t wait = tb[AT_CMD_WAIT] ? static_cast<int32_t>(blobmsg_get_u32(tb[AT_CMD_WAIT])) : 0;
	if (wait <= 0)
		wait = AT_CMD_DEFAULT_WAIT;
	if (wait > AT_CMD_WAIT_MAX_MS)
		wait = AT_CMD_WAIT_MAX_MS;
	uint32_t trace_level = tb[AT_CMD_AT_LOG_LEVEL] ? blobmsg_get_u32(tb[AT_CMD_AT_LOG_LEVEL])
						       : AT_CMD_DEFAULT_TRACE_LEVEL;
	if (trace_level > 7)
		trace_level = AT_CMD_DEFAULT_TRACE_LEVEL;
	int32_t block = tb[AT_CMD_BLOCK] ? static_cast<int32_t>(blobmsg_get_u32(tb[AT_CMD_BLOCK])) : 0;

	const char *cmd = tb[AT_CMD_CMD] ? static_cast<const char *>(blobmsg_data(tb[AT_CMD_CMD])) : nullptr;
	if (!cmd || !*cmd)
		return 0;

	if (blob_buf_init(&reply_buf, 0) < 0)
		return UBUS_STATUS_NO_MEMORY;
	channel.trace_level = trace_level;

	int code = link_ops.chat(&channel, cmd, nullptr, wait);
	// A stop signal ended the exchange: the daemon is on its way out and the
	// link was not at fault, so it is left as it is.
	if (!uloop_cancelling())
		judge_result(&channel, code);

	take_answer(&channel);
	blobmsg_add_u32(&reply_buf, "code", static_cast<uint32_t>(code));
	ubus_send_reply(ctx, req, reply_buf.head);
	blob_buf_free(&reply_buf);

	hold_call(block);
	if (!uloop_cancelling())
		link_ops.catch_up(&channel);
	return 0;
}
