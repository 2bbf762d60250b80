// SPDX-License-Identifier: ISC
#include "cli/timeout.h"

#include <cstring>

static constexpr int64_t PER_COMMAND_MS = 3100;
static constexpr int64_t WAIT_MARGIN_MS = 200;
static constexpr int64_t MS_PER_SECOND = 1000;

call_timeout compute_call_timeout(const char *cmd, int32_t wait, int32_t block)
{
	call_timeout t{1, 0, false};
	const char *start = cmd ? cmd : "";
	for (const char *bar; (bar = strchr(start, '|')); start = bar + 1) {
		size_t len = static_cast<size_t>(bar - start);
		if (len > static_cast<size_t>(SEGMENT_LIMIT))
			t.long_segment = true;
		if (len > 0)
			t.segments++;
	}

	int64_t base = PER_COMMAND_MS * t.segments + PER_COMMAND_MS;
	if (wait > base)
		base = static_cast<int64_t>(wait) + WAIT_MARGIN_MS;
	int64_t ms = base + MS_PER_SECOND * block;
	if (ms < 1)
		ms = 1;
	if (ms > INT32_MAX)
		ms = INT32_MAX;
	t.ms = static_cast<int32_t>(ms);
	return t;
}
