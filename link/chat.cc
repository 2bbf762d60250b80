#include "link/chat.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#include "common/files.h"
#include "common/log.h"
#include "daemon/daemon.h"
#include "daemon/signals.h"
#include "link/link.h"
#include "link/transport.h"

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

char ascii_upper(char c)
{
	return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Finds `needle` in text[from, to), ASCII letters compared without case.
// `needle` is given in upper case.
bool contains_nocase(const char *text, size_t from, size_t to, const char *needle, size_t m)
{
	if (to < from + m)
		return false;
	for (size_t i = from; i + m <= to; i++) {
		size_t k = 0;
		while (k < m && ascii_upper(text[i + k]) == needle[k])
			k++;
		if (k == m)
			return true;
	}
	return false;
}

bool contains_exact(const char *text, size_t from, size_t to, const char *needle, size_t m)
{
	if (to < from + m)
		return false;
	return memmem(text + from, to - from, needle, m) != nullptr;
}

// Where a search for a needle of length m must start so that a match ending
// in the new text [old_len, ...) is found while text [0, old_len) is not
// searched again.
size_t search_from(size_t old_len, size_t m)
{
	return m > 0 && old_len >= m - 1 ? old_len - (m - 1) : 0;
}

// An answer buffer of one collection. `size` is the size the collection
// rules grow it to (1 KiB steps); the allocation underneath grows
// geometrically so that a long answer costs linear time.
struct answer_buffer {
	char *data = nullptr;
	size_t size = 0;
	size_t capacity = 0;

	bool start()
	{
		data = static_cast<char *>(calloc(1, CHAT_BLOCK));
		if (!data)
			return false;
		size = capacity = CHAT_BLOCK;
		return true;
	}

	bool grow_to(size_t new_size)
	{
		if (new_size > CHAT_ANSWER_MAX)
			return false;
		if (new_size > capacity) {
			size_t cap = capacity * 2;
			if (cap < new_size)
				cap = new_size;
			if (cap > CHAT_ANSWER_MAX)
				cap = CHAT_ANSWER_MAX;
			char *bigger = static_cast<char *>(realloc(data, cap));
			if (!bigger)
				return false;
			data = bigger;
			capacity = cap;
		}
		size = new_size;
		return true;
	}
};

bool fd_fits_select(int fd)
{
	return fd >= 0 && fd < FD_SETSIZE;
}

// Replaces the n raw bytes at p by the text decode_frame makes of them.
// Returns the new byte count: the text's length, or n when nothing came back.
int decode_in_place(at_channel *ch, char *p, int n)
{
	int text_len = 0;
	char *text = ch->decode_frame(ch, p, n, &text_len);
	if (!text)
		return n;
	if (text_len < 0)
		text_len = 0;
	if (text_len > n)
		text_len = n;
	memset(p, 0, n);
	memcpy(p, text, text_len);
	free(text);
	return text_len;
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

} // namespace

unsigned chat_alarm_seconds(size_t commands, int wait_ms)
{
	long long seconds = static_cast<long long>(commands) * wait_ms / 1000;
	if (seconds < CHAT_ALARM_MIN_S)
		seconds = CHAT_ALARM_MIN_S;
	if (seconds > INT32_MAX)
		seconds = INT32_MAX;
	return static_cast<unsigned>(seconds);
}

int chat(at_channel *ch, const char *line, const char *expect, int wait_ms)
{
	if (!line || !*line) {
		log_message(3, "argument error");
		return CHAT_BAD_ARGUMENT;
	}
	if (!ch || ch->link_fd < 0)
		return CHAT_BAD_ARGUMENT;
	if (framed_not_ready(ch)) {
		link_lost_note(ch);
		log_message(4, "%d <<<odu (%s),wait rgmii", ch->link_fd, line);
		return CHAT_NOT_READY;
	}

	size_t commands = 1;
	for (const char *p = line; *p; p++)
		if (*p == '|')
			commands++;
	const unsigned alarm_time = chat_alarm_seconds(commands, wait_ms);
	if (debug_mode)
		log_message(7, "alarm_time %d", static_cast<int>(alarm_time));

	fd_set_blocking(ch->link_fd);

	last_signal = 0;
	struct sigaction action = {}, previous = {};
	action.sa_handler = on_signal;
	sigemptyset(&action.sa_mask);
	action.sa_flags = 0; // no SA_RESTART: the alarm must break a blocked select/read/write
	sigaction(SIGALRM, &action, &previous);
	alarm(alarm_time);

	int result = CHAT_OK;
	const char *rest = line;
	for (;;) {
		if (last_signal == SIGALRM)
			break;

		const char *bar = strchr(rest, '|');
		char *answer = nullptr;
		int answer_len = 0;
		int code;
		if (bar) {
			const size_t len = static_cast<size_t>(bar - rest);
			if (len >= CHAT_COMMAND_SIZE) {
				log_message(3, "command too long( %d, %.*s)", static_cast<int>(len),
					    CHAT_COMMAND_SIZE - 1, rest);
				code = CHAT_BAD_ARGUMENT;
			} else {
				char command[CHAT_COMMAND_SIZE] = {};
				memcpy(command, rest, len);
				code = chat_exchange(ch, command, &answer, &answer_len, expect, wait_ms);
			}
		} else {
			code = chat_exchange(ch, rest, &answer, &answer_len, expect, wait_ms);
		}

		result = code;
		if ((code == CHAT_OK || code == CHAT_NO_ANSWER) && answer && answer_len > 0 &&
		    !append_answer(ch, answer, answer_len))
			log_message(4, "at answer full,drop %d", answer_len);
		free(answer);

		if (!bar)
			break;
		rest = bar + 1;
	}

	alarm(0);
	fd_set_nonblocking(ch->link_fd);
	sigaction(SIGALRM, &previous, nullptr);

	if (last_signal == SIGALRM) {
		last_signal = 0;
		if (ch->answer_len == 0)
			result = CHAT_TIMED_OUT;
	}
	return result;
}

int chat_exchange(at_channel *ch, const char *command, char **answer, int *answer_len,
		  const char *expect, int wait_ms)
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

	int code = chat_send(ch, first);
	if (code != CHAT_OK)
		return code;
	code = chat_recv(ch, answer, answer_len, two_steps ? ">" : expect, wait_ms);
	if (code != CHAT_OK || !two_steps)
		return code;

	free(*answer);
	*answer = nullptr;
	*answer_len = 0;
	code = chat_send(ch, second);
	if (code != CHAT_OK)
		return code;
	return chat_recv(ch, answer, answer_len, expect, wait_ms);
}

