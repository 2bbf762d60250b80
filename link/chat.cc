// SPDX-License-Identifier: ISC
#include "link/chat.h"

#include <algorithm>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <syslog.h>
#include <unistd.h>

#include "common/files.h"
#include "common/log.h"
#include "common/own.h"
#include "link/collect.h"
#include "link/frames.h"
#include "link/loss.h"
#include "link/signals.h"
#include "link/transport.h"

int debug_mode = 0;

namespace {

constexpr char CTRL_Z = 0x1a;
constexpr const char *HEARTBEAT_TEXT = "HEARBEAT_REQ";

int trace(const at_channel *ch)
{
	return static_cast<int>(ch->trace_level);
}

bool framed_not_ready(const at_channel *ch)
{
	return channel_is_framed(ch) && ch->rgmii_ready != 1;
}

bool fd_fits_select(int fd)
{
	return fd >= 0 && fd < FD_SETSIZE;
}

// One read from the link: a stream read takes one collection window, a
// datagram read a whole datagram.
char read_buf[LINK_DATAGRAM_MAX + 1];

// Writes the log lines of what a piece of the answer did.
void write_step(const collector &c, const collect_step &step)
{
	collect_write(c, step, debug_mode != 0, log_message);
}

// Text from the link's reader into a collector, with its log lines.
void collect_text(void *ctx, const char *text, size_t n)
{
	auto *c = static_cast<collector *>(ctx);
	write_step(*c, c->add(text, n));
}

// Drops a frame that the request's wait did not see completed, so its
// bytes are never read as the header of a later one.
void drop_cut_frame(at_channel *ch)
{
	if (const size_t n = frames_drop(ch))
		log_message(LOG_WARNING, "%d frame cut short, %d bytes dropped", ch->link_fd,
			    static_cast<int>(n));
}

bool append_answer(at_channel *ch, const char *bytes, int len)
{
	const size_t total = static_cast<size_t>(ch->answer_len) + len;
	if (total > CHAT_ANSWER_MAX)
		return false;
	char *joined = static_cast<char *>(realloc(ch->answer, total + 1));
	if (!joined)
		return false;
	memcpy(joined + ch->answer_len, bytes, len);
	joined[total] = '\0';
	ch->answer = joined;
	ch->answer_len = static_cast<uint32_t>(total);
	return true;
}

// Reads what the module sent on its own before a command goes out, so the
// command's answer holds only what came after it.
void drain_pending(at_channel *ch)
{
	for (int i = 0; i < CHAT_DRAIN_READS_MAX && !request_ended(); i++) {
		bool ended = false;
		if (chat_take_pending(ch, 0, &ended) != CHAT_OK || ended)
			break;
	}
}

// Counts the final results in text read while no exchange runs: each pays
// one that the module owed.
void pay_owed(at_channel *ch, const char *text, int len)
{
	for (int i = 0; i < len; i++) {
		const line_kind k = ch->pending_lines.push(text[i]);
		if ((k == line_kind::ok || k == line_kind::error) && ch->late_owed > 0)
			ch->late_owed--;
		else if (k == line_kind::echo)
			ch->module_echoes = true;
	}
}

// Before a command goes out: the final result the module still owes is
// awaited a little, read as pending text, so it is not taken for this
// command's.
void await_late(at_channel *ch)
{
	if (ch->late_owed <= 0 || ch->late_awaited)
		return;
	const uint64_t now = uptime_ms();
	if (now >= ch->late_until_ms) {
		ch->late_owed = 0;
		return;
	}
	const uint64_t until = std::min<uint64_t>(ch->late_until_ms, now + CHAT_LATE_WAIT_MS);
	for (uint64_t t = now; ch->late_owed > 0 && t < until && !request_ended(); t = uptime_ms()) {
		bool ended = false;
		if (chat_take_pending(ch, static_cast<int>(until - t), &ended) != CHAT_OK || ended)
			break;
	}
	// Awaited once: later commands rely on the echo to tell it apart.
	ch->late_awaited = ch->late_owed > 0;
}

int collect_answer(at_channel *ch, char **answer, int *answer_len, const char *expect, int wait_ms,
		   const char *own_command);

} // namespace

void chat_owe_answer(at_channel *ch)
{
	if (!ch)
		return;
	if (ch->late_owed < CHAT_LATE_OWED_MAX)
		ch->late_owed++;
	ch->late_awaited = false;
	ch->late_until_ms = uptime_ms() + CHAT_LATE_KEEP_MS;
}

