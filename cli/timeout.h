// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>

// Longest command the client lets stand before a "|". The daemon's own
// buffer for such a command is 64 bytes and holds 63 characters: it refuses
// a 64-character one with code 2. The client keeps its limit of 64.
constexpr int SEGMENT_LIMIT = 64;

struct call_timeout {
	int32_t ms;        // time-out to hand to the bus call, always at least 1
	int segments;      // non-empty commands found before a "|"
	bool long_segment; // a command before a "|" is longer than SEGMENT_LIMIT
};

// Time-out of one at_cmd call in milliseconds: 3100 per command before a "|"
// plus 3100 for the rest, raised to wait + 200 when wait is above that, plus
// 1000 per block second. The bus library takes 0 as "wait forever" and
// the sums may overflow a 32-bit int, so the result is kept in 1..INT32_MAX.
call_timeout compute_call_timeout(const char *cmd, int32_t wait, int32_t block);
