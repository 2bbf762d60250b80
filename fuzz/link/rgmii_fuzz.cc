// SPDX-License-Identifier: ISC
// Bytes from the modem link: the frame decoder on one read, and the answer
// collector fed read by read, plain and framed.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <stdio.h>

#include "common/log.h"
#include "link/chat.h"
#include "link/collect.h"
#include "link/frames.h"
#include "link/framing.h"

namespace {

void check_decode(const uint8_t *data, size_t size)
{
	// Exactly the read plus the zero byte the engine places after it, so any
	// access beyond is caught.
	char *bytes = static_cast<char *>(malloc(size + 1));
	if (!bytes)
		return;
	if (size)
		memcpy(bytes, data, size);
	bytes[size] = '\0';
	at_channel ch = {};
	ch.link_fd = -1;
	int len = -1;
	char *text = rgmii_decode(&ch, bytes, static_cast<int>(size), &len);
	if (text) {
		if (len < 0 || static_cast<size_t>(len) > size || text[len] != '\0')
			abort();
		free(text);
	}
	free(bytes);
}

void on_text(void *ctx, const char *text, size_t n)
{
	auto &c = *static_cast<collector *>(ctx);
	const collect_step step = c.add(text, n);
	if (step.count > COLLECT_NOTES_MAX || step.done != c.ended || c.len >= c.size ||
	    c.size > CHAT_ANSWER_MAX)
		abort();
}

// The collector fed as the engine feeds it: the first byte picks plain or
// framed (stream or datagram) and the expected text, the second the size
// of the reads the rest is cut into.
void check_collect(const uint8_t *data, size_t size)
{
	if (size < 2 || size > 128 * 1024)
		return;
	const bool framed = data[0] & 1;
	const char *expect = (data[0] & 2) ? ">" : nullptr;
	const size_t step = 1 + data[1] % CHAT_WINDOW;
	at_channel ch = {};
	ch.link_fd = -1;
	ch.link_state = LINK_ATTACHED;
	snprintf(ch.proto, sizeof(ch.proto), "%s", (data[0] & 4) ? "udp" : "tcp");
	if (framed) {
		ch.frame_header_len = 3;
		ch.decode_frame = rgmii_decode;
		ch.rgmii_ready = 1;
	}
	collector c;
	if (!c.start(!(data[0] & 8), expect, (data[0] & 16) ? "ATI" : nullptr))
		return;
	size_t total = 0;
	char raw[CHAT_BLOCK];
	for (size_t off = 2; off < size; off += step) {
		const size_t n = size - off < step ? size - off : step;
		memcpy(raw, data + off, n);
		raw[n] = '\0';
		frames_feed(&ch, raw, n, on_text, &c);
		total += n;
		if (c.len > total || ch.frames.held > LINK_FRAME_MAX)
			abort();
	}
	frames_drop(&ch);
	if (c.len > total || c.data.get()[c.len] != '\0' || (c.cut && c.code() != CHAT_NO_ANSWER))
		abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	log_threshold = -1;
	check_decode(data, size);
	if (size > 0)
		check_decode(data + 1, size - 1);
	check_collect(data, size);
	return 0;
}
