#include "link/chat.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

extern "C" {
#include <libubox/uloop.h>
}

#include "common/files.h"
#include "common/log.h"
#include "link/signals.h"
#include "link/link.h"
#include "link/poll.h"
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

char ascii_upper(char c)
{
	return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether the request must end now: its alarm fired, or a stop signal ended
// the event loop that runs it.
bool request_ended()
{
	return last_signal == SIGALRM || uloop_cancelling();
}

// Whether `needle` (m bytes; upper case when nocase) occurs in the text
// a[0, alen) followed by b[0, blen), at a place that ends inside b: what
// lies wholly in a was looked through before. Zero bytes are text like any.
bool found_across(const char *a, size_t alen, const char *b, size_t blen, const char *needle, size_t m,
		  bool nocase)
{
	if (m == 0)
		return true;
	const size_t total = alen + blen;
	if (blen == 0 || total < m)
		return false;
	for (size_t i = alen >= m - 1 ? alen - (m - 1) : 0; i + m <= total; i++) {
		size_t k = 0;
		for (; k < m; k++) {
			const size_t j = i + k;
			const char c = j < alen ? a[j] : b[j - alen];
			if ((nocase ? ascii_upper(c) : c) != needle[k])
				break;
		}
		if (k == m)
			return true;
	}
	return false;
}

bool fd_fits_select(int fd)
{
	return fd >= 0 && fd < FD_SETSIZE;
}

// The text of one answer. It is kept up to CHAT_ANSWER_MAX bytes (with a
// zero byte after it); past that the answer is cut, and later text is only
// looked through for the answer's end. `size` is the size the collection
// grows the buffer to in 1 KiB steps, as its trace lines tell; the
// allocation underneath grows geometrically so a long answer costs linear
// time.
struct collector {
	char *data = nullptr;
	size_t len = 0;
	size_t size = 0;
	size_t capacity = 0;
	int growths = 0;
	bool matching = false;  // look for the answer's end
	const char *expect = nullptr;
	size_t expect_len = 0;
	bool ended = false;     // a final result or the expected text was seen
	bool cut = false;
	// The last bytes of a cut answer, so an end split across reads is seen.
	static constexpr size_t TAIL_MAX = 256;
	char tail[TAIL_MAX] = {};
	size_t tail_len = 0;

	bool start(bool match, const char *expected)
	{
		data = static_cast<char *>(calloc(1, CHAT_BLOCK));
		if (!data)
			return false;
		size = capacity = CHAT_BLOCK;
		matching = match;
		expect = expected;
		expect_len = expected ? strlen(expected) : 0;
		return true;
	}

	// Room for `need` bytes of text and the zero byte after them.
	bool reserve(size_t need)
	{
		while (size < need + 1) {
			const size_t new_size = size + CHAT_BLOCK;
			if (new_size > CHAT_ANSWER_MAX)
				return false;
			if (new_size > capacity) {
				size_t cap = capacity * 2 < new_size ? new_size : capacity * 2;
				if (cap > CHAT_ANSWER_MAX)
					cap = CHAT_ANSWER_MAX;
				char *bigger = static_cast<char *>(realloc(data, cap));
				if (!bigger) {
					log_message(7, "at memory error");
					return false;
				}
				data = bigger;
				capacity = cap;
			}
			size = new_size;
			growths++;
			log_message(7, "base_uint[%d]%d,total %d", static_cast<int>(len),
				    static_cast<int>(strnlen(data, len)), static_cast<int>(size));
			if (debug_mode)
				log_message(7, "at memory full,renew[%d]", growths);
		}
		return true;
	}

	void look_for_end(const char *before, size_t before_len, const char *fresh, size_t n)
	{
		if (!matching || ended)
			return;
		if (expect && found_across(before, before_len, fresh, n, expect, expect_len, false)) {
			log_message(7, "OK match expect[%s]", expect);
			ended = true;
		} else if (found_across(before, before_len, fresh, n, "OK", 2, true)) {
			if (debug_mode)
				log_message(7, "OK");
			ended = true;
		} else if (found_across(before, before_len, fresh, n, "ERROR", 5, true)) {
			log_message(7, "ERROR");
			ended = true;
		}
	}

	void keep_tail(const char *fresh, size_t n)
	{
		if (n >= TAIL_MAX) {
			memcpy(tail, fresh + n - TAIL_MAX, TAIL_MAX);
			tail_len = TAIL_MAX;
			return;
		}
		const size_t keep = tail_len + n > TAIL_MAX ? TAIL_MAX - n : tail_len;
		memmove(tail, tail + tail_len - keep, keep);
		memcpy(tail + keep, fresh, n);
		tail_len = keep + n;
	}

	void add(const char *text, size_t n)
	{
		if (n == 0)
			return;
		if (cut) {
			look_for_end(tail, tail_len, text, n);
			keep_tail(text, n);
			return;
		}
		size_t take = n;
		while (take > 0 && !reserve(len + take))
			take = size - 1 - len; // what still fits; 0 once full
		memcpy(data + len, text, take);
		look_for_end(data, len, data + len, take);
		len += take;
		data[len] = '\0';
		if (take < n) {
			cut = true;
			log_message(4, "at answer cut at %d bytes, the rest is dropped", static_cast<int>(len));
			keep_tail(data + (len > TAIL_MAX ? len - TAIL_MAX : 0), len > TAIL_MAX ? TAIL_MAX : len);
			look_for_end(tail, tail_len, text + take, n - take);
			keep_tail(text + take, n - take);
		}
	}
};

// Hands one frame (or what arrived of it) to decode_frame and adds its text.
// bytes[n] must be writable: the decoder expects a zero byte there.
void decode_one(at_channel *ch, collector &c, char *bytes, size_t n)
{
	const char saved = bytes[n];
	bytes[n] = '\0';
	int text_len = 0;
	char *text = ch->decode_frame(ch, bytes, static_cast<int>(n), &text_len);
	bytes[n] = saved;
	if (!text)
		return;
	if (text_len > 0)
		c.add(text, static_cast<size_t>(text_len) < n ? static_cast<size_t>(text_len) : n);
	free(text);
}

// A partial frame that nothing completed while the link was quiet is
// decoded for what it holds, so the stream starts afresh with the next read.
void flush_frames(at_channel *ch, collector &c)
{
	if (!channel_is_framed(ch) || ch->frame_part_len == 0)
		return;
	const size_t n = ch->frame_part_len;
	ch->frame_part_len = 0;
	decode_one(ch, c, ch->frame_part, n);
}

// The answer text in the bytes of one read. Plain links give the bytes as
// they are. On a datagram link each read is one whole datagram of frames.
// On a stream link a frame may be split across reads: bytes are held until
// their frame is whole, and every frame goes to the decoder on its own.
void take_read(at_channel *ch, collector &c, char *raw, size_t n)
{
	if (!channel_is_framed(ch)) {
		c.add(raw, n);
		return;
	}
	const size_t header = static_cast<size_t>(ch->frame_header_len);
	if (header < 3 || !link_is_stream(ch)) {
		decode_one(ch, c, raw, n);
		return;
	}
	char *part = ch->frame_part;
	while (n > 0) {
		size_t held = ch->frame_part_len;
		const size_t take = n < LINK_FRAME_MAX - held ? n : LINK_FRAME_MAX - held;
		memcpy(part + held, raw, take);
		held += take;
		raw += take;
		n -= take;
		size_t at = 0;
		while (held - at >= header) {
			const auto *h = reinterpret_cast<const unsigned char *>(part + at);
			const size_t frame = header + ((static_cast<size_t>(h[header - 2]) << 8) | h[header - 1]);
			if (held - at < frame)
				break;
			decode_one(ch, c, part + at, frame);
			at += frame;
		}
		memmove(part, part + at, held - at);
		ch->frame_part_len = static_cast<uint32_t>(held - at);
	}
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
		char *text = nullptr;
		int len = 0;
		bool ended = false;
		const int code = chat_read_pending(ch, &text, &len, 0, &ended);
		if (code == CHAT_OK && len > 0)
			poll_take_pending(ch, text, len);
		free(text);
		if (code != CHAT_OK || ended)
			break;
	}
}

} // namespace

