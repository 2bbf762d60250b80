// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "common/log.h"
#include "link/framing.h"

namespace {

std::string frame(unsigned char type, const std::string &payload, int declared = -1)
{
	if (declared < 0)
		declared = static_cast<int>(payload.size());
	std::string f;
	f += static_cast<char>(type);
	f += static_cast<char>((declared >> 8) & 0xff);
	f += static_cast<char>(declared & 0xff);
	return f + payload;
}

class framing : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_threshold = -1;
		ch = {};
		ch.link_fd = -1;
		ch.connect_fd = -1;
		ch.decode_frame = rgmii_decode;
	}

	// Decodes like the chat engine hands a read over: a zero byte after it.
	std::string decode(const std::string &bytes, bool *got_text = nullptr)
	{
		std::string buf = bytes + '\0';
		int len = -1;
		char *text = rgmii_decode(&ch, buf.data(), static_cast<int>(bytes.size()), &len);
		if (got_text)
			*got_text = text != nullptr;
		if (!text)
			return {};
		std::string out(text, static_cast<size_t>(len));
		EXPECT_EQ(text[len], '\0');
		free(text);
		return out;
	}

	at_channel ch;
};

TEST_F(framing, encoders_write_type_big_endian_length_and_text)
{
	int extra = 0;
	char *f = rgmii_encode_at("AT\r", &extra);
	ASSERT_NE(f, nullptr);
	EXPECT_EQ(extra, 3);
	EXPECT_EQ(std::string(f, 6), std::string("\xA4\x00\x03"
						 "AT\r",
						 6));
	free(f);

	f = rgmii_encode_heartbeat("HEARBEAT_REQ", &extra);
	ASSERT_NE(f, nullptr);
	EXPECT_EQ(std::string(f, 15), frame(0xE4, "HEARBEAT_REQ"));
	free(f);

	std::string longer(300, 'x');
	f = rgmii_encode_at(longer.c_str(), &extra);
	ASSERT_NE(f, nullptr);
	EXPECT_EQ(static_cast<unsigned char>(f[1]), 0x01);
	EXPECT_EQ(static_cast<unsigned char>(f[2]), 0x2C);
	EXPECT_EQ(std::string(f + 3, 300), longer);
	EXPECT_EQ(f[303], '\0');
	free(f);

	EXPECT_EQ(rgmii_encode_at("", &extra), nullptr);
	EXPECT_EQ(rgmii_encode_at(nullptr, &extra), nullptr);
	EXPECT_EQ(rgmii_encode_heartbeat("", &extra), nullptr);
}

TEST_F(framing, answer_frame_gives_its_payload)
{
	EXPECT_EQ(decode(frame(0xA0, "\r\nOK\r\n")), "\r\nOK\r\n");
	// Declared longer than read: cut to what was read.
	EXPECT_EQ(decode(frame(0xA0, "abcdef", 10)), "abcdef");
	// Bytes after the frame that do not start an answer frame are dropped.
	EXPECT_EQ(decode(frame(0xA0, "abc") + frame(0xE0, "RGMII_ATC_READY")), "abc");
	EXPECT_EQ(ch.rgmii_ready, 0u);
	bool got = true;
	EXPECT_EQ(decode(frame(0xA0, "", 0) + "xyz", &got), "");
	EXPECT_FALSE(got);
}

TEST_F(framing, two_answer_frames_in_one_read_are_joined)
{
	EXPECT_EQ(decode(frame(0xA0, "first,") + frame(0xA0, "second")), "first,second");
	// The second frame's declared length is not used: everything after its header counts.
	EXPECT_EQ(decode(frame(0xA0, "a") + frame(0xA0, "bc", 1) + "d"), "abcd");
}

TEST_F(framing, second_header_cut_short_stays_within_the_read)
{
	// Only the type byte, or type and one length byte, of a second frame.
	EXPECT_EQ(decode(frame(0xA0, "abc") + "\xA0"), "abc");
	EXPECT_EQ(decode(frame(0xA0, "abc") + std::string("\xA0\x00", 2)), "abc");
	EXPECT_EQ(decode(frame(0xA0, "abc") + std::string("\xA0\x00\x05", 3)), "abc");
}

TEST_F(framing, short_reads_and_missing_arguments_give_nothing)
{
	bool got = true;
	decode(std::string("\xA0\x00", 2), &got);
	EXPECT_FALSE(got);
	int len = 7;
	EXPECT_EQ(rgmii_decode(nullptr, "\xA0\x00\x01x", 4, &len), nullptr);
	EXPECT_EQ(rgmii_decode(&ch, nullptr, 4, &len), nullptr);
	decode(frame(0x55, "text"), &got);
	EXPECT_FALSE(got);
}

TEST_F(framing, readiness_tokens_any_case_full_length_only)
{
	bool got = true;
	decode(frame(0xE0, "RGMII_ATC_READ"), &got);
	EXPECT_FALSE(got);
	EXPECT_EQ(ch.rgmii_ready, 0u);
	decode(frame(0xE0, "something else"));
	EXPECT_EQ(ch.rgmii_ready, 0u);

	for (const char *token : {"rgmii_atc_ready", "RGMII_MDC_READY", "Rgmii_Qmi_Ready,extra"}) {
		ch.rgmii_ready = 0;
		decode(frame(0xE0, token), &got);
		EXPECT_FALSE(got);
		EXPECT_EQ(ch.rgmii_ready, 1u) << token;
	}
	// A later non-token status frame does not take readiness back, nor a heartbeat frame.
	decode(frame(0xE0, "RGMII_ATC_DOWN"));
	decode(frame(0xE4, "HEARBEAT_RSP"), &got);
	EXPECT_FALSE(got);
	EXPECT_EQ(ch.rgmii_ready, 1u);
}

TEST_F(framing, token_compare_stops_at_the_end_of_the_read)
{
	// The token would continue in memory after the read; it must not count.
	std::string full = frame(0xE0, "RGMII_ATC_READY");
	std::string buf = full;
	int len = 0;
	EXPECT_EQ(rgmii_decode(&ch, buf.data(), static_cast<int>(full.size()) - 1, &len), nullptr);
	EXPECT_EQ(ch.rgmii_ready, 0u);
}

} // namespace
