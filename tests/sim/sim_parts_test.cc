// SPDX-License-Identifier: ISC
// The simulator's pure pieces: escapes, frames, command assembly, the
// answer table and the shaping of faulty answers.
#include "sim/answer_table.h"
#include "sim/escape.h"
#include "sim/faults.h"
#include "sim/frame.h"
#include "sim/line_reader.h"
#include "sim/modem.h"

#include <gtest/gtest.h>
#include <strings.h>

using namespace sim;

TEST(SimEscape, RoundTripsEveryByteAndRejectsBrokenEscapes)
{
	std::string all;
	for (int c = 0; c < 256; c++)
		all += static_cast<char>(c);
	std::string shown = escape_bytes(all);
	EXPECT_EQ(shown.find('\r'), std::string::npos);
	EXPECT_EQ(unescape_text(shown), all);
	EXPECT_EQ(escape_bytes("AT\r\n\x1a\\"), "AT\\r\\n\\x1a\\\\");
	EXPECT_EQ(unescape_text("a\\zb\\e"), std::string("a\x1a"
							 "b\x1b"));
	EXPECT_FALSE(unescape_text("tail\\"));
	EXPECT_FALSE(unescape_text("\\x4"));
	EXPECT_FALSE(unescape_text("\\xg1"));
	EXPECT_FALSE(unescape_text("\\q"));
}

TEST(SimFrames, ReaderReassemblesFramesCutAnywhere)
{
	std::string stream =
		encode_frame(0xA4, "AT\r") + encode_frame(0xE4, "HEARBEAT_REQ") + encode_frame(0xA4, "");
	for (size_t cut = 0; cut <= stream.size(); cut++) {
		frame_reader r;
		r.feed(std::string_view(stream).substr(0, cut));
		std::vector<frame> got;
		while (auto f = r.next())
			got.push_back(*f);
		r.feed(std::string_view(stream).substr(cut));
		while (auto f = r.next())
			got.push_back(*f);
		ASSERT_EQ(got.size(), 3u) << "cut at " << cut;
		EXPECT_EQ(got[0].type, 0xA4);
		EXPECT_EQ(got[0].payload, "AT\r");
		EXPECT_EQ(got[1].payload, "HEARBEAT_REQ");
		EXPECT_EQ(got[2].payload, "");
		EXPECT_EQ(r.pending(), 0u);
	}
}

TEST(SimFrames, LongTextBecomesSeveralFramesWithBigEndianLengths)
{
	std::string text(70000, 'x');
	std::string wire = encode_frames(0xA0, text);
	ASSERT_EQ(wire.size(), text.size() + 6);
	EXPECT_EQ(static_cast<unsigned char>(wire[0]), 0xA0);
	EXPECT_EQ(static_cast<unsigned char>(wire[1]), 0xFF);
	EXPECT_EQ(static_cast<unsigned char>(wire[2]), 0xFF);
	frame_reader r;
	r.feed(wire);
	EXPECT_EQ(r.next()->payload.size(), 65535u);
	EXPECT_EQ(r.next()->payload.size(), 70000u - 65535u);
}

TEST(SimLineReader, TakesCrLfAndCrLfEndingsAndTextUpToCtrlZ)
{
	line_reader r;
	r.feed("AT\rATI\nAT+CSQ\r\nAT+CMGS=\"1\"\r");
	EXPECT_EQ(r.next()->raw, "AT\r");
	EXPECT_EQ(r.next()->body, "ATI");
	auto csq = r.next();
	EXPECT_EQ(csq->body, "AT+CSQ");
	EXPECT_EQ(csq->raw, "AT+CSQ\r");
	EXPECT_EQ(r.next()->body, "AT+CMGS=\"1\"");
	EXPECT_FALSE(r.next());
	r.set_text_mode(true);
	r.feed("line one\rline two");
	EXPECT_FALSE(r.next()); // text runs on across CR until Ctrl-Z
	r.feed("\x1a"
	       "rest\x1b");
	auto text = r.next();
	EXPECT_EQ(text->kind, host_input::TEXT);
	EXPECT_EQ(text->body, "line one\rline two");
	auto cancelled = r.next();
	EXPECT_EQ(cancelled->kind, host_input::CANCELLED);
}

TEST(SimLineReader, OverlongInputIsReportedOnceAndDropped)
{
	line_reader r;
	r.feed(std::string(line_reader::MAX_LINE + 10, 'A'));
	EXPECT_EQ(r.next()->kind, host_input::OVERLONG);
	r.feed(std::string(100, 'B') + "\rAT\r");
	auto next = r.next();
	ASSERT_TRUE(next);
	EXPECT_EQ(next->body, "AT");
}

