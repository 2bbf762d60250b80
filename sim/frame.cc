// SPDX-License-Identifier: ISC
#include "sim/frame.h"

#include <algorithm>

namespace sim {

std::string encode_frame(uint8_t type, std::string_view payload)
{
	payload = payload.substr(0, FRAME_MAX_PAYLOAD);
	std::string out;
	out.reserve(FRAME_HEADER_LEN + payload.size());
	out += static_cast<char>(type);
	out += static_cast<char>(payload.size() >> 8);
	out += static_cast<char>(payload.size() & 0xff);
	out.append(payload);
	return out;
}

std::string encode_frames(uint8_t type, std::string_view text, size_t max_payload)
{
	max_payload = std::clamp<size_t>(max_payload, 1, FRAME_MAX_PAYLOAD);
	if (text.empty())
		return encode_frame(type, text);
	std::string out;
	for (size_t at = 0; at < text.size(); at += max_payload)
		out += encode_frame(type, text.substr(at, max_payload));
	return out;
}

std::optional<frame> frame_reader::next()
{
	if (buf_.size() < FRAME_HEADER_LEN)
		return std::nullopt;
	size_t len = static_cast<unsigned char>(buf_[1]) << 8 | static_cast<unsigned char>(buf_[2]);
	if (buf_.size() < FRAME_HEADER_LEN + len)
		return std::nullopt;
	frame f;
	f.type = static_cast<uint8_t>(buf_[0]);
	f.payload = buf_.substr(FRAME_HEADER_LEN, len);
	buf_.erase(0, FRAME_HEADER_LEN + len);
	return f;
}

} // namespace sim
