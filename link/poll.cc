#include "link/poll.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "common/files.h"
#include "link/chat.h"
#include "link/link.h"

namespace {

at_channel *channel_of(uloop_timeout *timer)
{
	return reinterpret_cast<at_channel *>(reinterpret_cast<char *>(timer) -
					      offsetof(at_channel, poll_timer));
}

bool heartbeat_step_runs(const at_channel *ch)
{
	return !channel_is_framed(ch) || ch->rgmii_ready == 1;
}

} // namespace

void poll_timer_start(at_channel *ch)
{
	if (!ch)
		return;
	ch->poll_timer.cb = poll_tick;
	ch->poll_interval = POLL_INTERVAL_MS;
	uloop_timeout_set(&ch->poll_timer, POLL_INTERVAL_MS);
}

bool poll_heartbeat_due(const at_channel *ch)
{
	if (!heartbeat_step_runs(ch) || ch->heartbeat_interval == 0)
		return false;
	int period = ch->heartbeat_interval / POLL_INTERVAL_MS;
	if (period <= 0)
		period = 1;
	return static_cast<unsigned>(ch->poll_count) % static_cast<unsigned>(period) == 0;
}

void poll_take_pending(at_channel *, const char *text, int len)
{
	if (!text || len <= 0)
		return;
	char *key = read_whole_file(SCAN_KEY_FILE);
	const char *marker = key ? key : SCAN_DEFAULT_MARKER;
	if (memmem(text, static_cast<size_t>(len), marker, strlen(marker)))
		append_tmp_file(SCAN_CACHE_FILE, text);
	free(key);
}

void poll_tick(uloop_timeout *timer)
{
	at_channel *ch = channel_of(timer);

	if (ch->link_state == LINK_ATTACHED || attach_odu(ch) == 0) {
		if (heartbeat_step_runs(ch)) {
			if (poll_heartbeat_due(ch))
				chat_send(ch, channel_is_framed(ch) ? "HEARBEAT_REQ" : "AT\r");
			ch->poll_count = static_cast<int>(static_cast<unsigned>(ch->poll_count) + 1);
		}

		char *text = nullptr;
		int len = 0;
		chat_read_pending(ch, &text, &len, POLL_PENDING_WAIT_MS);
		poll_take_pending(ch, text, len);
		free(text);
	}

	uloop_timeout_set(&ch->poll_timer, static_cast<int>(ch->poll_interval));
	link_lost_check(ch);
}