TEST(SimAnswerTable, ParsesEntriesAndPrefersExactThenLongestPrefix)
{
	std::string why;
	EXPECT_FALSE(parse_answer_entry("AT+X OK", &why));
	EXPECT_FALSE(parse_answer_entry(" => OK", &why));
	EXPECT_FALSE(parse_answer_entry("AT+X => bad\\q", &why));

	answer_table t;
	t.add(*parse_answer_entry("AT+COPS* => A", &why));
	t.add(*parse_answer_entry("AT+COPS=* => B", &why));
	t.add(*parse_answer_entry("at+cops=0 => C\\r\\n", &why));
	EXPECT_EQ(t.find("AT+COPS=0")->answer, "C\r\n");
	EXPECT_EQ(t.find("AT+COPS=1")->answer, "B");
	EXPECT_EQ(t.find("AT+COPS?")->answer, "A");
	EXPECT_EQ(t.find("AT+CSQ"), nullptr);
	t.add(*parse_answer_entry("AT+COPS=0 => D", &why));
	EXPECT_EQ(t.find("AT+COPS=0")->answer, "D");
	EXPECT_EQ(t.size(), 3u);

	auto two = parse_answer_entry("AT+CMSS=* =>> \\r\\n+CMSS: %n\\r\\n", &why);
	ASSERT_TRUE(two);
	EXPECT_TRUE(two->two_step);
	EXPECT_TRUE(two->prefix);
	EXPECT_EQ(two->command, "AT+CMSS=");
}