int chat_send(at_channel *ch, const char *text)
{
	if (!ch || ch->link_fd < 0 || !text) {
		log_message(3, "chat_send argument error");
		return CHAT_BAD_ARGUMENT;
	}
	if (framed_not_ready(ch)) {
		log_message(4, "%d <<<odu (%s),wait rgmii", ch->link_fd, text);
		link_lost_note(ch);
		return CHAT_NOT_READY;
	}

	const size_t text_len = strlen(text);
	char *frame = nullptr;
	int extra = 0;
	if (ch->encode_at) {
		if (strcmp(text, HEARTBEAT_TEXT) == 0) {
			if (ch->encode_heartbeat) {
				frame = ch->encode_heartbeat(HEARTBEAT_TEXT, &extra);
				log_message(trace(ch), "%d <<<odu (%s)", ch->link_fd, HEARTBEAT_TEXT);
			}
		} else {
			frame = ch->encode_at(text, &extra);
			log_message(trace(ch), "%d <<<odu (%s)", ch->link_fd, text);
		}
	}

	ssize_t written;
	if (frame) {
		written = write(ch->link_fd, frame, text_len + extra);
		free(frame);
	} else {
		log_message(trace(ch), "%d <<< (%s)", ch->link_fd, text);
		written = write(ch->link_fd, text, text_len);
	}
	if (written < 0) {
		log_message(3, "Cannot write( %d, %s)", ch->link_fd, text);
		return CHAT_WRITE_FAILED;
	}
	return CHAT_OK;
}

