// SPDX-License-Identifier: ISC
// The link's reader: turns the bytes read from the link socket into text.
// It alone knows framing: plain modules give their bytes as they are; on a
// datagram link each read is one whole datagram, decoded at once; on a
// stream link a frame may be split across reads, so its bytes wait here
// until the frame is whole, and each whole frame goes to decode_frame on its
// own. What comes out is answer text only, for the collector or the
// pending-text handler.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct at_channel;

// Largest frame of a framed link: a header (type byte, 16-bit big-endian
// payload length) and the longest payload that length can declare.
constexpr int LINK_FRAME_MAX = 3 + 0xffff;

// Largest UDP payload: one read takes a whole datagram.
constexpr size_t LINK_DATAGRAM_MAX = 65535;

// The bytes of a frame not yet complete (one byte more for the zero the
// decoder expects after a frame). Owned by the channel record; the link's
// lifecycle empties it for every new or closed link.
struct frame_reader {
	uint32_t held;
	char part[LINK_FRAME_MAX + 1];
};

// Gets each piece of text the bytes carried, in order.
using text_sink = void (*)(void *ctx, const char *text, size_t n);

// Feeds the bytes of one read. raw[n] must be writable.
void frames_feed(at_channel *ch, char *raw, size_t n, text_sink sink, void *ctx);

// Whether the bytes of an incomplete frame are held.
bool frames_partial(const at_channel *ch);

// Forgets a held partial frame; returns how many bytes it had.
size_t frames_drop(at_channel *ch);

// One read from the link socket into buf (size at least LINK_DATAGRAM_MAX + 1
// on a datagram link, whole datagrams; a stream read takes at most `window`
// bytes). The result of read(2).
long frames_read(const at_channel *ch, char *buf, size_t window);
