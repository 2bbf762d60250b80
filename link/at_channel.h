// SPDX-License-Identifier: ISC
// The channel record of the daemon, the module-row type, link states and
// chat result codes. One daemon serves one channel: `channel` below is the
// record, filled by the configuration load and driven by the link code.
#pragma once

#include <stdint.h>
#include <strings.h>

extern "C" {
#include <libubox/uloop.h>
}

#include "link/frames.h"
#include "link/lines.h"

struct at_channel;

// Wrap a NUL-terminated text into a link frame. Returns a malloc'd frame or
// null; on success *extra_len holds the bytes the frame has beyond the text,
// so the caller writes strlen(text) + *extra_len bytes, then frees the frame.
typedef char *(*odu_encode_fn)(const char *text, int *extra_len);

// Turn the bytes of one read (count n, followed by a zero byte the caller
// placed) into answer text. Returns a malloc'd NUL-terminated text and its
// length in *text_len, or null when the bytes carry no answer text. May set
// rgmii_ready in the record.
typedef char *(*odu_decode_fn)(at_channel *ch, const char *bytes, int n, int *text_len);

enum : uint32_t {
	LINK_NONE = 0,
	LINK_ATTACHED = 1,
	LINK_DETACHED = 2,
};

enum : int {
	CHAT_OK = 0,
	CHAT_BAD_ARGUMENT = 2,
	CHAT_WRITE_FAILED = 3,
	CHAT_NO_ANSWER = 4,
	CHAT_TIMED_OUT = 5,
	CHAT_NOT_READY = 6,
};

// What the channel does with text the module sent while no exchange ran.
typedef void (*pending_fn)(at_channel *ch, const char *text, int len);

// One row of the module table: a model and its framing methods. A row
// without decode_frame means the module speaks plain AT text.
struct odu_module {
	char model[64];
	int frame_header_len;
	odu_encode_fn encode_at;
	odu_decode_fn decode_frame;
	odu_encode_fn encode_heartbeat;
};

struct at_channel {
	char name[64];                   // channel id
	char object_name[128];           // "ravel" + name
	uint32_t link_state;             // LINK_*
	int fail_count;                  // consecutive failed at_cmd calls
	uint32_t trace_level;            // log level of AT traffic lines
	uint32_t poll_interval;          // ms between poll runs
	struct uloop_timeout poll_timer; // embedded: poll_tick finds the record by container_of
	char server[128];                // dotted IPv4
	char model[128];
	char proto[64]; // "udp" (any case) or TCP
	uint32_t port;
	int poll_count;         // poll runs that reached the heartbeat step
	int heartbeat_interval; // ms
	int frame_header_len;   // 3 framed, 0 plain
	uint32_t lost_since;    // uptime second of the first noticed loss, 0 if none
	odu_encode_fn encode_at;
	odu_decode_fn decode_frame; // non-null: the module is framed
	odu_encode_fn encode_heartbeat;
	uint32_t rgmii_ready; // framed module announced readiness
	int link_fd;          // link socket or -1
	uint32_t answer_len;
	char *answer; // malloc'd, NUL-terminated, or null
	// Below: the daemon's own, beyond what other programs see of the link.
	// The loop watches the link socket: for writability while a connect is
	// on its way (connect_fd, bounded by connect_timer), for readability
	// while attached (link_fd). Callbacks find the record by container_of.
	struct uloop_fd link_watch;
	struct uloop_timeout connect_timer;
	int connect_fd; // a TCP connect in progress, or -1
	// Handles text read while no exchange runs (the scan cache); set by
	// the poll timer's start, called by the link watch and by the chat
	// engine before each command.
	pending_fn take_pending;
	// Final results still owed by the module: a command that ended without
	// one, a plain heartbeat not answered yet. Forgotten at late_until_ms.
	int late_owed;
	uint64_t late_until_ms;
	bool late_awaited;          // the next command already waited for it once
	line_scanner pending_lines; // the lines of text read while no exchange runs
	bool module_echoes;         // the module was last seen echoing commands
	// Whether the module is still there: anything heard since the last
	// heartbeat, heartbeats in a row with nothing heard, and what
	// "network.interface" was last told of the link (link_notice).
	bool heard;
	int missed_heartbeats;   // -1 until the first heartbeat after an attach
	bool answers_heartbeats; // a framed module was heard between heartbeats
	uint8_t notified;
	bool notify_when_heard; // a datagram link after a loss: up once the module speaks
	int poll_late_ms;       // part of a run held up by requests, not yet counted
	frame_reader frames;
};

// The daemon's one channel record (defined in link/channel.cc).
extern at_channel channel;

inline bool channel_is_framed(const at_channel *ch)
{
	return ch->decode_frame != nullptr;
}

// Whether the link is a byte stream (TCP): only there does a read of nothing
// or a failed write mean that the module has gone.
inline bool link_is_stream(const at_channel *ch)
{
	return ch && strcasecmp(ch->proto, "udp") != 0;
}
