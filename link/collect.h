// SPDX-License-Identifier: ISC
// Answer collection without I/O: the engine hands in the bytes it read, the
// collector keeps the answer text and tells after each piece whether the
// answer is complete and which log lines the engine writes for it.
#pragma once

#include <stddef.h>

#include "common/own.h"
#include "link/at_channel.h"
#include "link/lines.h"

// What one piece of text did, in the order it happened.
enum class collect_event : unsigned char {
	grew,           // the buffer grew from `from` to `to` in 1 KiB steps
	no_memory,      // a growth failed: the answer is cut where it is
	matched_expect, // the expected text was seen
	matched_ok,     // an "OK" line was seen (any case)
	matched_error,  // an "ERROR", "+CME ERROR" or "+CMS ERROR" line was seen
	late_dropped,   // another command's answer (`len` bytes) was taken out
	cut,            // the answer reached its bound at `len` bytes
};

struct collect_note {
	collect_event event;
	size_t len = 0;      // text kept when the note was made
	size_t text_len = 0; // of it, up to the first zero byte
	size_t from = 0, to = 0;
	int growths = 0; // growths before this note
};

// A piece makes at most one growth run, one memory failure, one cut, one
// end and a few answers of other commands taken out (more are not noted).
constexpr int COLLECT_NOTES_MAX = 8;

struct collect_step {
	bool done = false; // the answer's end was seen: stop reading
	int count = 0;
	collect_note notes[COLLECT_NOTES_MAX];

	void note(const collect_note &n)
	{
		if (count < COLLECT_NOTES_MAX)
			notes[count++] = n;
	}
};

// The text of one answer. It is kept up to CHAT_ANSWER_MAX bytes (with a
// zero byte after it); past that the answer is cut, and later text is only
// looked through for the answer's end. `size` is the size the collection
// grows the buffer to in 1 KiB steps, as its trace lines tell; the
// allocation underneath grows geometrically so a long answer costs linear
// time.
struct collector {
	text_owner data;
	size_t len = 0;
	size_t size = 0;
	size_t capacity = 0;
	int growths = 0;
	bool matching = false; // look for the answer's end
	const char *expect = nullptr;
	size_t expect_len = 0;
	bool ended = false; // a final result or the expected text was seen
	bool cut = false;
	// Lines: where the current one starts, and (with an own command) where
	// an answer that began with another command's echo starts.
	line_scanner lines = {};
	size_t line_from = 0;
	static constexpr size_t NONE = static_cast<size_t>(-1);
	size_t foreign_from = NONE;
	bool skip_lf = false; // the LF of a CR LF after a taken-out answer
	int late_answers = 0; // answers of other commands taken out
	// With a module known to echo and final results still owed by it, a
	// final result before our own echo is an owed one (its echo may have
	// come before our command went out).
	bool echo_expected = false;
	int owed = 0;
	bool own_seen = false; // our own echo came
	// The last bytes of a cut answer, so an end split across reads is seen.
	static constexpr size_t TAIL_MAX = 256;
	char tail[TAIL_MAX] = {};
	size_t tail_len = 0;

	// The first 1 KiB block; false when it cannot be had. With `match` the
	// answer ends at a final result line ("OK", "ERROR", "+CME ERROR…",
	// "+CMS ERROR…") or at `expected` anywhere (when not null). With
	// `own_command` (the command sent, when the module echoes), an answer
	// that begins with the echo of another command (a late answer, the
	// heartbeat's) is taken out up to its own final result, and that result
	// ends nothing.
	bool start(bool match, const char *expected, const char *own_command = nullptr);

	// Whether the text collected ended with a final result (or the
	// expected text) and is whole.
	bool complete() const { return ended && !cut; }

	// Takes n bytes of answer text (zero bytes are text like any).
	collect_step add(const char *text, size_t n);

	// The collection's code so far: a cut answer is not the module's whole
	// answer and does not count as one.
	int code() const;

private:
	bool reserve(size_t need, collect_step &step);
	void look_for_expect(const char *before, size_t before_len, const char *fresh, size_t n,
			     collect_step &step);
	void scan_lines(size_t from, collect_step &step);
	void scan_cut(const char *fresh, size_t n, collect_step &step);
	void take_out(size_t from, size_t to, collect_step &step);
	void erase(size_t from, size_t to);
	void keep_tail(const char *fresh, size_t n);
};

// Writes the log lines of a step as the engine writes them; `debug` adds
// the lines of debug mode.
using collect_log = void (*)(int level, const char *fmt, ...);
void collect_write(const collector &c, const collect_step &step, bool debug, collect_log log);
