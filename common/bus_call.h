// SPDX-License-Identifier: ISC
// One synchronous call of another bus object's method, on a bus connection
// of its own that lives only for the call.
#pragma once

struct bus_call {
	const char *method;  // required, non-empty
	const char *path;    // object path, required, non-empty
	const char *message; // JSON text (single quotes accepted), or null for an empty message
	char *reply;         // last reply message as indented JSON; null or a heap text the caller frees
};

constexpr int BUS_CALL_TIMEOUT_MS = 3000;

// Connects to the library's default socket, sends the call and waits up to
// 3000 ms for its completion. 0 once the call was made (whatever its bus
// status), -1 on a failure before it. A reply replaces call->reply (the
// previous text is freed).
int bus_call_once(bus_call *call);
