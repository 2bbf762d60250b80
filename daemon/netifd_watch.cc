// SPDX-License-Identifier: ISC
#include "daemon/netifd_watch.h"

#include <string.h>
#include <syslog.h>

extern "C" {
#include <libubox/blobmsg.h>
}

#include "common/log.h"
#include "link/at_channel.h"
#include "daemon/service.h"
#include "link/link.h"

namespace {

constexpr const char *OBJECT_ADD_EVENT = "ubus.object.add";
constexpr const char *INTERFACE_EVENT = "network.interface";
constexpr const char INTERFACE_PREFIX[] = "network.interface.";

struct ubus_event_handler netifd_handler;
netifd_watch_state watch_state;

// The text member `key` of msg, or null.
const char *string_member(struct blob_attr *msg, const char *key)
{
	if (!msg)
		return nullptr;
	const struct blobmsg_policy policy = {key, BLOBMSG_TYPE_STRING};
	struct blob_attr *found = nullptr;
	if (blobmsg_parse(&policy, 1, &found, blob_data(msg), blob_len(msg)) || !found)
		return nullptr;
	return blobmsg_get_string(found);
}

void on_netifd_event(struct ubus_context *, struct ubus_event_handler *, const char *type,
		     struct blob_attr *msg)
{
	// A datagram link rebuilt after a loss is not up until the module speaks.
	if (!netifd_should_notify(watch_state, netifd_event_of(type, msg, channel.name)) ||
	    channel.link_state != LINK_ATTACHED || channel.notify_when_heard)
		return;
	log_message(LOG_INFO, "netifd renewed interface %s (%s), notifying again", channel.name, type);
	link_ops.notify(&channel);
}

void subscribe(struct ubus_context *ctx, const char *pattern)
{
	netifd_handler.cb = on_netifd_event;
	if (ubus_register_event_handler(ctx, &netifd_handler, pattern))
		log_message(LOG_ERR, "failed to subscribe to %s: netifd restarts and reloads go unnoticed",
			    pattern);
}

} // namespace

void netifd_watch_start(struct ubus_context *ctx)
{
	// An id left from an earlier connection means nothing on this one.
	netifd_handler.obj.id = 0;
	netifd_watch_renew(ctx);
}

void netifd_watch_renew(struct ubus_context *ctx)
{
	subscribe(ctx, OBJECT_ADD_EVENT);
	subscribe(ctx, INTERFACE_EVENT);
}

netifd_event netifd_event_of(const char *type, struct blob_attr *msg, const char *name)
{
	if (!type || !name || !*name)
		return netifd_event::other;
	if (!strcmp(type, OBJECT_ADD_EVENT)) {
		const char *path = string_member(msg, "path");
		bool ours = path && !strncmp(path, INTERFACE_PREFIX, sizeof(INTERFACE_PREFIX) - 1) &&
			    !strcmp(path + sizeof(INTERFACE_PREFIX) - 1, name);
		return ours ? netifd_event::appeared : netifd_event::other;
	}
	if (!strcmp(type, INTERFACE_EVENT)) {
		const char *action = string_member(msg, "action");
		const char *iface = string_member(msg, "interface");
		if (!action || !iface || strcmp(iface, name) != 0)
			return netifd_event::other;
		if (!strcmp(action, "ifup"))
			return netifd_event::up;
		if (!strcmp(action, "ifdown"))
			return netifd_event::down;
	}
	return netifd_event::other;
}

bool netifd_should_notify(netifd_watch_state &state, netifd_event event)
{
	switch (event) {
	case netifd_event::appeared:
		state.phase = netifd_watch_state::answered; // a new netifd
		return true;
	case netifd_event::up:
		state.phase = netifd_watch_state::was_up;
		return false;
	case netifd_event::down:
		if (state.phase == netifd_watch_state::was_up) {
			state.phase = netifd_watch_state::going_down;
			return false;
		}
		if (state.phase == netifd_watch_state::going_down) {
			state.phase = netifd_watch_state::answered;
			return true;
		}
		return false;
	case netifd_event::other:
		break;
	}
	return false;
}
