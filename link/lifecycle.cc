// SPDX-License-Identifier: ISC
#include "link/link.h"

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
}

#include "common/bus_call.h"
#include "common/files.h"
#include "common/log.h"
#include "common/own.h"
#include "link/chat.h"
#include "link/frames.h"
#include "link/loss.h"
#include "link/poll.h"
#include "link/transport.h"

namespace {

blob_buf state_buf;
int state_file_refused = FILE_WRITTEN;

constexpr int LINK_STATE_TYPE = 2;

// Reads one link event takes at most before the loop serves others.
constexpr int LINK_WATCH_READS = 16;

// "ravel_tools_<name>", at most 126 characters.
void link_state_name(const at_channel *ch, char (&out)[LINK_STATE_NAME_SIZE])
{
	snprintf(out, sizeof(out) - 1, "ravel_tools_%s", ch->name);
}

void on_link_event(struct uloop_fd *u, unsigned int events);

// Has the loop watch fd for the given events. Without a running loop (tests
// that drive the link by hand) nothing is watched.
void watch(at_channel *ch, int fd, unsigned int events)
{
	if (ch->link_watch.registered)
		uloop_fd_delete(&ch->link_watch);
	ch->link_watch.fd = fd;
	ch->link_watch.cb = on_link_event;
	uloop_fd_add(&ch->link_watch, events);
}

void unwatch(at_channel *ch)
{
	if (ch->link_watch.registered)
		uloop_fd_delete(&ch->link_watch);
	ch->link_watch.fd = -1;
}

void give_up_connect(at_channel *ch)
{
	if (ch->connect_fd < 0)
		return;
	uloop_timeout_cancel(&ch->connect_timer);
	unwatch(ch);
	close(ch->connect_fd);
	ch->connect_fd = -1;
}

enum : uint8_t { NOTIFIED_NONE, NOTIFIED_UP, NOTIFIED_DOWN };

// Tells "network.interface" whether the link is available.
void notify_available(at_channel *ch, bool available)
{
	log_message(LOG_DEBUG, "send proto notify");
	char message[128];
	snprintf(message, sizeof(message), "{'interface':'%s','action':5,'available':%s}", ch->name,
		 available ? "true" : "false");
	bus_call call = {};
	call.method = "notify_proto";
	call.path = "network.interface";
	call.message = message;
	bus_call_once(&call);
	text_owner reply(call.reply);
	ch->notified = available ? NOTIFIED_UP : NOTIFIED_DOWN;
}

void became_attached(at_channel *ch, int fd)
{
	log_message(LOG_WARNING, "attach_odu ok");
	ch->link_state = LINK_ATTACHED;
	ch->link_fd = fd;
	// A TCP connect shows the module is there; a datagram "connect" shows
	// nothing, so a UDP link rebuilt after a failed request keeps counting
	// the heartbeats its module missed.
	if (link_is_stream(ch))
		link_heard(ch);
	frames_drop(ch);
	watch(ch, fd, ULOOP_READ);
	write_link_state(ch, true);
	// The interface is told once per change: a link rebuilt after a failed
	// request was never reported down. A datagram "connect" proves nothing,
	// so after a loss the module must speak first.
	if (!link_is_stream(ch) && ch->notified == NOTIFIED_DOWN)
		ch->notify_when_heard = true;
	else if (ch->notified != NOTIFIED_UP)
		send_proto_notify(ch);
}

// The poll runs wait out a connect; once it has ended they resume an
// interval later, as after a connect that blocked.
void resume_poll_runs(at_channel *ch)
{
	if (ch->poll_timer.pending)
		uloop_timeout_set(&ch->poll_timer, static_cast<int>(ch->poll_interval));
}

// The connect ended (the socket became writable): attach, or give up until
// the next poll run tries again.
void finish_connect(at_channel *ch)
{
	fd_owner fd(ch->connect_fd);
	uloop_timeout_cancel(&ch->connect_timer);
	unwatch(ch);
	ch->connect_fd = -1;
	if (link_connect_result(fd.get()) == 0)
		became_attached(ch, fd.release());
	resume_poll_runs(ch);
}

void time_out_connect(at_channel *ch)
{
	give_up_connect(ch);
	resume_poll_runs(ch);
}

void on_connect_timeout(struct uloop_timeout *timer)
{
	time_out_connect(container_of(timer, at_channel, connect_timer));
}

void on_link_event(struct uloop_fd *u, unsigned int)
{
	at_channel *ch = container_of(u, at_channel, link_watch);
	if (ch->connect_fd >= 0 && u->fd == ch->connect_fd)
		finish_connect(ch);
	else if (ch->link_state == LINK_ATTACHED && u->fd == ch->link_fd)
		link_read_pending(ch, LINK_WATCH_READS);
}

} // namespace

