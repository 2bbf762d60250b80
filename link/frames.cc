// SPDX-License-Identifier: ISC
#include "link/frames.h"

#include <string.h>
#include <unistd.h>

#include "common/own.h"
#include "link/at_channel.h"

namespace {

// Hands one frame (or datagram) to decode_frame and passes on its text.
// bytes[n] must be writable: the decoder expects a zero byte there.
void decode_one(at_channel *ch, char *bytes, size_t n, text_sink sink, void *ctx)
{
	const char saved = bytes[n];
	bytes[n] = '\0';
	int text_len = 0;
	text_owner text(ch->decode_frame(ch, bytes, static_cast<int>(n), &text_len));
	bytes[n] = saved;
	if (text && text_len > 0)
		sink(ctx, text.get(), static_cast<size_t>(text_len) < n ? static_cast<size_t>(text_len) : n);
}

} // namespace

void frames_feed(at_channel *ch, char *raw, size_t n, text_sink sink, void *ctx)
{
	if (n == 0)
		return;
	if (!channel_is_framed(ch)) {
		sink(ctx, raw, n);
		return;
	}
	const size_t header = static_cast<size_t>(ch->frame_header_len);
	if (header < 3 || !link_is_stream(ch)) {
		decode_one(ch, raw, n, sink, ctx);
		return;
	}
	frame_reader &r = ch->frames;
	while (n > 0) {
		size_t held = r.held;
		const size_t take = n < LINK_FRAME_MAX - held ? n : LINK_FRAME_MAX - held;
		memcpy(r.part + held, raw, take);
		held += take;
		raw += take;
		n -= take;
		size_t at = 0;
		while (held - at >= header) {
			const auto *h = reinterpret_cast<const unsigned char *>(r.part + at);
			const size_t frame =
				header + ((static_cast<size_t>(h[header - 2]) << 8) | h[header - 1]);
			if (held - at < frame)
				break;
			decode_one(ch, r.part + at, frame, sink, ctx);
			at += frame;
		}
		memmove(r.part, r.part + at, held - at);
		r.held = static_cast<uint32_t>(held - at);
	}
}

bool frames_partial(const at_channel *ch)
{
	return ch && ch->frames.held > 0;
}

size_t frames_drop(at_channel *ch)
{
	if (!ch)
		return 0;
	const size_t held = ch->frames.held;
	ch->frames.held = 0;
	return held;
}

long frames_read(const at_channel *ch, char *buf, size_t window)
{
	const size_t want = link_is_stream(ch) ? window : LINK_DATAGRAM_MAX;
	return static_cast<long>(read(ch->link_fd, buf, want));
}
