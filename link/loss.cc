// SPDX-License-Identifier: ISC
#include "link/loss.h"

#include <syslog.h>

#include "common/files.h"
#include "common/log.h"

void link_lost_note(at_channel *ch)
{
	if (!ch || ch->lost_since != 0)
		return;
	ch->lost_since = uptime_seconds();
	log_message(LOG_ERR, "odu lose connection,tip %ld", static_cast<long>(ch->lost_since));
}

void link_lost_clear(at_channel *ch)
{
	if (ch)
		ch->lost_since = 0;
}

void link_heard(at_channel *ch)
{
	if (!ch)
		return;
	ch->heard = true;
	if (ch->missed_heartbeats > 0)
		ch->missed_heartbeats = 0;
}

bool link_heartbeat_missed(at_channel *ch)
{
	if (!ch)
		return false;
	const bool first = ch->missed_heartbeats < 0;
	if (ch->heard || first)
		ch->missed_heartbeats = 0;
	else
		ch->missed_heartbeats++;
	if (ch->heard && !first)
		ch->answers_heartbeats = true;
	ch->heard = false;
	// A framed module need not answer heartbeats: one that never did is
	// not judged by them.
	if (channel_is_framed(ch) && !ch->answers_heartbeats)
		return false;
	return ch->missed_heartbeats >= LINK_MISSED_HEARTBEATS_MAX;
}

void link_lost_check(at_channel *ch)
{
	// Every poll run comes here: the clock is read only when a loss is pending.
	if (ch && ch->lost_since != 0)
		link_lost_check_at(ch, uptime_seconds());
}

void link_lost_check_at(at_channel *ch, uint32_t now)
{
	if (!ch || ch->lost_since == 0)
		return;
	const uint32_t since = ch->lost_since;
	if (static_cast<uint32_t>(now - since) > LINK_LOST_LIMIT_S) {
		ch->lost_since = 0;
		log_message(LOG_ERR, "FFF odu lose connection,try power down,now %ld,record %ld",
			    static_cast<long>(now), static_cast<long>(since));
	}
}
