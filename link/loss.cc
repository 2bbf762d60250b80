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

void link_lost_check(at_channel *ch)
{
	if (ch)
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
