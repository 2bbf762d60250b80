// SPDX-License-Identifier: ISC
// Link lifecycle of the channel: attach (a connect that the event loop
// finishes), detach, the link watch that reads what the module sends while
// no exchange runs, the link-state file and the proto notification.
#pragma once

#include <stdint.h>

#include "link/at_channel.h"

// attach_odu's results: attached (also when it already was), the connect
// failed, or the connect is on its way and the event loop finishes it.
constexpr int ATTACH_OK = 0;
constexpr int ATTACH_FAILED = -1;
constexpr int ATTACH_PENDING = 1;

// Milliseconds a connect may take before it is given up.
constexpr int LINK_CONNECT_TIMEOUT_MS = 2000;

// Starts the connect unless the link is attached (ATTACH_OK, nothing else)
// or a connect is on its way already (ATTACH_PENDING). A connect that ends
// at once (UDP, often TCP on loopback) attaches before the return; one that
// does not is finished by the loop within LINK_CONNECT_TIMEOUT_MS. On
// attach: "attach_odu ok", the state file with parameters, the proto
// notification, and the link watch. A failed connect leaves the record as it
// was and logs nothing more than the transport does.
int attach_odu(at_channel *ch);

// Whether a connect is on its way.
bool link_connecting(const at_channel *ch);

// Closes the link (not if already LINK_DETACHED) and gives up a connect on
// its way, clears readiness of a framed module and any held partial frame,
// rewrites the state file without parameters and re-arms the poll timer for
// 400 ms.
void disattach_odu(at_channel *ch);

// Start-up: removes a temporary link-state file that a killed daemon left,
// then one attach attempt, then the poll timer.
void attach_and_poll(at_channel *ch);

// What the loop would have done by now, for when a busy bus keeps it from
// the link's events: finishes or gives up a connect, reads pending text.
void link_catch_up(at_channel *ch);

// Shutdown: closes the link and a connect on its way without a word to
// anyone (no state file, no notification, no timer).
void link_close(at_channel *ch);

// Reads what the module sent while no exchange runs, at most `reads` reads
// (each handed to ch->take_pending). A module that closed a stream link is
// detached. Called by the link watch; tests may call it directly.
void link_read_pending(at_channel *ch, int reads);

// Logs at level 3 that a shared file under /tmp was refused (a planted link
// or a non-directory on its path), once per cause: *last keeps the cause last
// logged, and a write that succeeds clears it.
void note_file_status(int *last, int status, const char *dir, const char *name);

// The link-state document as indented JSON, a malloc'd text the caller frees
// (null on failure). Its file name, "ravel_tools_<name>", goes to name_out
// (at least LINK_STATE_NAME_SIZE bytes) when name_out is not null.
constexpr int LINK_STATE_NAME_SIZE = 128;
char *link_state_text(const at_channel *ch, bool with_parameters, char *name_out);

// Replaces the link-state file in the cache directory with link_state_text().
void write_link_state(const at_channel *ch, bool with_parameters);

// Tells "network.interface" through "notify_proto" that the channel's link is up.
void send_proto_notify(at_channel *ch);

// The link was lost while no request ran: one line at level 4 with the
// cause, the link dropped (and rebuilt by the poll timer), and the
// interface told that the link is not available. Quiet until attached again.
void link_gone(at_channel *ch, const char *cause);

// A datagram link rebuilt after a loss is reported available once the
// module has spoken; the poll run calls this.
void link_notify_if_heard(at_channel *ch);
