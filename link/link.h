// SPDX-License-Identifier: ISC
// Link lifecycle of the channel: attach, detach, the link-state file, the
// proto notification and the loss supervision.
#pragma once

#include <stdint.h>

#include "link/at_channel.h"

// Connects the link unless it is attached already (then 0 and nothing else).
// On success: "attach_odu ok", state file with parameters, proto notification.
// -1 when the connect failed; the record is left unchanged.
int attach_odu(at_channel *ch);

// Closes the link (not if already LINK_DETACHED), clears readiness of a framed
// module, rewrites the state file without parameters and re-arms the poll
// timer for 400 ms.
void disattach_odu(at_channel *ch);

// Start-up: removes a temporary link-state file that a killed daemon left,
// then one attach attempt, then the poll timer.
void attach_and_poll(at_channel *ch);

// Whether the link is a byte stream (TCP): only there does a read of nothing
// or a failed write mean that the module has gone.
bool link_is_stream(const at_channel *ch);

// Logs at level 3 that a shared file under /tmp was refused (a planted link
// or a non-directory on its path), once per cause: *last keeps the cause last
// logged, and a write that succeeds clears it.
void note_file_status(int *last, int status, const char *dir, const char *name);

// The link-state document as indented JSON, a malloc'd text the caller frees
// (null on failure). Its file name, "ravel_tools_<name>", goes to name_out
// (at least LINK_STATE_NAME_SIZE bytes) when name_out is not null.
constexpr int LINK_STATE_NAME_SIZE = 128;
char *link_state_text(const at_channel *ch, int with_parameters, char *name_out);

// Replaces the link-state file in the cache directory with link_state_text().
void write_link_state(const at_channel *ch, int with_parameters);

// Tells "network.interface" through "notify_proto" that the channel's link is up.
void send_proto_notify(const at_channel *ch);

// Loss supervision. note: remember the first second of a loss (logged once);
// clear: text arrived; check: after more than 600 s of loss log the
// power-down notice and start over. link_lost_check_at takes the current
// uptime second instead of reading the clock.
constexpr uint32_t LINK_LOST_LIMIT_S = 600;
void link_lost_note(at_channel *ch);
void link_lost_clear(at_channel *ch);
void link_lost_check(at_channel *ch);
void link_lost_check_at(at_channel *ch, uint32_t now);