int chat_recv(at_channel *ch, char **answer, int *answer_len, const char *expect, int wait_ms)
{
	if (!ch || ch->link_fd < 0 || !answer || !answer_len)
		return CHAT_BAD_ARGUMENT;
	*answer = nullptr;
	*answer_len = 0;

	answer_buffer buf;
	if (!buf.start()) {
		link_lost_note(ch);
		return CHAT_NO_ANSWER;
	}
	*answer = buf.data;

	const int fd = ch->link_fd;
	const uint64_t start = uptime_ms();
	const uint64_t wait = wait_ms > 0 ? static_cast<uint64_t>(wait_ms) : 0;
	const size_t expect_len = expect ? strlen(expect) : 0;

	size_t offset = 0;      // start of the current window
	size_t bytes = 0;       // bytes in the window
	size_t text_len = 0;    // length of the window's text (up to a zero byte)
	bool text_ended = false;
	long first_zero = -1;   // offset of a zero byte inside an earlier window
	int growths = 0;
	int result = CHAT_OK;

	auto buffer_text_len = [&]() -> long {
		return first_zero >= 0 ? first_zero : static_cast<long>(offset + text_len);
	};

	for (;;) {
		// An alarm caught outside the wait below interrupted nothing.
		if (last_signal == SIGALRM) {
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
			log_message(3, "cannot select( %d, %p, NULL, NULL, %p )", fd + 1,
				    static_cast<void *>(&readable), static_cast<void *>(&timeout));
			result = CHAT_NO_ANSWER;
			break;
		}
		if (ready == 0) {
			if (uptime_ms() - start >= wait) {
				log_message(7, "select ,ret = 0,over %llu", static_cast<unsigned long long>(wait));
				break;
			}
			log_message(7, "select ,ret = 0,try again");
			continue;
		}

		char *window = buf.data + offset;
		const int room = CHAT_WINDOW - static_cast<int>(bytes);
		log_message(7, "base_uint+nread %d,last %d", static_cast<int>(offset + bytes), room);
		ssize_t got = read(fd, window + bytes, room);
		if (got < 0) {
			if (errno == EINTR)
				log_caught_signals();
			log_message(3, "cannot read( %d, %s, %d )", fd, window, room);
			result = CHAT_NO_ANSWER;
			break;
		}
		if (got == 0) {
			log_message(7, "read ret = 0");
			break;
		}

		int n = static_cast<int>(got);
		char *fresh = window + bytes;
		fresh[n] = '\0';
		if (debug_mode)
			log_message(7, "read once read ret = %d,left %d %s", n, room, fresh);
		if (channel_is_framed(ch))
			n = decode_in_place(ch, fresh, n);
		bytes += n;
		window[bytes] = '\0';

		// Only text that is new since the last test can complete a match.
		const size_t old_text_len = text_len;
		if (!text_ended) {
			text_len += strnlen(window + text_len, bytes - text_len);
			if (text_len < bytes) {
				text_ended = true;
				if (first_zero < 0)
					first_zero = static_cast<long>(offset + text_len);
			}
		}
		if (expect && contains_exact(window, search_from(old_text_len, expect_len), text_len,
					     expect, expect_len)) {
			log_message(7, "OK match expect[%s]", expect);
			break;
		}
		if (contains_nocase(window, search_from(old_text_len, 2), text_len, "OK", 2)) {
			if (debug_mode)
				log_message(7, "OK");
			break;
		}
		if (contains_nocase(window, search_from(old_text_len, 5), text_len, "ERROR", 5)) {
			log_message(7, "ERROR");
			break;
		}

		const int left = CHAT_WINDOW - static_cast<int>(bytes);
		if (left == 0 || (ch->frame_header_len != 0 && left <= ch->frame_header_len)) {
			const size_t new_size = static_cast<size_t>(growths + 2) * CHAT_BLOCK;
			if (!buf.grow_to(new_size)) {
				log_message(7, "at memory error");
				break;
			}
			*answer = buf.data;
			offset += bytes;
			bytes = 0;
			text_len = 0;
			text_ended = false;
			log_message(7, "base_uint[%d]%d,total %d", static_cast<int>(offset),
				    static_cast<int>(buffer_text_len()), static_cast<int>(new_size));
			growths++;
			if (debug_mode)
				log_message(7, "at memory full,renew[%d]", growths);
		}
	}

	const size_t total = offset + bytes;
	if (total == 0) {
		link_lost_note(ch);
		return CHAT_NO_ANSWER;
	}
	link_lost_clear(ch);
	*answer_len = static_cast<int>(total);
	log_message(7, "*ibuf %d", static_cast<int>(buffer_text_len()));
	log_message(trace(ch), "%d,%d>>> (%s)", fd, static_cast<int>(total), buf.data);
	return result;
}

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

	char *buf = static_cast<char *>(calloc(1, CHAT_BLOCK));
	if (!buf)
		return CHAT_NO_ANSWER;
	*text = buf;
	ssize_t got = read(fd, buf, CHAT_WINDOW);
	if (got < 0) {
		*ended = errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
		return CHAT_NO_ANSWER;
	}
	if (got == 0) {
		*ended = true;
		return CHAT_OK;
	}

	int n = static_cast<int>(got);
	if (channel_is_framed(ch)) {
		int decoded_len = 0;
		char *decoded = ch->decode_frame(ch, buf, n, &decoded_len);
		memset(buf, 0, n);
		n = 0;
		if (decoded) {
			n = decoded_len < 0 ? 0 : (decoded_len > CHAT_WINDOW ? CHAT_WINDOW : decoded_len);
			memcpy(buf, decoded, n);
			free(decoded);
		}
	}
	buf[n] = '\0';
	if (n == 0)
		return CHAT_OK;

	*text_len = n;
	link_lost_clear(ch);
	if (strncmp(buf, "AT\r", 3) != 0 && strncmp(buf, "AT\n", 3) != 0)
		log_message(4, "--- %d,%d >>> (%s)", fd, n, buf);
	return CHAT_OK;
}
