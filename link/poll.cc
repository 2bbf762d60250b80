// SPDX-License-Identifier: ISC
#include "link/poll.h"

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "common/files.h"
#include "common/log.h"
#include "common/own.h"
#include "link/chat.h"
#include "link/link.h"
#include "link/loss.h"

namespace {

int scan_cache_refused = FILE_WRITTEN;
bool scan_cache_trimmed = false;

at_channel *channel_of(uloop_timeout *timer)
{
	return container_of(timer, at_channel, poll_timer);
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
	ch->take_pending = poll_take_pending;
	ch->poll_timer.cb = poll_tick;
	ch->poll_interval = POLL_INTERVAL_MS;
	uloop_timeout_set(&ch->poll_timer, POLL_INTERVAL_MS);
}

bool poll_heartbeat_due(const at_channel *ch)
{
	return poll_heartbeat_due_in(ch, 1);
}

bool poll_heartbeat_due_in(const at_channel *ch, unsigned runs)
{
	if (!heartbeat_step_runs(ch) || ch->heartbeat_interval == 0 || runs == 0)
		return false;
	int period = ch->heartbeat_interval / POLL_INTERVAL_MS;
	if (period <= 0)
		period = 1;
	// One of the runs poll_count .. poll_count + runs - 1 is a heartbeat run.
	const unsigned into = static_cast<unsigned>(ch->poll_count) % static_cast<unsigned>(period);
	return into == 0 || into + runs > static_cast<unsigned>(period);
}

void poll_take_pending(at_channel *, const char *text, int len)
{
	if (!text || len <= 0)
		return;
	text_owner key(read_regular_file(SCAN_KEY_FILE, SCAN_KEY_MAX, nullptr));
	const char *marker = key ? key.get() : SCAN_DEFAULT_MARKER;
	if (memmem(text, static_cast<size_t>(len), marker, strlen(marker))) {
		const int status = append_tmp_file(SCAN_CACHE_FILE, text);
		note_file_status(&scan_cache_refused, status, tmp_dir, SCAN_CACHE_FILE);
		size_t dropped = 0;
		if (status == FILE_WRITTEN &&
		    trim_tmp_file(SCAN_CACHE_FILE, SCAN_CACHE_MAX, &dropped) == FILE_WRITTEN && dropped > 0) {
			// Said once at level 4; later trims are traces.
			log_message(scan_cache_trimmed ? LOG_DEBUG : LOG_WARNING,
				    "%s%s over %d bytes, oldest %d bytes dropped", tmp_dir, SCAN_CACHE_FILE,
				    static_cast<int>(SCAN_CACHE_MAX), static_cast<int>(dropped));
			scan_cache_trimmed = true;
		}
	}
}

void poll_tick(uloop_timeout *timer)
{
	poll_runs(channel_of(timer), 1);
}

void poll_runs(at_channel *ch, unsigned runs)
{
	if (ch->link_state == LINK_ATTACHED || attach_odu(ch) == ATTACH_OK) {
		// A module that closed its end of a stream is noticed by the link
		// watch, or here when the heartbeat cannot be written.
		const char *gone = nullptr;
		link_notify_if_heard(ch);
		if (heartbeat_step_runs(ch)) {
			if (poll_heartbeat_due_in(ch, runs)) {
				const bool framed = channel_is_framed(ch);
				if (link_heartbeat_missed(ch))
					gone = "no answer to 3 heartbeats";
				const int sent =
					gone ? CHAT_OK : chat_send(ch, framed ? "HEARBEAT_REQ" : "AT\r");
				if (sent == CHAT_WRITE_FAILED && link_is_stream(ch))
					gone = "heartbeat not written";
				else if (sent == CHAT_OK && !framed && !gone)
					chat_owe_answer(ch); // "OK", read when it comes
			}
			ch->poll_count = static_cast<int>(static_cast<unsigned>(ch->poll_count) + runs);
		}
		if (gone)
			link_gone(ch, gone);
	}

	// A run while a connect is on its way has nothing to do: the next one
	// comes an interval after the connect ends (the link re-arms it then),
	// and at the latest an interval after the connect's time-out.
	int64_t next = ch->poll_interval;
	if (link_connecting(ch))
		next += std::max<int64_t>(0, uloop_timeout_remaining64(&ch->connect_timer));
	uloop_timeout_set(&ch->poll_timer, static_cast<int>(next));
	link_lost_check(ch);
}

void poll_catch_up(at_channel *ch)
{
	if (!ch)
		return;
	link_catch_up(ch);
	const int64_t left = ch->poll_timer.pending ? uloop_timeout_remaining64(&ch->poll_timer) : 1;
	if (left <= 0) {
		// A request that held the loop held the runs that fell in it too:
		// they count, so the heartbeat keeps its 20 s however busy the bus is.
		// What is left of a run's length carries over to the next catch-up.
		const int64_t late = std::min<int64_t>(-left, POLL_CATCH_UP_MAX_MS) + ch->poll_late_ms;
		ch->poll_late_ms = static_cast<int>(late % POLL_INTERVAL_MS);
		uloop_timeout_cancel(&ch->poll_timer);
		poll_runs(ch, static_cast<unsigned>(1 + late / POLL_INTERVAL_MS));
	}
}