unsigned chat_alarm_seconds(size_t commands, int wait_ms)
{
	const long long seconds = static_cast<long long>(commands) * wait_ms / 1000;
	return static_cast<unsigned>(std::clamp<long long>(seconds, CHAT_ALARM_MIN_S, CHAT_ALARM_MAX_S));
}

int chat(at_channel *ch, const char *line, const char *expect, int wait_ms)
{
	if (!line || !*line) {
		log_message(LOG_ERR, "argument error");
		return CHAT_BAD_ARGUMENT;
	}
	if (!ch || ch->link_fd < 0)
		return CHAT_BAD_ARGUMENT;
	if (framed_not_ready(ch)) {
		link_lost_note(ch);
		log_message(LOG_WARNING, "%d <<<odu (%s),wait rgmii", ch->link_fd, line);
		return CHAT_NOT_READY;
	}

	size_t commands = 1;
	for (const char *p = line; *p; p++)
		if (*p == '|')
			commands++;
	const unsigned alarm_time = chat_alarm_seconds(commands, wait_ms);
	if (debug_mode)
		log_message(LOG_DEBUG, "alarm_time %d", static_cast<int>(alarm_time));

	fd_set_blocking(ch->link_fd);

	request_alarm guard;
	request_alarm_arm(&guard, alarm_time);

	int result = CHAT_OK;
	const char *rest = line;
	for (;;) {
		if (request_ended())
			break;

		const char *bar = strchr(rest, '|');
		char *got = nullptr;
		int answer_len = 0;
		int code;
		if (bar) {
			const size_t len = static_cast<size_t>(bar - rest);
			if (len >= CHAT_COMMAND_SIZE) {
				log_message(LOG_ERR, "command too long( %d, %.*s)", static_cast<int>(len),
					    CHAT_COMMAND_SIZE - 1, rest);
				code = CHAT_BAD_ARGUMENT;
			} else {
				char command[CHAT_COMMAND_SIZE] = {};
				memcpy(command, rest, len);
				code = chat_exchange(ch, command, &got, &answer_len, expect, wait_ms);
			}
		} else {
			code = chat_exchange(ch, rest, &got, &answer_len, expect, wait_ms);
		}
		text_owner answer(got);

		if (result == CHAT_OK)
			result = code;
		if (code == CHAT_NO_ANSWER || code == CHAT_TIMED_OUT)
			chat_owe_answer(ch);
		if ((code == CHAT_OK || code == CHAT_NO_ANSWER) && answer && answer_len > 0 &&
		    !append_answer(ch, answer.get(), answer_len))
			log_message(LOG_WARNING, "at answer full,drop %d", answer_len);

		if (!bar)
			break;
		rest = bar + 1;
	}

	const bool fired = request_alarm_disarm(&guard);
	drop_cut_frame(ch);
	fd_set_nonblocking(ch->link_fd);
	if (fired && ch->answer_len == 0)
		result = CHAT_TIMED_OUT;
	if (stop_requested())
		result = CHAT_TIMED_OUT;
	return result;
}

int chat_exchange(at_channel *ch, const char *command, char **answer, int *answer_len, const char *expect,
		  int wait_ms)
{
	if (!ch || ch->link_fd < 0 || !command || !answer || !answer_len)
		return CHAT_BAD_ARGUMENT;
	*answer = nullptr;
	*answer_len = 0;

	char first[CHAT_LINE_LIMIT + 1] = {};
	char second[CHAT_LINE_LIMIT + 1] = {};
	bool two_steps = false;

	if (const char *prompt = strchr(command, '>')) {
		// Both parts are cut to 1023 characters before their ending is added.
		const size_t before = static_cast<size_t>(prompt - command);
		const size_t after = strlen(prompt + 1);
		snprintf(first, CHAT_LINE_LIMIT, "%.*s\r",
			 static_cast<int>(before < CHAT_WINDOW ? before : CHAT_WINDOW), command);
		snprintf(second, CHAT_LINE_LIMIT, "%.*s%c",
			 static_cast<int>(after < CHAT_WINDOW ? after : CHAT_WINDOW), prompt + 1, CTRL_Z);
		two_steps = true;
	} else {
		snprintf(first, CHAT_LINE_LIMIT, "%s\r", command);
	}

	// The module's echo of the first step is this text without its CR.
	char own[CHAT_LINE_LIMIT + 1];
	memcpy(own, first, sizeof(own));
	const size_t own_len = strlen(own);
	if (own_len > 0 && own[own_len - 1] == '\r')
		own[own_len - 1] = '\0';

	drain_pending(ch);
	await_late(ch);
	int code = chat_send(ch, first);
	if (code != CHAT_OK)
		return code;
	code = collect_answer(ch, answer, answer_len, two_steps ? ">" : expect, wait_ms, own);
	if (code != CHAT_OK || !two_steps || request_ended())
		return code;

	free(*answer);
	*answer = nullptr;
	*answer_len = 0;
	code = chat_send(ch, second);
	if (code != CHAT_OK)
		return code;
	return collect_answer(ch, answer, answer_len, expect, wait_ms, nullptr);
}

