// SPDX-License-Identifier: ISC
// Periodic supervision of the link: attach while down, heartbeat, loss
// check; and what becomes of text the module sends on its own (the scan
// cache). No run waits for the module: its text is read when it arrives.
#pragma once

extern "C" {
#include <libubox/uloop.h>
}

#include <stddef.h>

#include "link/at_channel.h"

constexpr int POLL_INTERVAL_MS = 400;
constexpr const char *SCAN_KEY_FILE = "/tmp/lumen_async_key";
// A longer marker could not occur in one pending read.
constexpr size_t SCAN_KEY_MAX = 4096;
constexpr const char *SCAN_DEFAULT_MARKER = "QSCAN: ";
constexpr const char *SCAN_CACHE_FILE = "lumen_cache";
// The scan cache lives on the router's RAM-backed /tmp: past this size its
// oldest half is dropped.
constexpr size_t SCAN_CACHE_MAX = 256 * 1024;

// Sets poll_tick as the callback and arms the timer for 400 ms, replacing
// any pending expiry; hands poll_take_pending to the link as its handler of
// pending text.
void poll_timer_start(at_channel *ch);

// Runs what is overdue (a connect's end, pending text, the poll run itself)
// when a busy bus has kept the loop from it: the bus library dispatches
// every queued call in one go, so the loop's timers wait while callers keep
// coming. The bus method calls it after each request.
void poll_catch_up(at_channel *ch);

// One poll run; the timer is embedded in the record it belongs to.
void poll_tick(struct uloop_timeout *timer);

// A run that stands for `runs` runs of the rhythm (the ones a long request
// held up): one attach attempt and at most one heartbeat, and poll_count
// advanced by `runs`, so the heartbeat goes out when its run fell among them.
void poll_runs(at_channel *ch, unsigned runs);
constexpr int POLL_CATCH_UP_MAX_MS = 300 * 1000;

// What the poll timer does with text the module sent on its own: it goes to
// the scan cache when it holds the scan-report marker. Also used for the
// text read before a command is sent.
void poll_take_pending(at_channel *ch, const char *text, int len);

// Whether this run sends a heartbeat (framed modules only once ready); the
// caller counts the run with poll_count afterwards.
bool poll_heartbeat_due(const at_channel *ch);
bool poll_heartbeat_due_in(const at_channel *ch, unsigned runs);
