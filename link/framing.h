// SPDX-License-Identifier: ISC
// Framed link format of the RM520N/RM500S modules: type byte, 16-bit
// big-endian payload length, payload. These are the row methods of the
// module table (see odu_encode_fn / odu_decode_fn in at_channel.h).
#pragma once

#include "link/at_channel.h"

constexpr unsigned char RGMII_AT_REQ = 0xA4;    // daemon -> module: AT line
constexpr unsigned char RGMII_HEARTBEAT = 0xE4; // both directions
constexpr unsigned char RGMII_AT_RSP = 0xA0;    // module -> daemon: answer text
constexpr unsigned char RGMII_STATUS = 0xE0;    // module -> daemon: status / readiness
constexpr int RGMII_HEADER_LEN = 3;

char *rgmii_encode_at(const char *text, int *extra_len);
char *rgmii_encode_heartbeat(const char *text, int *extra_len);

// Decodes the bytes of one read. Answer frames give their text; status
// frames may set ch->rgmii_ready and give null, as do heartbeat frames,
// other types and reads of at most 2 bytes. The text never holds bytes
// from outside bytes[0..n).
char *rgmii_decode(at_channel *ch, const char *bytes, int n, int *text_len);
