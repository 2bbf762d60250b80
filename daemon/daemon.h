// Daemon-wide state shared by the entry, the bus code and the chat engine.
#pragma once

#include <signal.h>

struct ubus_context;

// Number of the last signal caught by on_signal; 0 at start. The chat engine
// clears it before arming its alarm and tests it for SIGALRM.
extern volatile sig_atomic_t last_signal;

// 1 when started with -d: the chat engine writes extra level-7 traces.
extern int debug_mode;

// The bus connection and the socket path given with -s (null: the library's
// default). Both are defined and kept by the bus connection code (bus.cc).
extern struct ubus_context *bus_ctx;
extern const char *bus_socket_path;
