// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>

// Command lines read from a descriptor (standard input), one request a line.
// A line is at most LINE_LIMIT bytes before its LF; a longer one is skipped
// whole and reported once, so a runaway input never grows the buffer.
constexpr size_t LINE_LIMIT = 4095;

enum line_result {
	LINE_OK,          // *line is the next line, without its LF (and a CR before it)
	LINE_EOF,         // no more input
	LINE_INTERRUPTED, // a signal arrived while waiting for input
	LINE_TOO_LONG,    // a line over LINE_LIMIT bytes was skipped
	LINE_HAS_NUL,     // a line holding a NUL byte was skipped (it cannot go out whole)
};

struct line_reader {
	int fd;
	size_t start; // first byte not yet handed out
	size_t len;   // bytes held in buf
	bool skipping;
	bool eof;
	char buf[LINE_LIMIT + 1];
};

void line_reader_init(line_reader &r, int fd);

// The next line; *line points into the reader's buffer and stays valid until
// the next call. The last line needs no LF.
line_result read_line(line_reader &r, char **line);
