// SPDX-License-Identifier: ISC
// The daemon's bus connection: start, reconnection after a loss, the
// channel's reset event, and the end.
#pragma once

extern "C" {
#include <libubus.h>
}

// Seconds between reconnect attempts while the bus is lost.
constexpr int BUS_RECONNECT_SECONDS = 2;

// Initialises the event loop, connects to the bus at path (null: the
// library's default socket), subscribes to "ravel.<channel id>.reset" and
// publishes the service object. Returns 0 when connected (also when the
// object could not be published, which is logged), -5 when the bus cannot be
// reached. The channel record must be loaded before.
int bus_start(const char *path);

// Frees the bus connection; called once, after the event loop has ended.
void bus_stop();