unsigned chat_alarm_seconds(size_t commands, int wait_ms)
{
	long long seconds = static_cast<long long>(commands) * wait_ms / 1000;
	if (seconds < CHAT_ALARM_MIN_S)
		seconds = CHAT_ALARM_MIN_S;
	if (seconds > CHAT_ALARM_MAX_S)
		seconds = CHAT_ALARM_MAX_S;
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
		if (request_ended())
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
	if (uloop_cancelling())
		result = CHAT_TIMED_OUT;
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

	drain_pending(ch);
	int code = chat_send(ch, first);
	if (code != CHAT_OK)
		return code;
	code = chat_recv(ch, answer, answer_len, two_steps ? ">" : expect, wait_ms);
	if (code != CHAT_OK || !two_steps || request_ended())
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

	collector c;
	if (!c.start(true, expect)) {
		link_lost_note(ch);
		return CHAT_NO_ANSWER;
	}
	*answer = c.data;

	const int fd = ch->link_fd;
	const uint64_t start = uptime_ms();
	const uint64_t wait = wait_ms > 0 ? static_cast<uint64_t>(wait_ms) : 0;
	int result = CHAT_OK;
	char raw[CHAT_BLOCK];

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
			log_message(3, "cannot select( %d, %p, NULL, NULL, %p )", fd + 1,
				    static_cast<void *>(&readable), static_cast<void *>(&timeout));
			result = CHAT_NO_ANSWER;
			break;
		}
		if (ready == 0) {
			flush_frames(ch, c);
			*answer = c.data;
			if (c.ended)
				break;
			if (uptime_ms() - start >= wait) {
				log_message(7, "select ,ret = 0,over %llu", static_cast<unsigned long long>(wait));
				break;
			}
			log_message(7, "select ,ret = 0,try again");
			continue;
		}

		log_message(7, "base_uint+nread %d,last %d", static_cast<int>(c.len), CHAT_WINDOW);
		const ssize_t got = read(fd, raw, CHAT_WINDOW);
		if (got < 0) {
			if (errno == EINTR)
				log_caught_signals();
			log_message(3, "cannot read( %d, %s, %d )", fd, c.data, CHAT_WINDOW);
			result = CHAT_NO_ANSWER;
			break;
		}
		if (got == 0) {
			log_message(7, "read ret = 0");
			// Nothing will complete a partial frame now.
			flush_frames(ch, c);
			*answer = c.data;
			break;
		}
		raw[got] = '\0';
		if (debug_mode)
			log_message(7, "read once read ret = %d,left %d %s", static_cast<int>(got), CHAT_WINDOW, raw);
		take_read(ch, c, raw, static_cast<size_t>(got));
		*answer = c.data;
	}

	// A cut answer is not the module's whole answer: it does not count as one.
	if (c.cut)
		result = CHAT_NO_ANSWER;
	if (c.len == 0) {
		link_lost_note(ch);
		return CHAT_NO_ANSWER;
	}
	link_lost_clear(ch);
	*answer_len = static_cast<int>(c.len);
	log_message(7, "*ibuf %d", static_cast<int>(strnlen(c.data, c.len)));
	log_message(trace(ch), "%d,%d>>> (%s)", fd, static_cast<int>(c.len), c.data);
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
	const int ready = select(fd + 1, &readable, nullptr, nullptr, &timeout);
	// A partial frame is given up only after a quiet wait: with no wait
	// (before a command) its rest may still be on its way.
	const bool stale_frame = ready == 0 && wait_ms > 0 && channel_is_framed(ch) && ch->frame_part_len > 0;
	if (ready < 0 || (ready == 0 && !stale_frame))
		return CHAT_NO_ANSWER;

	collector c;
	if (!c.start(false, nullptr))
		return CHAT_NO_ANSWER;
	*text = c.data;
	if (stale_frame) {
		flush_frames(ch, c);
	} else {
		char raw[CHAT_BLOCK];
		const ssize_t got = read(fd, raw, CHAT_WINDOW);
		if (got < 0) {
			*ended = errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
			return CHAT_NO_ANSWER;
		}
		if (got == 0) {
			*ended = true;
			return CHAT_OK;
		}
		raw[got] = '\0';
		take_read(ch, c, raw, static_cast<size_t>(got));
	}
	*text = c.data;
	if (c.len == 0)
		return CHAT_OK;

	const int n = static_cast<int>(c.len);
	*text_len = n;
	link_lost_clear(ch);
	if (n < 3 || (memcmp(c.data, "AT\r", 3) != 0 && memcmp(c.data, "AT\n", 3) != 0))
		log_message(4, "--- %d,%d >>> (%s)", fd, n, c.data);
	return CHAT_OK;
}

void chat_reset_frames(at_channel *ch)
{
	if (ch)
		ch->frame_part_len = 0;
}
