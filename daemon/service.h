// SPDX-License-Identifier: ISC
// The channel's bus object "ravel<channel id>" with its one method "at_cmd".
#pragma once

extern "C" {
#include <libubus.h>
}

struct at_channel;

// What the bus service and the reset event need of the link. It points at
// the link code; the service tests point it at a scripted stand-in.
struct service_link {
	int (*chat)(at_channel *ch, const char *line, const char *expect, int wait_ms);
	int (*attach)(at_channel *ch);
	void (*detach)(at_channel *ch);
	// Runs the link's overdue work after a request (see poll_catch_up).
	void (*catch_up)(at_channel *ch);
	// Tells the interface manager again that the link is available.
	void (*notify)(at_channel *ch);
};
extern service_link link_ops;

// Request fields of at_cmd, in policy order.
enum {
	AT_CMD_CMD,          // "cmd": the AT command line, commands separated by '|'
	AT_CMD_WAIT,         // "wait": ms to wait for each answer; 3000 when absent or <= 0, at most 300000
	AT_CMD_AT_LOG_LEVEL, // "at_log_level": trace level 0..7; 6 otherwise
	AT_CMD_BLOCK,        // "block": seconds to hold the call after the reply
	AT_CMD_FIELD_COUNT,
};

// Default answer wait (ms) and trace level of a request that names none.
constexpr int AT_CMD_DEFAULT_WAIT = 3000;
constexpr unsigned AT_CMD_DEFAULT_TRACE_LEVEL = 6;

// "wait" is capped likewise: one unanswered command must not hold the daemon
// for weeks. The whole request is bounded too (CHAT_ALARM_MAX_S).
constexpr int AT_CMD_WAIT_MAX_MS = 300 * 1000;

// "block" is capped: a larger value (a negative one read as unsigned
// included) would keep the whole daemon asleep for hours or days.
constexpr int AT_CMD_BLOCK_MAX_SECONDS = 300;

// The reply must fit one bus message (1 MiB); a longer answer is cut to this
// many bytes before it goes out as "respone".
constexpr unsigned AT_CMD_RESPONE_MAX = 1024 * 1024 - 1024;

extern const struct blobmsg_policy at_cmd_policy[AT_CMD_FIELD_COUNT];

// Both are named after channel.object_name and live for the whole process;
// the bus code publishes service_object.
extern struct ubus_object_type service_type;
extern struct ubus_object service_object;

// Runs the request's command line on the module and replies with "respone"
// (when there is an answer) and "code". Drops the link after a write failure
// or a time-out, and after the 11th result in a row without answer or with
// the module not ready. Sleeps "block" seconds after the reply, then runs
// what the link has overdue. Returns 0.
int handle_at_cmd(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
		  const char *method, struct blob_attr *msg);