TEST(SimModem, AnswersEchoesAndRunsTwoStepCommands)
{
	modem m(answer_table::with_defaults());
	m.feed("AT\r\r");
	auto at = m.next();
	EXPECT_EQ(at->answer, "\r\nOK\r\n");
	EXPECT_EQ(at->echo, "");
	EXPECT_EQ(m.next()->answer, ""); // empty line: no answer
	m.feed("ATE1\rat+csq\rAT+NOPE\r");
	EXPECT_EQ(m.next()->echo, ""); // echo starts after ATE1
	auto csq = m.next();
	EXPECT_EQ(csq->echo, "at+csq\r");
	EXPECT_EQ(csq->answer, "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
	EXPECT_EQ(m.next()->answer, "\r\nERROR\r\n");
	m.set_echo(false);
	m.feed("AT+CMGS=\"5\"\rhi\x1a"
	       "AT+CMGS=\"5\"\rbye\x1b"
	       "AT+CMGS=\"5\"\rhi\x1a");
	auto prompt = m.next();
	EXPECT_FALSE(prompt->final);
	EXPECT_EQ(prompt->answer, "\r\n> ");
	EXPECT_EQ(m.next()->answer, "\r\n+CMGS: 1\r\n\r\nOK\r\n");
	m.next();
	EXPECT_EQ(m.next()->answer, "\r\nOK\r\n"); // ESC cancels, no reference used
	m.next();
	EXPECT_EQ(m.next()->answer, "\r\n+CMGS: 2\r\n\r\nOK\r\n");
	// Text that no prompt asked for is refused and does not spoil the next command.
	m.feed("stray\x1a"
	       "AT\r");
	auto stray = m.next();
	EXPECT_EQ(stray->input.kind, host_input::STRAY);
	EXPECT_EQ(stray->answer, "\r\nERROR\r\n");
	EXPECT_EQ(m.next()->answer, "\r\nOK\r\n");
}

TEST(SimAnswerTable, SampleFileLoadsAndBadLinesAreNamed)
{
	answer_table t;
	std::string why;
	ASSERT_TRUE(t.load_file(RAVEL_SIM_SOURCE_DIR "/answers.sample", &why)) << why;
	ASSERT_NE(t.find("at+cclk?"), nullptr);
	EXPECT_TRUE(t.find("AT+CMGC=5")->two_step);
	EXPECT_FALSE(t.load_file(RAVEL_SIM_SOURCE_DIR "/CMakeLists.txt", &why));
	EXPECT_NE(why.find("CMakeLists.txt:"), std::string::npos) << why;
}

TEST(SimFaults, ShapesSplitCloseAndHugeAnswers)
{
	wire_format plain;
	wire_format framed{true, false, 1024};
	armed_fault split;
	split.kind = armed_fault::SPLIT;
	split.pause_ms = 50;
	auto parts = shape_answer(plain, "\r\nOK\r\n", split);
	ASSERT_EQ(parts.size(), 2u);
	EXPECT_EQ(parts[0].writes[0] + parts[1].writes[0], "\r\nOK\r\n");
	EXPECT_EQ(parts[1].delay_ms, 50);

	split.offset = 5; // inside the frame: the second part has no header
	parts = shape_answer(framed, "\r\nOK\r\n", split);
	EXPECT_EQ(parts[0].writes[0], encode_frame(0xA0, "\r\nOK\r\n").substr(0, 5));
	split.split_frames = true;
	split.offset = 2;
	parts = shape_answer(framed, "\r\nOK\r\n", split);
	EXPECT_EQ(parts[0].writes[0], encode_frame(0xA0, "\r\n"));
	EXPECT_EQ(parts[1].writes[0], encode_frame(0xA0, "OK\r\n"));

	armed_fault cut;
	cut.kind = armed_fault::CLOSE_AFTER;
	cut.bytes = 3;
	parts = shape_answer(plain, "\r\n+CSQ: 1\r\n", cut);
	ASSERT_EQ(parts.size(), 1u);
	EXPECT_EQ(parts[0].writes[0], "\r\n+");
	EXPECT_TRUE(parts[0].close_after);

	std::string big = huge_text(102400);
	EXPECT_EQ(big.size(), 102400u);
	EXPECT_EQ(strcasestr(big.c_str(), "ok"), nullptr);
	EXPECT_EQ(strcasestr(big.c_str(), "error"), nullptr);
	EXPECT_EQ(strcasestr(trickle_line(12345).c_str(), "ok"), nullptr);
}

TEST(SimFaults, UdpAnswersAreDatagramsOfBoundedSize)
{
	wire_format udp{true, true, 100};
	auto writes = wire_writes(udp, std::string(250, 'z'));
	ASSERT_EQ(writes.size(), 3u);
	for (const auto &w : writes)
		EXPECT_LE(w.size(), 100u);
	EXPECT_EQ(writes[2], encode_frame(0xA0, std::string(250 - 2 * 97, 'z')));
}

TEST(SimFaults, GarbageNeverLooksLikeAnswerText)
{
	uint32_t seed = 7;
	for (bool framed : {false, true}) {
		auto writes = garbage_writes(wire_format{framed, false, 1024}, 30, &seed);
		ASSERT_EQ(writes.size(), 30u);
		for (const auto &w : writes) {
			ASSERT_FALSE(w.empty());
			if (!framed) {
				for (char c : w)
					EXPECT_GE(static_cast<unsigned char>(c), 0x80);
			} else if (w.size() >= 3) {
				// only an empty answer frame may carry the answer type
				EXPECT_TRUE(static_cast<unsigned char>(w[0]) != 0xA0 || w.size() == 3);
			}
		}
	}
}

TEST(SimModem, EchoCommandAnswersWithItsOwnTagPaddedOnRequest)
{
	modem m(answer_table::with_defaults());
	m.set_echo(true);
	m.feed("AT+ECHOxyzN17\rAT+ECHO\r");
	auto tagged = m.next();
	EXPECT_EQ(tagged->echo + tagged->answer, "AT+ECHOxyzN17\r\r\n+ECHO: xyzN17\r\nOK\r\n");
	EXPECT_EQ(m.next()->answer, "\r\nERROR\r\n"); // no tag: an unknown command
	m.set_echo_pad(5000);
	m.feed("at+echoq\r");
	std::string big = m.next()->answer;
	EXPECT_GT(big.size(), 5000u);
	EXPECT_EQ(big.find("OK"), big.size() - 4); // the filler holds no final result
	EXPECT_EQ(big.substr(big.size() - 16), "\r\n+ECHO: q\r\nOK\r\n");
}

TEST(SimFaults, ChanceIsSeededAndKeepsItsBounds)
{
	chance a(7), b(7);
	int hits = 0;
	for (int i = 0; i < 1000; i++) {
		EXPECT_EQ(a.next(), b.next());
		int s = a.spread(250);
		b.spread(250);
		EXPECT_TRUE(s >= -250 && s <= 250);
		hits += a.hit(10);
		b.hit(10);
	}
	EXPECT_TRUE(hits > 50 && hits < 150) << hits;
	EXPECT_FALSE(a.hit(0));
	EXPECT_TRUE(a.hit(100));
}