int chat_send(at_channel *ch, const char *text)
{
	if (!ch || ch->link_fd < 0 || !text) {
		log_message(LOG_ERR, "chat_send argument error");
		return CHAT_BAD_ARGUMENT;
	}
	if (framed_not_ready(ch)) {
		log_message(LOG_WARNING, "%d <<<odu (%s),wait rgmii", ch->link_fd, text);
		link_lost_note(ch);
		return CHAT_NOT_READY;
	}

	const size_t text_len = strlen(text);
	text_owner frame;
	int extra = 0;
	if (ch->encode_at) {
		if (strcmp(text, HEARTBEAT_TEXT) == 0) {
			if (ch->encode_heartbeat) {
				frame.reset(ch->encode_heartbeat(HEARTBEAT_TEXT, &extra));
				log_message(trace(ch), "%d <<<odu (%s)", ch->link_fd, HEARTBEAT_TEXT);
			}
		} else {
			frame.reset(ch->encode_at(text, &extra));
			log_message(trace(ch), "%d <<<odu (%s)", ch->link_fd, text);
		}
	}

	ssize_t written;
	if (frame) {
		written = write(ch->link_fd, frame.get(), text_len + extra);
	} else {
		log_message(trace(ch), "%d <<< (%s)", ch->link_fd, text);
		written = write(ch->link_fd, text, text_len);
	}
	if (written < 0) {
		log_message(LOG_ERR, "Cannot write( %d, %s)", ch->link_fd, text);
		return CHAT_WRITE_FAILED;
	}
	return CHAT_OK;
}

int chat_recv(at_channel *ch, char **answer, int *answer_len, const char *expect, int wait_ms)
{
	return collect_answer(ch, answer, answer_len, expect, wait_ms, nullptr);
}

