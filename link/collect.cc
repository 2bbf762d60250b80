// SPDX-License-Identifier: ISC
#include "link/collect.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "link/chat.h"

namespace {

char ascii_upper(char c)
{
	return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
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

} // namespace

bool collector::start(bool match, const char *expected, const char *own_command)
{
	data.reset(static_cast<char *>(calloc(1, CHAT_BLOCK)));
	if (!data)
		return false;
	size = capacity = CHAT_BLOCK;
	matching = match;
	expect = expected;
	expect_len = expected ? strlen(expected) : 0;
	lines.start(own_command);
	return true;
}

int collector::code() const
{
	return cut ? CHAT_NO_ANSWER : CHAT_OK;
}

// Room for `need` bytes of text and the zero byte after them.
bool collector::reserve(size_t need, collect_step &step)
{
	collect_note grew = {collect_event::grew, len, strnlen(data.get(), len), size, size, growths};
	bool ok = true, no_memory = false;
	while (size < need + 1) {
		const size_t new_size = size + CHAT_BLOCK;
		if (new_size > CHAT_ANSWER_MAX) {
			ok = false;
			break;
		}
		if (new_size > capacity) {
			size_t cap = capacity * 2 < new_size ? new_size : capacity * 2;
			if (cap > CHAT_ANSWER_MAX)
				cap = CHAT_ANSWER_MAX;
			char *bigger = static_cast<char *>(realloc(data.get(), cap));
			if (!bigger) {
				ok = false;
				no_memory = true;
				break;
			}
			data.release();
			data.reset(bigger);
			capacity = cap;
		}
		size = new_size;
		growths++;
	}
	grew.to = size;
	if (grew.to != grew.from)
		step.note(grew);
	if (no_memory)
		step.note({collect_event::no_memory, len});
	return ok;
}

void collector::look_for_expect(const char *before, size_t before_len, const char *fresh, size_t n,
				collect_step &step)
{
	if (!matching || ended || !expect || foreign_from != NONE)
		return;
	if (found_across(before, before_len, fresh, n, expect, expect_len, false)) {
		ended = true;
		step.note({collect_event::matched_expect, len});
	}
}

void collector::erase(size_t from, size_t to)
{
	char *d = data.get();
	memmove(d + from, d + to, len - to);
	len -= to - from;
	d[len] = '\0';
}

// Takes [from, to) out of the text: another command's answer.
void collector::take_out(size_t from, size_t to, collect_step &step)
{
	erase(from, to);
	late_answers++;
	step.note({collect_event::late_dropped, to - from});
}

// Looks through the lines completed by the text from `from` on.
void collector::scan_lines(size_t from, collect_step &step)
{
	char *d = data.get();
	size_t pos = from;
	while (pos < len && !ended) {
		const char c = d[pos];
		if (skip_lf) {
			skip_lf = false;
			if (c == '\n') {
				erase(pos, pos + 1);
				continue;
			}
		}
		const line_kind k = lines.push(c);
		pos++;
		if (c != '\r' && c != '\n')
			continue;
		const size_t line = line_from;
		line_from = pos;
		switch (k) {
		case line_kind::echo:
			if (foreign_from == NONE && lines.own_command)
				foreign_from = line;
			break;
		case line_kind::own_echo:
			own_seen = true;
			// What began with another command's echo and never ended is not ours.
			if (foreign_from != NONE) {
				take_out(foreign_from, line, step);
				pos -= line - foreign_from;
				line_from = pos;
				foreign_from = NONE;
			}
			break;
		case line_kind::ok:
		case line_kind::error:
			if (foreign_from != NONE) {
				take_out(foreign_from, pos, step);
				pos = line_from = foreign_from;
				foreign_from = NONE;
				skip_lf = c == '\r';
				break;
			}
			if (echo_expected && owed > 0 && !own_seen && lines.own_command) {
				take_out(0, pos, step);
				owed--;
				pos = line_from = 0;
				skip_lf = c == '\r';
				break;
			}
			if (matching) {
				ended = true;
				step.note({k == line_kind::ok ? collect_event::matched_ok
							      : collect_event::matched_error,
					   len});
			}
			break;
		default:
			break;
		}
	}
}

// Past the bound only the answer's end is looked for.
void collector::scan_cut(const char *fresh, size_t n, collect_step &step)
{
	for (size_t i = 0; i < n && !ended; i++) {
		const line_kind k = lines.push(fresh[i]);
		if (matching && (k == line_kind::ok || k == line_kind::error) && foreign_from == NONE) {
			ended = true;
			step.note({k == line_kind::ok ? collect_event::matched_ok
						      : collect_event::matched_error,
				   len});
		}
	}
}

void collector::keep_tail(const char *fresh, size_t n)
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

collect_step collector::add(const char *text, size_t n)
{
	collect_step step;
	if (n > 0 && cut) {
		look_for_expect(tail, tail_len, text, n, step);
		scan_cut(text, n, step);
		keep_tail(text, n);
	} else if (n > 0) {
		size_t take = n;
		while (take > 0 && !reserve(len + take, step))
			take = size - 1 - len; // what still fits; 0 once full
		char *d = data.get();
		const size_t before = len;
		memcpy(d + len, text, take);
		look_for_expect(d, len, d + len, take, step);
		len += take;
		d[len] = '\0';
		scan_lines(before, step);
		if (take < n) {
			cut = true;
			step.note({collect_event::cut, len});
			keep_tail(d + (len > TAIL_MAX ? len - TAIL_MAX : 0), len > TAIL_MAX ? TAIL_MAX : len);
			look_for_expect(tail, tail_len, text + take, n - take, step);
			scan_cut(text + take, n - take, step);
			keep_tail(text + take, n - take);
		}
	}
	step.done = ended;
	return step;
}

void collect_write(const collector &c, const collect_step &step, bool debug, collect_log log)
{
	for (int i = 0; i < step.count; i++) {
		const collect_note &n = step.notes[i];
		switch (n.event) {
		case collect_event::grew: {
			int growth = n.growths;
			for (size_t s = n.from + CHAT_BLOCK; s <= n.to; s += CHAT_BLOCK) {
				growth++;
				log(LOG_DEBUG, "base_uint[%d]%d,total %d", static_cast<int>(n.len),
				    static_cast<int>(n.text_len), static_cast<int>(s));
				if (debug)
					log(LOG_DEBUG, "at memory full,renew[%d]", growth);
			}
			break;
		}
		case collect_event::no_memory:
			log(LOG_DEBUG, "at memory error");
			break;
		case collect_event::matched_expect:
			log(LOG_DEBUG, "OK match expect[%s]", c.expect);
			break;
		case collect_event::matched_ok:
			if (debug)
				log(LOG_DEBUG, "OK");
			break;
		case collect_event::matched_error:
			log(LOG_DEBUG, "ERROR");
			break;
		case collect_event::late_dropped:
			log(LOG_WARNING, "late answer of another command dropped, %d bytes",
			    static_cast<int>(n.len));
			break;
		case collect_event::cut:
			log(LOG_WARNING, "at answer cut at %d bytes, the rest is dropped",
			    static_cast<int>(n.len));
			break;
		}
	}
}
