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