namespace {

int collect_answer(at_channel *ch, char **answer, int *answer_len, const char *expect, int wait_ms,
		   const char *own_command)
{
	if (!ch || ch->link_fd < 0 || !answer || !answer_len)
		return CHAT_BAD_ARGUMENT;
	*answer = nullptr;
	*answer_len = 0;

	collector c;
	if (c.start(true, expect, own_command)) {
		c.echo_expected = ch->module_echoes;
		c.owed = ch->late_owed;
	} else {
		link_lost_note(ch);
		return CHAT_NO_ANSWER;
	}

	const int fd = ch->link_fd;
	const uint64_t start = uptime_ms();
	const unsigned long long wait = wait_ms > 0 ? static_cast<unsigned long long>(wait_ms) : 0;
	int result = CHAT_OK;

	while (!c.ended) {
		// The alarm or a stop signal may have come while no call was blocked.
		if (request_ended()) {
			result = CHAT_NO_ANSWER;
			break;
		}
		fd_set readable;
		timeval timeout = {0, CHAT_SELECT_STEP_US};
		int ready;
		if (fd_fits_select(fd)) {
			FD_ZERO(&readable);
			FD_SET(fd, &readable);
			ready = select(fd + 1, &readable, nullptr, nullptr, &timeout);
		} else {
			errno = EBADF;
			ready = -1;
		}
		if (ready < 0) {
			if (errno == EINTR)
				log_caught_signals();
			log_message(LOG_ERR, "cannot select( %d, %p, NULL, NULL, %p )", fd + 1,
				    static_cast<void *>(&readable), static_cast<void *>(&timeout));
			result = CHAT_NO_ANSWER;
			break;
		}
		if (ready == 0) {
			if (uptime_ms() - start >= wait) {
				log_message(LOG_DEBUG, "select ,ret = 0,over %llu", wait);
				break;
			}
			log_message(LOG_DEBUG, "select ,ret = 0,try again");
			continue;
		}

		log_message(LOG_DEBUG, "base_uint+nread %d,last %d", static_cast<int>(c.len), CHAT_WINDOW);
		const long got = frames_read(ch, read_buf, CHAT_WINDOW);
		if (got < 0) {
			if (errno == EINTR)
				log_caught_signals();
			log_message(LOG_ERR, "cannot read( %d, %s, %d )", fd, c.data.get(), CHAT_WINDOW);
			result = CHAT_NO_ANSWER;
			break;
		}
		if (got == 0) {
			log_message(LOG_DEBUG, "read ret = 0");
			break;
		}
		read_buf[got] = '\0';
		link_heard(ch);
		if (debug_mode)
			log_message(LOG_DEBUG, "read once read ret = %d,left %d %s", static_cast<int>(got),
				    CHAT_WINDOW, read_buf);
		frames_feed(ch, read_buf, static_cast<size_t>(got), collect_text, &c);
	}

	if (result == CHAT_OK)
		result = c.complete() ? CHAT_OK : CHAT_NO_ANSWER;
	ch->late_owed = ch->late_owed > c.late_answers ? ch->late_owed - c.late_answers : 0;
	if (own_command && c.own_seen)
		ch->module_echoes = true;
	else if (own_command && c.len > 0)
		ch->module_echoes = false; // echo turned off (ATE0)
	if (c.len == 0) {
		*answer = c.data.release();
		link_lost_note(ch);
		return CHAT_NO_ANSWER;
	}
	link_lost_clear(ch);
	*answer_len = static_cast<int>(c.len);
	log_message(LOG_DEBUG, "*ibuf %d", static_cast<int>(strnlen(c.data.get(), c.len)));
	log_message(trace(ch), "%d,%d>>> (%s)", fd, static_cast<int>(c.len), c.data.get());
	*answer = c.data.release();
	return result;
}

} // namespace

int chat_read_pending(at_channel *ch, char **text, int *text_len, int wait_ms, bool *ended)
{
	bool ended_here = false;
	if (!ended)
		ended = &ended_here;
	*ended = false;
	if (!ch || ch->link_fd < 0 || !text || !text_len)
		return CHAT_BAD_ARGUMENT;
	*text = nullptr;
	*text_len = 0;

	const int fd = ch->link_fd;
	if (!fd_fits_select(fd))
		return CHAT_NO_ANSWER;
	if (wait_ms < 0)
		wait_ms = 0;
	fd_set readable;
	FD_ZERO(&readable);
	FD_SET(fd, &readable);
	timeval timeout = {wait_ms / 1000, (wait_ms % 1000) * 1000};
	if (select(fd + 1, &readable, nullptr, nullptr, &timeout) <= 0)
		return CHAT_NO_ANSWER;

	collector c;
	if (!c.start(false, nullptr))
		return CHAT_NO_ANSWER;
	const long got = frames_read(ch, read_buf, CHAT_WINDOW);
	if (got <= 0) {
		*ended = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
		*text = c.data.release();
		return got == 0 ? CHAT_OK : CHAT_NO_ANSWER;
	}
	read_buf[got] = '\0';
	link_heard(ch);
	frames_feed(ch, read_buf, static_cast<size_t>(got), collect_text, &c);
	*text = c.data.release();
	if (c.len == 0)
		return CHAT_OK;

	const int n = static_cast<int>(c.len);
	*text_len = n;
	pay_owed(ch, *text, n);
	link_lost_clear(ch);
	if (n < 3 || (memcmp(*text, "AT\r", 3) != 0 && memcmp(*text, "AT\n", 3) != 0))
		log_message(LOG_WARNING, "--- %d,%d >>> (%s)", fd, n, *text);
	return CHAT_OK;
}

int chat_take_pending(at_channel *ch, int wait_ms, bool *ended)
{
	char *got = nullptr;
	int len = 0;
	const int code = chat_read_pending(ch, &got, &len, wait_ms, ended);
	text_owner text(got);
	if (code == CHAT_OK && len > 0 && ch->take_pending)
		ch->take_pending(ch, text.get(), len);
	return code;
}
