// SPDX-License-Identifier: ISC
// The AT chat engine: runs command lines on the link socket and collects
// the module's answers. Every function returns a CHAT_* code.
#pragma once

#include <stddef.h>

#include "link/at_channel.h"

constexpr int CHAT_LINE_LIMIT = 1025; // a sent line holds at most 1024 characters
constexpr int CHAT_COMMAND_SIZE = 64; // a command followed by '|' holds at most 63
constexpr int CHAT_WINDOW = 1023;     // bytes one collection window takes
constexpr int CHAT_BLOCK = 1024;      // answer buffer grows in these steps
constexpr int CHAT_SELECT_STEP_US = 500000;
constexpr int CHAT_ALARM_MIN_S = 2;
// No request holds the channel longer than this, whatever its commands and
// wait: the daemon serves nothing else meanwhile.
constexpr int CHAT_ALARM_MAX_S = 300;
// Bound on one collection and on the joined answer: a reply on the bus
// cannot carry more than 1 MiB anyway. An answer that reaches it is cut:
// the rest of it is read and dropped, and the command's code is
// CHAT_NO_ANSWER since the caller does not get the whole answer.
constexpr size_t CHAT_ANSWER_MAX = 1024 * 1024;
// Text the module sent on its own is read before each command is sent, at
// most this many reads of CHAT_WINDOW bytes, so a module that never stops
// talking still gets its command.
constexpr int CHAT_DRAIN_READS_MAX = 64;
// A final result the module still owes (a command that got none in its
// wait, a plain heartbeat) is awaited before the next command goes out for
// at most CHAT_LATE_WAIT_MS, and forgotten CHAT_LATE_KEEP_MS after it was
// owed. Whatever comes later is still told apart by its echo.
constexpr int CHAT_LATE_WAIT_MS = 500;
constexpr int CHAT_LATE_KEEP_MS = 5000;
constexpr int CHAT_LATE_OWED_MAX = 8;

// Notes that the module owes one more final result (see CHAT_LATE_WAIT_MS).
void chat_owe_answer(at_channel *ch);

// 1 when the daemon was started with -d: the engine writes extra level-7
// traces. The daemon's entry sets it.
extern int debug_mode;

// Runs a command line ('|' separates commands, '>' splits a command into a
// prompt step and a Ctrl-Z step) under an overall alarm of
// commands x wait_ms / 1000 seconds (at least 2, at most 300). The answers
// are joined in ch->answer / ch->answer_len, which must be empty on entry;
// the result is 0 when every command got its final result, else the first
// failing command's code, or CHAT_TIMED_OUT when the alarm fired and
// nothing was collected. A stop signal (the event loop ending)
// ends the request at once with CHAT_TIMED_OUT and what was collected.
// A command before a '|' longer than 63 characters is refused with
// CHAT_BAD_ARGUMENT and not sent. A command's answer that would push the
// joined answer past CHAT_ANSWER_MAX is dropped and logged.
int chat(at_channel *ch, const char *line, const char *expect, int wait_ms);

// One command: what the module sent on its own is read first and handed to
// ch->take_pending (the scan cache), then one or two
// send/collect steps. *answer may be set even on failure; the caller frees it.
int chat_exchange(at_channel *ch, const char *command, char **answer, int *answer_len, const char *expect,
		  int wait_ms);

// Sends one text (framed through encode_at / encode_heartbeat when the
// module has them) in one write.
int chat_send(at_channel *ch, const char *text);

// Collects an answer until a final result line ("OK", "ERROR", "+CME
// ERROR…", "+CMS ERROR…"), the expected text anywhere (found by length,
// zero bytes in the answer notwithstanding), the end of the connection, or
// wait_ms without new bytes (tested in half-second steps). Text without a
// final result (the connection ended or the wait ran out) is
// CHAT_NO_ANSWER with what came.
// Ends with CHAT_NO_ANSWER and what it has as soon as the request's alarm
// has fired, also when the alarm came between two reads.
// *answer is set whenever the result is not CHAT_BAD_ARGUMENT; the caller
// frees it. *answer_len counts every byte collected. The link's reader
// (frames.h) turns what is read into text; a frame still partial when the
// request ends is dropped then.
int chat_recv(at_channel *ch, char **answer, int *answer_len, const char *expect, int wait_ms);

// Reads text the module sent on its own, waiting at most wait_ms for it.
// *text is set once something was readable; the caller frees it. When
// `ended` is given, it tells whether the read gave nothing or failed: on a
// stream link, the module has closed or reset the connection.
int chat_read_pending(at_channel *ch, char **text, int *text_len, int wait_ms, bool *ended = nullptr);

// Reads one piece of what the module sent on its own, as chat_read_pending,
// and hands its text to ch->take_pending.
int chat_take_pending(at_channel *ch, int wait_ms, bool *ended);

// Seconds of the overall alarm for a line of `commands` commands.
unsigned chat_alarm_seconds(size_t commands, int wait_ms);
