// SPDX-License-Identifier: ISC
#include "daemon/bus.h"

#include <cstdio>
#include <syslog.h>

#include "common/log.h"
#include "daemon/netifd_watch.h"
#include "daemon/service.h"
#include "link/at_channel.h"
#include "link/link.h"

// The bus connection and the socket path given with -s (null: the
// library's default).
static struct ubus_context *bus_ctx;
static const char *bus_socket_path;

static struct uloop_timeout reconnect_timer;
static struct ubus_event_handler reset_event_handler;

// Subscribes the reset handler to "ravel.<channel id>.reset"; logs a failure.
static void register_reset_event(struct ubus_context *ctx);
// Drops the link and attaches it again at once.
static void on_reset_event(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *type,
			   struct blob_attr *msg);
// Connection-lost callback of the context: one reconnect attempt at once.
static void on_connection_lost(struct ubus_context *ctx);
// One reconnect attempt; on failure the next one follows in
// BUS_RECONNECT_SECONDS, without limit. The timer argument is not used.
static void bus_reconnect(struct uloop_timeout *timer);

int bus_start(const char *path)
{
	uloop_init();
	bus_socket_path = path;

	bus_ctx = ubus_connect(path);
	if (!bus_ctx)
		return -5;
	log_message(LOG_WARNING, "connected as %08x", bus_ctx->local_id);

	// Ids left from an earlier connection mean nothing on this one, and the
	// router's library keeps them after ubus_free().
	service_object.id = 0;
	service_object.type->id = 0;
	reset_event_handler.obj.id = 0;

	bus_ctx->connection_lost = on_connection_lost;
	register_reset_event(bus_ctx);
	netifd_watch_start(bus_ctx);
	ubus_add_uloop(bus_ctx);

	int ret = ubus_add_object(bus_ctx, &service_object);
	if (ret)
		log_message(LOG_ERR, "Failed to publish object '%s': %s", service_object.name,
			    ubus_strerror(ret));
	return 0;
}

void bus_stop()
{
	uloop_timeout_cancel(&reconnect_timer);
	if (bus_ctx)
		ubus_free(bus_ctx);
	bus_ctx = nullptr;
}

static void register_reset_event(struct ubus_context *ctx)
{
	char event[128] = {};
	snprintf(event, sizeof(event), "ravel.%s.reset", channel.name);

	reset_event_handler.cb = on_reset_event;
	if (ubus_register_event_handler(ctx, &reset_event_handler, event))
		log_message(LOG_ERR, "failed to add ubus event handler phy\n");
}

static void on_reset_event(struct ubus_context *, struct ubus_event_handler *, const char *,
			   struct blob_attr *)
{
	log_message(LOG_WARNING, "recieve event reset\n");
	link_ops.detach(&channel);
	link_ops.attach(&channel);
}

static void on_connection_lost(struct ubus_context *)
{
	bus_reconnect(nullptr);
}

static void bus_reconnect(struct uloop_timeout *)
{
	if (ubus_reconnect(bus_ctx, bus_socket_path)) {
		log_message(LOG_ERR, "failed to reconnect, trying again in %d seconds",
			    BUS_RECONNECT_SECONDS);
		reconnect_timer.cb = bus_reconnect;
		uloop_timeout_set(&reconnect_timer, BUS_RECONNECT_SECONDS * 1000);
		return;
	}

	uloop_timeout_cancel(&reconnect_timer);
	log_message(LOG_WARNING, "reconnected to ubus, new id: %08x", bus_ctx->local_id);
	ubus_add_uloop(bus_ctx);
	// The library publishes our objects again but not the event
	// subscriptions: without this the reset event and netifd's events are
	// lost for good after the bus daemon restarts.
	register_reset_event(bus_ctx);
	netifd_watch_renew(bus_ctx);
}
