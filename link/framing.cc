// SPDX-License-Identifier: ISC
#include "link/framing.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <syslog.h>

#include "common/log.h"

namespace {

constexpr int READY_TOKEN_LEN = 15;
constexpr const char *ready_tokens[] = {
	"RGMII_ATC_READY",
	"RGMII_MDC_READY",
	"RGMII_QMI_READY",
};

char *encode(unsigned char type, const char *text, int *extra_len)
{
	if (!text || !*text)
		return nullptr;
	size_t n = strlen(text);
	char *frame = static_cast<char *>(calloc(1, n + 4));
	if (!frame)
		return nullptr;
	frame[0] = static_cast<char>(type);
	frame[1] = static_cast<char>((n >> 8) & 0xff);
	frame[2] = static_cast<char>(n & 0xff);
	// NOLINTNEXTLINE(bugprone-not-null-terminated-result): calloc left the byte after the text zero
	memcpy(frame + RGMII_HEADER_LEN, text, n);
	if (extra_len)
		*extra_len = RGMII_HEADER_LEN;
	return frame;
}

char *copy_text(const char *a, int a_len, const char *b, int b_len, int *text_len)
{
	char *text = static_cast<char *>(malloc(static_cast<size_t>(a_len) + b_len + 1));
	if (!text)
		return nullptr;
	memcpy(text, a, a_len);
	if (b_len > 0)
		memcpy(text + a_len, b, b_len);
	text[a_len + b_len] = '\0';
	if (text_len)
		*text_len = a_len + b_len;
	return text;
}

void log_frame(int level, const unsigned char *b, int n, int declared)
{
	log_message(level, "-- >>odu %d %02X%02X%02X (%.*s)", declared, b[0], b[1], b[2],
		    n - RGMII_HEADER_LEN, reinterpret_cast<const char *>(b) + RGMII_HEADER_LEN);
}

bool payload_is_ready(const char *payload, int avail)
{
	if (avail < READY_TOKEN_LEN)
		return false;
	for (const char *token : ready_tokens)
		if (strncasecmp(payload, token, READY_TOKEN_LEN) == 0)
			return true;
	return false;
}

} // namespace

char *rgmii_encode_at(const char *text, int *extra_len)
{
	return encode(RGMII_AT_REQ, text, extra_len);
}

char *rgmii_encode_heartbeat(const char *text, int *extra_len)
{
	return encode(RGMII_HEARTBEAT, text, extra_len);
}

char *rgmii_decode(at_channel *ch, const char *bytes, int n, int *text_len)
{
	if (text_len)
		*text_len = 0;
	if (!ch || !bytes || n <= 2)
		return nullptr;

	const auto *b = reinterpret_cast<const unsigned char *>(bytes);
	const int declared = (b[1] << 8) | b[2];
	const char *payload = bytes + RGMII_HEADER_LEN;
	const int avail = n - RGMII_HEADER_LEN;

	switch (b[0]) {
	case RGMII_AT_RSP: {
		if (declared == 0)
			return nullptr;
		const int second = declared + RGMII_HEADER_LEN;
		if (second < n && b[second] == RGMII_AT_RSP) {
			// A second answer frame in the same read: its payload follows
			// its header directly. A header cut short by the read adds nothing.
			const int tail_at = second + RGMII_HEADER_LEN;
			const int tail_len = n > tail_at ? n - tail_at : 0;
			char *text = copy_text(payload, declared, bytes + tail_at, tail_len, text_len);
			if (text)
				log_message(LOG_DEBUG, "-- >>odu %d (%s)", declared + tail_len, text);
			return text;
		}
		log_frame(LOG_DEBUG, b, n, declared);
		return copy_text(payload, declared < avail ? declared : avail, nullptr, 0, text_len);
	}
	case RGMII_STATUS:
		log_frame(LOG_INFO, b, n, declared);
		if (payload_is_ready(payload, avail))
			ch->rgmii_ready = 1;
		log_message(LOG_WARNING, "odu ready %d", ch->rgmii_ready);
		return nullptr;
	case RGMII_HEARTBEAT:
		log_frame(LOG_INFO, b, n, declared);
		return nullptr;
	default:
		return nullptr;
	}
}
