// SPDX-License-Identifier: ISC
// Loss supervision of the module: the first second a loss was noticed, and
// the power-down notice after a long one.
#pragma once

#include <stdint.h>

#include "link/at_channel.h"

// note: remember the first second of a loss (logged once); clear: text
// arrived; check: after more than 600 s of loss log the power-down notice
// and start over. link_lost_check_at takes the current uptime second
// instead of reading the clock.
constexpr uint32_t LINK_LOST_LIMIT_S = 600;
void link_lost_note(at_channel *ch);
void link_lost_clear(at_channel *ch);
void link_lost_check(at_channel *ch);
void link_lost_check_at(at_channel *ch, uint32_t now);

// The module sent something (any bytes, also a frame without text).
void link_heard(at_channel *ch);

// Heartbeats in a row with nothing heard from the module after which it
// counts as gone and the link is rebuilt.
constexpr int LINK_MISSED_HEARTBEATS_MAX = 3;

// Before a heartbeat goes out: counts it as missed when nothing was heard
// since the last one. True when the module now counts as gone. A framed
// module, which need not answer heartbeats, is judged only once it has been
// heard between two of them.
bool link_heartbeat_missed(at_channel *ch);
