// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Link frame: type byte, 16-bit big-endian payload length, payload.
inline constexpr size_t FRAME_HEADER_LEN = 3;
inline constexpr size_t FRAME_MAX_PAYLOAD = 0xffff;

inline constexpr uint8_t FRAME_AT = 0xA4;        // host: AT command line
inline constexpr uint8_t FRAME_HEARTBEAT = 0xE4; // both ways: heartbeat
inline constexpr uint8_t FRAME_ANSWER = 0xA0;    // module: answer text
inline constexpr uint8_t FRAME_STATUS = 0xE0;    // module: status / readiness

struct frame {
	uint8_t type = 0;
	std::string payload;
};

// One frame; payloads longer than FRAME_MAX_PAYLOAD are cut (callers that
// may exceed it use encode_frames).
std::string encode_frame(uint8_t type, std::string_view payload);

// Any text as a run of frames of the given type, each at most
// max_payload bytes of payload (never more than FRAME_MAX_PAYLOAD).
std::string encode_frames(uint8_t type, std::string_view text, size_t max_payload = FRAME_MAX_PAYLOAD);

// Reassembles frames from a byte stream that may cut them anywhere. The
// buffer never holds more than one frame plus one read.
class frame_reader {
public:
	void feed(std::string_view bytes) { buf_.append(bytes); }
	std::optional<frame> next();
	size_t pending() const { return buf_.size(); }
	void clear() { buf_.clear(); }

private:
	std::string buf_;
};

} // namespace sim
