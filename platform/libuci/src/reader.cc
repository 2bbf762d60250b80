// SPDX-License-Identifier: ISC
// Reading files, splitting them into lines, and the word tokenizer shared by
// config files and change files.
#include "internal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uci_impl {

file_data::~file_data()
{
	free(data);
}

int read_fd(int fd, file_data *out)
{
	// Sized from the file when it tells its size; it may still grow while read.
	struct stat st;
	size_t cap = 4096;
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
	    (unsigned long long)st.st_size < SIZE_MAX / 2)
		cap = (size_t)st.st_size + 1;
	size_t len = 0;
	char *buf = (char *)malloc(cap + 1);
	if (!buf)
		return UCI_ERR_MEM;
	for (;;) {
		if (len == cap) {
			size_t ncap = cap <= SIZE_MAX / 4 ? cap * 2 : 0;
			char *nb = ncap ? (char *)realloc(buf, ncap + 1) : nullptr;
			if (!nb) {
				free(buf);
				return UCI_ERR_MEM;
			}
			buf = nb;
			cap = ncap;
		}
		ssize_t n = read(fd, buf + len, cap - len);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			free(buf);
			return UCI_ERR_IO;
		}
		if (n == 0)
			break;
		len += (size_t)n;
	}
	buf[len] = 0;
	free(out->data);
	out->data = buf;
	out->len = len;
	return UCI_OK;
}

line_reader::~line_reader()
{
	free(buf);
}

bool line_reader::next_line()
{
	blen = 0;
	if (buf)
		buf[0] = 0;
	return append_line();
}

bool line_reader::append_line()
{
	if (pos >= len || oom)
		return false;
	for (;;) {
		const char *start = data + pos;
		size_t rest = len - pos;
		const char *lf = (const char *)memchr(start, '\n', rest);
		size_t chunk = lf ? (size_t)(lf - start) + 1 : rest;
		pos += chunk;
		// Only the bytes before a NUL count, as for a C string.
		const char *nul = (const char *)memchr(start, 0, chunk);
		size_t take = nul ? (size_t)(nul - start) : chunk;

		if (blen + take + 1 > bcap) {
			size_t ncap = bcap ? bcap : 256;
			while (ncap < blen + take + 1)
				ncap *= 2;
			char *nb = (char *)realloc(buf, ncap);
			if (!nb) {
				oom = true;
				return false;
			}
			buf = nb;
			bcap = ncap;
		}
		memcpy(buf + blen, start, take);
		blen += take;
		buf[blen] = 0;

		if (take && buf[blen - 1] == '\n') {
			line++;
			return true;
		}
		if (pos >= len)
			return true;
	}
}

static bool is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

tokenizer::next_kind tokenizer::peek()
{
	while (pos < rd.blen && is_space(rd.buf[pos]))
		pos++;
	if (pos >= rd.blen)
		return END;
	if (rd.buf[pos] == '#') {
		pos = rd.blen;
		return END;
	}
	if (rd.buf[pos] == ';')
		return SEMI;
	return WORD;
}

// Backslash-newline (also before CR LF) joins the next physical line.
static size_t continuation_len(const line_reader &rd, size_t at)
{
	if (at < rd.blen && rd.buf[at] == '\n')
		return 1;
	if (at + 1 < rd.blen && rd.buf[at] == '\r' && rd.buf[at + 1] == '\n')
		return 2;
	return 0;
}

// Where the next physical line goes when the backslash at `at` joins it: in
// place of the line break (LF or CR LF), so that byte positions count as the
// router's reader counts them. A backslash at the end of the file is only
// skipped.
static size_t join_point(line_reader &rd, size_t at, size_t cont)
{
	if (cont) {
		rd.blen = at + 1;
		rd.buf[rd.blen] = 0;
	}
	return at + 1;
}

word_end tokenizer::read_word(word *w)
{
	size_t out = pos;
	w->start = pos;
	term = 0;
	auto finish = [&](word_end how) {
		rd.buf[out] = 0;
		w->len = out - w->start;
		return how;
	};

	// A ';' in a word of plain text ends the line; in a word with a quote or
	// an escape it ends only the word and is left for the next argument.
	bool plain = true;
	for (;;) {
		if (pos >= rd.blen)
			return finish(word_end::SPACE);
		char c = rd.buf[pos];
		if (is_space(c)) {
			term = c;
			pos++;
			return finish(word_end::SPACE);
		}
		if (c == '#') {
			term = c;
			pos = rd.blen;
			return finish(word_end::COMMENT);
		}
		if (c == ';') {
			term = c;
			if (!plain)
				return finish(word_end::QUOTE_SEMI);
			pos = rd.blen;
			return finish(word_end::GLUED_SEMI);
		}
		if (c == '\\') {
			size_t cont = continuation_len(rd, pos + 1);
			if (cont || pos + 1 >= rd.blen) {
				pos = join_point(rd, pos, cont);
				if (!rd.append_line()) {
					if (rd.oom)
						return finish(word_end::NOMEM);
					return finish(word_end::SPACE);
				}
				continue;
			}
			rd.buf[out++] = rd.buf[pos + 1];
			pos += 2;
			plain = false;
			continue;
		}
		if (c == '\'' || c == '"')
			plain = false;
		if (c == '\'') {
			pos++;
			for (;;) {
				if (pos >= rd.blen) {
					if (!rd.append_line())
						return finish(rd.oom ? word_end::NOMEM
								     : word_end::ERR_SQUOTE);
					continue;
				}
				char q = rd.buf[pos++];
				if (q == '\'')
					break;
				rd.buf[out++] = q;
			}
			continue;
		}
		if (c == '"') {
			pos++;
			for (;;) {
				if (pos >= rd.blen) {
					if (!rd.append_line())
						return finish(rd.oom ? word_end::NOMEM
								     : word_end::ERR_DQUOTE);
					continue;
				}
				char q = rd.buf[pos];
				if (q == '"') {
					pos++;
					break;
				}
				if (q == '\\') {
					size_t cont = continuation_len(rd, pos + 1);
					if (cont || pos + 1 >= rd.blen) {
						pos = join_point(rd, pos, cont);
						continue;
					}
					rd.buf[out++] = rd.buf[pos + 1];
					pos += 2;
					continue;
				}
				rd.buf[out++] = q;
				pos++;
			}
			continue;
		}
		rd.buf[out++] = c;
		pos++;
	}
}

} // namespace uci_impl
