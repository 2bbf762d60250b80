// SPDX-License-Identifier: ISC
#include "link/link.h"

#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
}

#include "common/files.h"
#include "common/log.h"
#include "common/bus_call.h"
#include "link/chat.h"
#include "link/poll.h"
#include "link/transport.h"

namespace {

blob_buf state_buf;
int state_file_refused = FILE_WRITTEN;

constexpr int LINK_STATE_TYPE = 2;

// "ravel_tools_<name>", at most 126 characters.
void link_state_name(const at_channel *ch, char (&out)[LINK_STATE_NAME_SIZE])
{
	snprintf(out, sizeof(out) - 1, "ravel_tools_%s", ch->name);
}

} // namespace

int attach_odu(at_channel *ch)
{
	if (!ch)
		return -1;
	if (ch->link_state == LINK_ATTACHED)
		return 0;

	const int port = static_cast<int>(ch->port);
	const int fd = strcasecmp(ch->proto, "udp") == 0 ? udp_connect(ch->server, port, 1)
							 : tcp_connect(ch->server, port, 1);
	if (fd < 0)
		return -1;

	log_message(4, "attach_odu ok");
	ch->link_state = LINK_ATTACHED;
	ch->link_fd = fd;
	chat_reset_frames(ch);
	write_link_state(ch, 1);
	send_proto_notify(ch);
	return 0;
}

void disattach_odu(at_channel *ch)
{
	if (!ch || ch->link_state == LINK_DETACHED)
		return;
	if (ch->link_fd >= 0)
		close(ch->link_fd);
	if (channel_is_framed(ch))
		ch->rgmii_ready = 0;
	ch->link_fd = -1;
	chat_reset_frames(ch);
	write_link_state(ch, 0);
	ch->link_state = LINK_DETACHED;
	poll_timer_start(ch);
}

void attach_and_poll(at_channel *ch)
{
	if (!ch)
		return;
	char name[LINK_STATE_NAME_SIZE];
	link_state_name(ch, name);
	clean_cache_temp(name);
	attach_odu(ch);
	poll_timer_start(ch);
}

char *link_state_text(const at_channel *ch, int with_parameters, char *name_out)
{
	if (!ch)
		return nullptr;

	char name[LINK_STATE_NAME_SIZE];
	link_state_name(ch, name);
	if (name_out)
		snprintf(name_out, LINK_STATE_NAME_SIZE, "%s", name);

	char *text = nullptr;
	if (blob_buf_init(&state_buf, 0) == 0) {
		bool ok = blobmsg_add_string(&state_buf, "name", name) == 0 &&
			  blobmsg_add_u32(&state_buf, "type", LINK_STATE_TYPE) == 0;
		void *table = ok ? blobmsg_open_table(&state_buf, "parameter") : nullptr;
		if (table) {
			if (with_parameters) {
				ok = blobmsg_add_string(&state_buf, "channel", ch->name) == 0 &&
				     blobmsg_add_string(&state_buf, "server", ch->server) == 0 &&
				     blobmsg_add_u32(&state_buf, "port", ch->port) == 0 &&
				     blobmsg_add_string(&state_buf, "proto", ch->proto) == 0;
			}
			blobmsg_close_table(&state_buf, table);
			if (ok)
				text = blobmsg_format_json_with_cb(state_buf.head, true, nullptr, nullptr, 0);
		}
	}
	blob_buf_free(&state_buf);
	return text;
}

void write_link_state(const at_channel *ch, int with_parameters)
{
	char name[LINK_STATE_NAME_SIZE];
	char *text = link_state_text(ch, with_parameters, name);
	if (!text)
		return;
	note_file_status(&state_file_refused, write_cache_file(text, name), cache_dir, name);
	free(text);
}

bool link_is_stream(const at_channel *ch)
{
	return ch && strcasecmp(ch->proto, "udp") != 0;
}

void note_file_status(int *last, int status, const char *dir, const char *name)
{
	const char *why = status == FILE_DIR_SYMLINK   ? "a directory on its path is a symbolic link"
			  : status == FILE_DIR_NOT_DIR ? "a directory on its path is not a directory"
			  : status == FILE_NOT_REGULAR ? "it is not a regular file"
						       : nullptr;
	if (status == FILE_WRITTEN)
		*last = FILE_WRITTEN;
	if (!why || status == *last)
		return;
	*last = status;
	log_message(3, "refuse to write %s%s: %s", dir, name, why);
}

void send_proto_notify(const at_channel *ch)
{
	if (!ch)
		return;
	log_message(7, "send proto notify");

	char message[128];
	snprintf(message, sizeof(message), "{'interface':'%s','action':5,'available':true}", ch->name);

	bus_call call = {};
	call.method = "notify_proto";
	call.path = "network.interface";
	call.message = message;
	bus_call_once(&call);
	free(call.reply);
}

void link_lost_note(at_channel *ch)
{
	if (!ch || ch->lost_since != 0)
		return;
	ch->lost_since = uptime_seconds();
	log_message(3, "odu lose connection,tip %ld", static_cast<long>(ch->lost_since));
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
		log_message(3, "FFF odu lose connection,try power down,now %ld,record %ld",
			    static_cast<long>(now), static_cast<long>(since));
	}
}
