// SPDX-License-Identifier: ISC
// Keeps netifd's interface of the channel available while the link is
// attached. netifd starts the interface's protocol anew, unavailable, when
// it restarts and when a reload changes the interface's section; the only
// signs of it on the bus are the interface's object appearing and its
// "ifdown" event. On either, an attached link is announced again.
#pragma once

extern "C" {
#include <libubus.h>
}

// Subscribes to "ubus.object.add" and "network.interface" on a connection
// just made.
void netifd_watch_start(struct ubus_context *ctx);

// Subscribes again after a reconnect: the library publishes the handler's
// object again, but not its event patterns.
void netifd_watch_renew(struct ubus_context *ctx);

// Whether an event means that netifd may have forgotten that interface
// `name` is available: "network.interface.<name>" was published, or the
// interface went down.
bool netifd_event_needs_notify(const char *type, struct blob_attr *msg, const char *name);
