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

// What an event tells of the channel's interface `name`.
enum class netifd_event {
	other,
	appeared, // "network.interface.<name>" published: netifd (re)started
	up,       // "ifup"
	down,     // "ifdown": a reload, an operator, or a setup that failed
};
netifd_event netifd_event_of(const char *type, struct blob_attr *msg, const char *name);

// Whether to notify again after an event. netifd sends "ifdown" twice when
// an interface that was up goes down (as the teardown starts and once it is
// done; a reload re-creates the protocol after the second), and once when a
// setup fails (its device is missing). So the second down after an up is
// answered; a single down after that answer is a setup that failed, and is
// not retried until the interface was up again or netifd restarted.
struct netifd_watch_state {
	enum { was_up, going_down, answered } phase = was_up;
};
bool netifd_should_notify(netifd_watch_state &state, netifd_event event);
