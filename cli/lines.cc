// SPDX-License-Identifier: ISC
#include "cli/lines.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

void line_reader_init(line_reader &r, int fd)
{
	r.fd = fd;
	r.start = 0;
	r.len = 0;
	r.skipping = false;
	r.eof = false;
}

// Cuts the line [start, end) out of the buffer: NUL-terminated, CR dropped.
static line_result take_line(line_reader &r, size_t end, char **line)
{
	char *text = r.buf + r.start;
	size_t n = end - r.start;
	r.start = end < r.len ? end + 1 : end;
	if (n > 0 && text[n - 1] == '\r')
		n--;
	text[n] = '\0';
	if (memchr(text, '\0', n))
		return LINE_HAS_NUL;
	*line = text;
	return LINE_OK;
}

line_result read_line(line_reader &r, char **line)
{
	for (;;) {
		char *from = r.buf + r.start;
		char *lf = static_cast<char *>(memchr(from, '\n', r.len - r.start));
		if (lf) {
			size_t end = static_cast<size_t>(lf - r.buf);
			if (r.skipping) {
				r.skipping = false;
				r.start = end + 1;
				return LINE_TOO_LONG;
			}
			return take_line(r, end, line);
		}
		if (r.eof) {
			if (r.skipping) {
				r.skipping = false;
				r.start = r.len = 0;
				return LINE_TOO_LONG;
			}
			if (r.start == r.len)
				return LINE_EOF;
			return take_line(r, r.len, line);
		}
		// No LF in what is held: keep the partial line at the front and
		// read more, or drop it when it has filled the buffer.
		memmove(r.buf, from, r.len - r.start);
		r.len -= r.start;
		r.start = 0;
		if (r.len == LINE_LIMIT + 1 || (r.skipping && r.len > 0)) {
			r.skipping = true;
			r.len = 0;
		}
		ssize_t got = read(r.fd, r.buf + r.len, LINE_LIMIT + 1 - r.len);
		if (got < 0 && errno == EINTR)
			return LINE_INTERRUPTED;
		if (got <= 0)
			r.eof = true;
		else
			r.len += static_cast<size_t>(got);
	}
}
