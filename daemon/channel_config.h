// SPDX-License-Identifier: ISC
// Channel configuration: fills the channel record from the "ravel_tools"
// package and the module table compiled into the daemon.
#pragma once

#include "link/at_channel.h"

inline constexpr int MODULE_TABLE_ROWS = 7;
extern const odu_module module_table[MODULE_TABLE_ROWS];

// Clears the channel record and loads the channel `channel_id` into it: the channel
// section of that name, then the first "rule" section whose model equals the
// channel's model (for options the channel section lacks entirely), then the
// module row whose name prefixes the model. Returns 0, or -1 when the id is
// empty, the package cannot be loaded, or server, proto or port stay empty.
int load_channel_config(const char *channel_id);