int attach_odu(at_channel *ch)
{
	if (!ch)
		return ATTACH_FAILED;
	if (ch->link_state == LINK_ATTACHED)
		return ATTACH_OK;
	if (ch->connect_fd >= 0)
		return ATTACH_PENDING;

	bool in_progress = false;
	const int fd =
		link_connect_start(ch->server, static_cast<int>(ch->port), !link_is_stream(ch), &in_progress);
	if (fd < 0)
		return ATTACH_FAILED;
	if (!in_progress) {
		became_attached(ch, fd);
		return ATTACH_OK;
	}
	ch->connect_fd = fd;
	watch(ch, fd, ULOOP_WRITE);
	ch->connect_timer.cb = on_connect_timeout;
	uloop_timeout_set(&ch->connect_timer, LINK_CONNECT_TIMEOUT_MS);
	return ATTACH_PENDING;
}

bool link_connecting(const at_channel *ch)
{
	return ch && ch->connect_fd >= 0;
}

void link_catch_up(at_channel *ch)
{
	if (!ch)
		return;
	if (ch->connect_fd >= 0) {
		pollfd p = {ch->connect_fd, POLLOUT, 0};
		if (poll(&p, 1, 0) > 0)
			finish_connect(ch);
		else if (uloop_timeout_remaining64(&ch->connect_timer) <= 0)
			time_out_connect(ch);
	}
	if (ch->link_state == LINK_ATTACHED)
		link_read_pending(ch, LINK_WATCH_READS);
}

void link_read_pending(at_channel *ch, int reads)
{
	for (int i = 0; i < reads && ch->link_state == LINK_ATTACHED; i++) {
		bool ended = false;
		const int code = chat_take_pending(ch, 0, &ended);
		if (ended && link_is_stream(ch)) {
			link_gone(ch, "closed by the module");
			return;
		}
		if (code != CHAT_OK || ended)
			return;
	}
}

void disattach_odu(at_channel *ch)
{
	if (!ch || ch->link_state == LINK_DETACHED)
		return;
	give_up_connect(ch);
	unwatch(ch);
	if (ch->link_fd >= 0)
		close(ch->link_fd);
	if (channel_is_framed(ch))
		ch->rgmii_ready = 0;
	ch->link_fd = -1;
	frames_drop(ch);
	write_link_state(ch, false);
	ch->link_state = LINK_DETACHED;
	poll_timer_start(ch);
}

void link_close(at_channel *ch)
{
	if (!ch)
		return;
	give_up_connect(ch);
	unwatch(ch);
	if (ch->link_fd >= 0)
		close(ch->link_fd);
	ch->link_fd = -1;
}

void attach_and_poll(at_channel *ch)
{
	if (!ch)
		return;
	char name[LINK_STATE_NAME_SIZE];
	link_state_name(ch, name);
	clean_cache_temp(name);
	ch->missed_heartbeats = -1;
	attach_odu(ch);
	poll_timer_start(ch);
}

char *link_state_text(const at_channel *ch, bool with_parameters, char *name_out)
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

void write_link_state(const at_channel *ch, bool with_parameters)
{
	char name[LINK_STATE_NAME_SIZE];
	text_owner text(link_state_text(ch, with_parameters, name));
	if (text)
		note_file_status(&state_file_refused, write_cache_file(text.get(), name), cache_dir, name);
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
	log_message(LOG_ERR, "refuse to write %s%s: %s", dir, name, why);
}

void send_proto_notify(at_channel *ch)
{
	if (ch)
		notify_available(ch, true);
}

void link_notify_if_heard(at_channel *ch)
{
	if (ch && ch->notify_when_heard && ch->heard && ch->link_state == LINK_ATTACHED) {
		ch->notify_when_heard = false;
		send_proto_notify(ch);
	}
}

void link_gone(at_channel *ch, const char *cause)
{
	if (!ch || ch->link_state != LINK_ATTACHED)
		return;
	// Said once: a UDP link rebuilt after the loss and still silent is
	// rebuilt again without a word until the module speaks.
	const bool said = ch->notified == NOTIFIED_DOWN;
	if (!said)
		log_message(LOG_WARNING, "odu link of %s lost: %s", ch->name, cause);
	disattach_odu(ch);
	ch->missed_heartbeats = -1;
	ch->notify_when_heard = false;
	if (!said)
		notify_available(ch, false);
}
