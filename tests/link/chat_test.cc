// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "link/chat.h"
#include "link/framing.h"
#include "peer.h"
#include "link/signals.h"

extern "C" {
#include <libubox/uloop.h>
}

using namespace linktest;
using clk = std::chrono::steady_clock;

namespace {

class chat_engine : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_threshold = -1; // nothing reaches the system log
		signal(SIGPIPE, SIG_IGN);
		last_signal = 0;
	}
	void TearDown() override
	{
		free(ch.answer);
		ch.answer = nullptr;
	}

	std::string answer() const
	{
		return ch.answer ? std::string(ch.answer, ch.answer_len) : std::string();
	}
	static double seconds_since(clk::time_point t)
	{
		return std::chrono::duration<double>(clk::now() - t).count();
	}

	at_channel ch = {};
};

TEST_F(chat_engine, plain_command_is_sent_with_cr_and_answer_collected)
{
	peer p;
	ch = plain_channel(p.link_fd());
	std::string got;
	p.run([&](peer_end &m) {
		got = m.read_until('\r');
		m.send("\r\nOK\r\n");
	});
	EXPECT_EQ(chat(&ch, "AT", nullptr, 3000), CHAT_OK);
	p.join();
	EXPECT_EQ(got, "AT\r");
	EXPECT_EQ(answer(), "\r\nOK\r\n");
	// The link is left non-blocking between exchanges.
	EXPECT_TRUE(fcntl(p.link_fd(), F_GETFL) & O_NONBLOCK);
}

TEST_F(chat_engine, final_results_end_collection_as_lines_in_any_case)
{
	for (const char *reply : {"\r\n+CME ERROR: 10\r\n", "\r\nerror\r\n", "\r\nOk\r\n"}) {
		peer p;
		ch = plain_channel(p.link_fd());
		p.run([&](peer_end &m) {
			m.read_until('\r');
			m.send(reply);
		});
		auto t = clk::now();
		EXPECT_EQ(chat(&ch, "AT+X", nullptr, 10000), CHAT_OK) << reply;
		EXPECT_LT(seconds_since(t), 5.0) << reply;
		p.join();
		EXPECT_EQ(answer(), reply);
		free(ch.answer);
		ch.answer = nullptr;
		ch.answer_len = 0;
	}
}

TEST_F(chat_engine, final_result_split_across_reads_is_seen)
{
	peer p;
	ch = plain_channel(p.link_fd());
	p.run([&](peer_end &m) {
		m.read_until('\r');
		m.send("\r\nERR");
		std::this_thread::sleep_for(100ms);
		m.send("OR\r\n");
	});
	auto t = clk::now();
	EXPECT_EQ(chat(&ch, "AT", nullptr, 10000), CHAT_OK);
	EXPECT_LT(seconds_since(t), 5.0);
	p.join();
	EXPECT_EQ(answer(), "\r\nERROR\r\n");
}

TEST_F(chat_engine, expected_text_ends_collection)
{
	peer p;
	ch = plain_channel(p.link_fd());
	p.run([&](peer_end &m) {
		m.read_until('\r');
		m.send("+QSCAN: 1,2\r\n");
	});
	auto t = clk::now();
	EXPECT_EQ(chat(&ch, "AT+QSCAN", "QSCAN", 10000), CHAT_OK);
	EXPECT_LT(seconds_since(t), 5.0);
	p.join();
	EXPECT_EQ(answer(), "+QSCAN: 1,2\r\n");
}

TEST_F(chat_engine, line_length_limit_1023_with_cr_1024_without)
{
	for (size_t len : {1023u, 1024u, 2000u}) {
		peer p;
		ch = plain_channel(p.link_fd());
		std::string got, extra;
		p.run([&](peer_end &m) {
			got = m.read_n(1024);
			extra = m.drain(200ms);
			m.send("OK\r\n");
		});
		EXPECT_EQ(chat(&ch, std::string(len, 'A').c_str(), nullptr, 3000), CHAT_OK);
		p.join();
		std::string want = len == 1023 ? std::string(1023, 'A') + "\r" : std::string(1024, 'A');
		EXPECT_EQ(got, want) << len;
		EXPECT_EQ(extra, "") << len;
		free(ch.answer);
		ch.answer = nullptr;
		ch.answer_len = 0;
	}
}

TEST_F(chat_engine, commands_joined_result_of_last_empty_command_bare_cr)
{
	peer p;
	ch = plain_channel(p.link_fd());
	std::vector<std::string> lines;
	p.run([&](peer_end &m) {
		lines.push_back(m.read_until('\r'));
		m.send("one\r\nOK\r\n");
		lines.push_back(m.read_until('\r')); // the empty command stays unanswered
		lines.push_back(m.read_until('\r'));
		m.send("two\r\nOK\r\n");
		lines.push_back(m.read_until('\r'));
		m.send("three\r\nOK\r\n");
	});
	// The code of a line is its first failing command's: the empty one got nothing.
	EXPECT_EQ(chat(&ch, "ATA||ATB|ATC", nullptr, 1000), CHAT_NO_ANSWER);
	p.join();
	EXPECT_EQ(lines, (std::vector<std::string>{"ATA\r", "\r", "ATB\r", "ATC\r"}));
	EXPECT_EQ(answer(), "one\r\nOK\r\ntwo\r\nOK\r\nthree\r\nOK\r\n");
}

TEST_F(chat_engine, command_before_bar_longer_than_63_is_refused_not_sent)
{
	peer p;
	ch = plain_channel(p.link_fd());
	std::string fits(63, 'B');
	std::string too_long(64, 'C');
	std::string sent;
	p.run([&](peer_end &m) {
		sent += m.read_until('\r');
		m.send("OK\r\n");
		sent += m.read_until('\r');
		m.send("OK\r\n");
		sent += m.drain(200ms);
	});
	std::string line = fits + "|" + too_long + "|AT";
	EXPECT_EQ(chat(&ch, line.c_str(), nullptr, 3000), CHAT_BAD_ARGUMENT);
	p.join();
	EXPECT_EQ(sent, fits + "\rAT\r");
	EXPECT_EQ(answer(), "OK\r\nOK\r\n");
}

TEST_F(chat_engine, two_step_command_waits_for_prompt_and_ends_with_ctrl_z)
{
	peer p;
	ch = plain_channel(p.link_fd());
	std::string first, second;
	p.run([&](peer_end &m) {
		first = m.read_until('\r');
		m.send("\r\n> ");
		second = m.read_until('\x1a');
		m.send("\r\n+CMGS: 7\r\n\r\nOK\r\n");
	});
	EXPECT_EQ(chat(&ch, "AT+CMGS=\"1>2\">hello>world", nullptr, 3000), CHAT_OK);
	p.join();
	EXPECT_EQ(first, "AT+CMGS=\"1\r");
	EXPECT_EQ(second, "2\">hello>world\x1a");
	EXPECT_EQ(answer(), "\r\n+CMGS: 7\r\n\r\nOK\r\n");
}

TEST_F(chat_engine, silent_module_gives_no_answer_after_the_wait)
{
	peer p;
	ch = plain_channel(p.link_fd());
	p.run([&](peer_end &m) { m.read_until('\r'); });
	auto t = clk::now();
	EXPECT_EQ(chat(&ch, "AT", nullptr, 1000), CHAT_NO_ANSWER);
	double took = seconds_since(t);
	EXPECT_GE(took, 0.9);
	EXPECT_LT(took, 1.9); // under the 2-second alarm: the wait ended it
	p.join();
	EXPECT_EQ(ch.answer, nullptr);
	EXPECT_NE(ch.lost_since, 0u);
}

TEST_F(chat_engine, module_closing_early)
{
	{
		peer p;
		ch = plain_channel(p.link_fd());
		p.run([&](peer_end &m) {
			m.read_until('\r');
			m.close_now();
		});
		EXPECT_EQ(chat(&ch, "AT", nullptr, 3000), CHAT_NO_ANSWER);
		p.join();
		EXPECT_EQ(ch.answer, nullptr);
	}
	{
		peer p;
		ch = plain_channel(p.link_fd());
		ch.lost_since = 5;
		p.run([&](peer_end &m) {
			m.read_until('\r');
			m.send("+PART");
			m.close_now();
		});
		// Cut short: the code says no final result came, with what did.
		EXPECT_EQ(chat(&ch, "AT", nullptr, 3000), CHAT_NO_ANSWER);
		p.join();
		EXPECT_EQ(answer(), "+PART");
		EXPECT_EQ(ch.lost_since, 0u);
	}
}

TEST_F(chat_engine, write_to_closed_link_fails_with_3)
{
	peer p;
	ch = plain_channel(p.link_fd());
	p.run([&](peer_end &m) { m.close_now(); });
	p.join();
	EXPECT_EQ(chat(&ch, "AT", nullptr, 1000), CHAT_WRITE_FAILED);
}

TEST_F(chat_engine, long_plain_answer_grows_the_buffer_intact)
{
	for (size_t size : {3000u, 64u * 1024u}) {
		peer p;
		ch = plain_channel(p.link_fd());
		std::string body;
		for (size_t i = 0; i < size; i++)
			body += static_cast<char>('a' + i % 7); // never "ok" nor "error"
		p.run([&](peer_end &m) {
			m.read_until('\r');
			m.send(body);
		});
		EXPECT_EQ(chat(&ch, "AT", nullptr, 1000), CHAT_NO_ANSWER); // no final result
		p.join();
		EXPECT_EQ(ch.answer_len, size);
		EXPECT_TRUE(answer() == body) << size;
		free(ch.answer);
		ch.answer = nullptr;
		ch.answer_len = 0;
	}
}

TEST_F(chat_engine, long_framed_answer_is_decoded_frame_by_frame)
{
	peer p;
	ch = framed_channel(p.link_fd(), true);
	std::string sent, want;
	p.run([&](peer_end &m) {
		sent = m.read_n(3 + 3);
		for (int i = 0; i < 4; i++) {
			std::string part(1000, static_cast<char>('a' + i));
			m.send(rgmii_frame(0xA0, part));
			std::this_thread::sleep_for(150ms);
		}
		m.send(rgmii_frame(0xA0, "\r\nOK\r\n"));
	});
	EXPECT_EQ(chat(&ch, "AT", nullptr, 3000), CHAT_OK);
	p.join();
	EXPECT_EQ(sent, rgmii_frame(0xA4, "AT\r"));
	// Frames that straddle a window lose their header to the decoder and
	// keep their payload; no raw header byte may reach the answer.
	std::string a = answer();
	EXPECT_EQ(a.find('\xA0'), std::string::npos);
	EXPECT_EQ(a.find('\0'), std::string::npos);
	EXPECT_EQ(a.size(), 4000u + 6u);
	EXPECT_EQ(a.substr(a.size() - 6), "\r\nOK\r\n");
}

TEST_F(chat_engine, framed_module_not_ready_is_refused_with_nothing_written)
{
	peer p;
	ch = framed_channel(p.link_fd(), false);
	std::string seen = "unset";
	EXPECT_EQ(chat(&ch, "AT", nullptr, 3000), CHAT_NOT_READY);
	EXPECT_EQ(chat_send(&ch, "HEARBEAT_REQ"), CHAT_NOT_READY);
	EXPECT_NE(ch.lost_since, 0u);
	p.run([&](peer_end &m) { seen = m.drain(100ms); });
	p.join();
	EXPECT_EQ(seen, "");
}

TEST_F(chat_engine, bad_arguments)
{
	ch = plain_channel(-1);
	EXPECT_EQ(chat(&ch, "AT", nullptr, 3000), CHAT_BAD_ARGUMENT);
	EXPECT_EQ(chat(&ch, "", nullptr, 3000), CHAT_BAD_ARGUMENT);
	EXPECT_EQ(chat(nullptr, "AT", nullptr, 3000), CHAT_BAD_ARGUMENT);
	EXPECT_EQ(chat_send(&ch, "AT"), CHAT_BAD_ARGUMENT);
	char *text = nullptr;
	int len = 0;
	EXPECT_EQ(chat_recv(&ch, &text, &len, nullptr, 100), CHAT_BAD_ARGUMENT);
	EXPECT_EQ(chat_read_pending(&ch, &text, &len, 100), CHAT_BAD_ARGUMENT);
	EXPECT_EQ(text, nullptr);
}

TEST_F(chat_engine, descriptor_beyond_select_limit_is_an_error)
{
	rlimit lim = {};
	getrlimit(RLIMIT_NOFILE, &lim);
	if (lim.rlim_cur < FD_SETSIZE + 64 && lim.rlim_max >= FD_SETSIZE + 64) {
		lim.rlim_cur = FD_SETSIZE + 64;
		setrlimit(RLIMIT_NOFILE, &lim);
	}
	peer p;
	int high = fcntl(p.link_fd(), F_DUPFD, FD_SETSIZE + 10);
	if (high < 0)
		GTEST_SKIP() << "cannot open a descriptor above FD_SETSIZE";
	ch = plain_channel(high);
	char *text = nullptr;
	int len = 0;
	EXPECT_EQ(chat_recv(&ch, &text, &len, nullptr, 100), CHAT_NO_ANSWER);
	free(text);
	text = nullptr;
	EXPECT_EQ(chat_read_pending(&ch, &text, &len, 100), CHAT_NO_ANSWER);
	EXPECT_EQ(text, nullptr);
	close(high);
}

TEST_F(chat_engine, alarm_seconds)
{
	EXPECT_EQ(chat_alarm_seconds(3, 3000), 9u);
	EXPECT_EQ(chat_alarm_seconds(1, 1000), 2u);
	EXPECT_EQ(chat_alarm_seconds(1, 2999), 2u);
	EXPECT_EQ(chat_alarm_seconds(2, 1500), 3u);
	EXPECT_EQ(chat_alarm_seconds(1, -5), 2u);
	// No request holds the channel longer than 300 s.
	EXPECT_EQ(chat_alarm_seconds(1001, 3000), 300u);
	EXPECT_EQ(chat_alarm_seconds(1, 2147483647), 300u);
}

TEST_F(chat_engine, stop_signal_ends_the_request_at_once_with_5_and_the_text)
{
	// The daemon's handler ends the event loop; the request runs inside it.
	struct sigaction sa = {}, old = {};
	sa.sa_handler = on_signal;
	sigaction(SIGTERM, &sa, &old);
	uloop_init();
	peer p;
	ch = plain_channel(p.link_fd());
	const pthread_t runner = pthread_self();
	p.run([&](peer_end &m) {
		m.read_until('\r');
		m.send("+PART");
		std::this_thread::sleep_for(300ms);
		pthread_kill(runner, SIGTERM);
	});
	static at_channel *running;
	static int code;
	running = &ch;
	code = -1;
	uloop_timeout t = {};
	t.cb = [](uloop_timeout *) {
		std::string line = "AT";
		for (int i = 0; i < 50; i++)
			line += "|AT";
		code = chat(running, line.c_str(), nullptr, 3000);
	};
	uloop_timeout_set(&t, 0);
	auto start = clk::now();
	uloop_run();
	double took = seconds_since(start);
	p.join();
	sigaction(SIGTERM, &old, nullptr);
	uloop_done();
	last_signal = 0;
	EXPECT_EQ(code, CHAT_TIMED_OUT);
	EXPECT_LT(took, 4.0); // the request alone would last minutes
	EXPECT_EQ(answer(), "+PART");
}

TEST_F(chat_engine, zero_bytes_do_not_hide_the_end_of_an_answer)
{
	struct {
		const char *command, *expect;
		std::string reply;
	} cases[] = {
		{"AT", nullptr, std::string("\0\r\n\0\r\nOK\r\n", 10)},
		{"AT", nullptr, std::string("x\0\r\n+CME ERROR: 3\r\n", 19)},
		{"AT+E", "WANT", std::string("\0WANT", 5)},
	};
	for (auto &c : cases) {
		peer p;
		ch = plain_channel(p.link_fd());
		p.run([&](peer_end &m) {
			m.read_until('\r');
			m.send(c.reply);
		});
		auto t = clk::now();
		EXPECT_EQ(chat(&ch, c.command, c.expect, 10000), CHAT_OK) << c.command;
		EXPECT_LT(seconds_since(t), 5.0) << c.command;
		p.join();
		EXPECT_EQ(answer(), c.reply);
		free(ch.answer);
		ch.answer = nullptr;
		ch.answer_len = 0;
	}
	// The prompt of a two-step command, behind a zero byte.
	peer p;
	ch = plain_channel(p.link_fd());
	std::string second;
	p.run([&](peer_end &m) {
		m.read_until('\r');
		m.send(std::string("\0> ", 3));
		second = m.read_until('\x1a');
		m.send("OK\r\n");
	});
	auto t = clk::now();
	EXPECT_EQ(chat(&ch, "AT+CMGS=1>hi", nullptr, 10000), CHAT_OK);
	EXPECT_LT(seconds_since(t), 5.0);
	p.join();
	EXPECT_EQ(second, "hi\x1a");
}

TEST_F(chat_engine, answer_cut_at_the_cap_gives_4_and_leaves_nothing_for_the_next_command)
{
	peer p;
	ch = plain_channel(p.link_fd());
	const std::string filler(4096, 'x');
	p.run([&](peer_end &m) {
		m.read_until('\r');
		for (size_t sent = 0; sent < CHAT_ANSWER_MAX + 300 * 1024; sent += filler.size())
			m.send(filler);
		m.send("\r\nOK\r\n");
		m.read_until('\r');
		m.send("\r\nNEXT\r\nOK\r\n");
	});
	EXPECT_EQ(chat(&ch, "AT+BIG", nullptr, 3000), CHAT_NO_ANSWER);
	EXPECT_EQ(ch.answer_len, CHAT_ANSWER_MAX - 1);
	free(ch.answer);
	ch.answer = nullptr;
	ch.answer_len = 0;
	EXPECT_EQ(chat(&ch, "ATI", nullptr, 3000), CHAT_OK);
	p.join();
	EXPECT_EQ(answer(), "\r\nNEXT\r\nOK\r\n");
}

TEST_F(chat_engine, framed_stream_keeps_a_split_frame_and_drops_what_is_no_answer)
{
	peer p;
	ch = framed_channel(p.link_fd(), false);
	ch.rgmii_ready = 1;
	const std::string first = rgmii_frame(0xA0, "\r\n+CSQ: 23,99\r\n");
	const std::string last = rgmii_frame(0xA0, "\r\nOK\r\n");
	p.run([&](peer_end &m) {
		m.read_n(6);
		// Cut inside the header, then inside the payload; a heartbeat and a
		// frame of an unknown type in between carry no answer text.
		m.send(first.substr(0, 2));
		std::this_thread::sleep_for(100ms);
		m.send(first.substr(2, 5));
		std::this_thread::sleep_for(100ms);
		m.send(first.substr(7) + rgmii_frame(0xE4, "HEARBEAT_RSP") + rgmii_frame(0x55, "zz") +
		       last.substr(0, 4));
		std::this_thread::sleep_for(100ms);
		m.send(last.substr(4));
	});
	EXPECT_EQ(chat(&ch, "AT", nullptr, 3000), CHAT_OK);
	p.join();
	EXPECT_EQ(answer(), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
	EXPECT_EQ(ch.frames.held, 0u);

	// Readiness behind an answer frame in the same read is seen.
	free(ch.answer);
	ch.answer = nullptr;
	peer q;
	ch = framed_channel(q.link_fd(), false);
	q.run([&](peer_end &m) { m.send(rgmii_frame(0xA0, "+URC") + rgmii_frame(0xE0, "RGMII_ATC_READY")); });
	q.join();
	char *text = nullptr;
	int len = 0;
	EXPECT_EQ(chat_read_pending(&ch, &text, &len, 500), CHAT_OK);
	EXPECT_EQ(std::string(text, len), "+URC");
	EXPECT_EQ(ch.rgmii_ready, 1u);
	free(text);
}

TEST_F(chat_engine, alarm_with_nothing_collected_gives_5_and_skips_the_rest)
{
	peer p;
	ch = plain_channel(p.link_fd());
	p.fill_link(); // the first write blocks until the alarm
	auto t = clk::now();
	EXPECT_EQ(chat(&ch, "ATA|ATB", nullptr, 1000), CHAT_TIMED_OUT);
	double took = seconds_since(t);
	EXPECT_GE(took, 1.5);
	EXPECT_LT(took, 4.0);
	EXPECT_EQ(last_signal, 0);
	EXPECT_EQ(ch.answer, nullptr);
	std::string seen;
	p.run([&](peer_end &m) { seen = m.drain(200ms); });
	p.join();
	EXPECT_EQ(seen.find("ATB"), std::string::npos);
}

TEST_F(chat_engine, alarm_after_collected_text_keeps_text_and_last_code)
{
	peer p;
	ch = plain_channel(p.link_fd());
	std::atomic<bool> third_seen{false};
	p.run([&](peer_end &m) {
		m.read_until('\r');
		// Keep the first collection going past 2 s, then finish it.
		for (int i = 0; i < 8; i++) {
			m.send(".");
			std::this_thread::sleep_for(300ms);
		}
		m.send("OK\r\n");
		m.read_until('\r');
		if (m.read_until('\r', 2500ms).find("ATC") != std::string::npos)
			third_seen = true;
	});
	// Three commands at 1000 ms: alarm at 3 s, during the silent second one.
	EXPECT_EQ(chat(&ch, "ATA|ATB|ATC", nullptr, 1000), CHAT_NO_ANSWER);
	p.join();
	EXPECT_EQ(answer().substr(0, 1), ".");
	EXPECT_FALSE(third_seen);
	EXPECT_EQ(last_signal, 0);
}

TEST_F(chat_engine, alarm_caught_between_reads_ends_the_collection)
{
	// The alarm's handler ran while the engine was not waiting, so nothing
	// was interrupted; the stream goes on without a final result.
	peer p;
	ch = plain_channel(p.link_fd());
	std::atomic<bool> stop{false};
	p.run([&](peer_end &m) {
		m.send("first");
		std::this_thread::sleep_for(200ms);
		last_signal = SIGALRM;
		for (int i = 0; i < 60 && !stop; i++) {
			m.send(".");
			std::this_thread::sleep_for(50ms);
		}
	});
	char *got = nullptr;
	int len = 0;
	auto t = clk::now();
	EXPECT_EQ(chat_recv(&ch, &got, &len, nullptr, 3000), CHAT_NO_ANSWER);
	EXPECT_LT(seconds_since(t), 2.5); // the stream alone lasts 3 s
	stop = true;
	p.join();
	ASSERT_NE(got, nullptr);
	EXPECT_EQ(std::string(got, len).substr(0, 5), "first");
	free(got);
	last_signal = 0;
}

TEST_F(chat_engine, pending_text_plain_and_framed)
{
	{
		peer p;
		ch = plain_channel(p.link_fd());
		char *text = nullptr;
		int len = 0;
		EXPECT_EQ(chat_read_pending(&ch, &text, &len, 50), CHAT_NO_ANSWER);
		EXPECT_EQ(text, nullptr);
		p.run([&](peer_end &m) { m.send("+QSCAN: 1\r\n"); });
		p.join();
		ch.lost_since = 9;
		EXPECT_EQ(chat_read_pending(&ch, &text, &len, 500), CHAT_OK);
		ASSERT_NE(text, nullptr);
		EXPECT_EQ(std::string(text, len), "+QSCAN: 1\r\n");
		EXPECT_EQ(ch.lost_since, 0u);
		free(text);
	}
	{
		peer p;
		ch = framed_channel(p.link_fd(), false);
		p.run([&](peer_end &m) { m.send(rgmii_frame(0xE0, "RGMII_ATC_READY")); });
		p.join();
		char *text = nullptr;
		int len = 5;
		EXPECT_EQ(chat_read_pending(&ch, &text, &len, 500), CHAT_OK);
		EXPECT_EQ(ch.rgmii_ready, 1u);
		EXPECT_EQ(len, 0);
		ASSERT_NE(text, nullptr);
		EXPECT_STREQ(text, "");
		free(text);
	}
}

TEST_F(chat_engine, heartbeat_frames_and_plain_heartbeat)
{
	{
		peer p;
		ch = framed_channel(p.link_fd(), true);
		EXPECT_EQ(chat_send(&ch, "HEARBEAT_REQ"), CHAT_OK);
		std::string got;
		p.run([&](peer_end &m) { got = m.drain(100ms); });
		p.join();
		EXPECT_EQ(got, rgmii_frame(0xE4, "HEARBEAT_REQ"));
	}
	{
		peer p;
		ch = plain_channel(p.link_fd());
		EXPECT_EQ(chat_send(&ch, "AT\r"), CHAT_OK);
		std::string got;
		p.run([&](peer_end &m) { got = m.drain(100ms); });
		p.join();
		EXPECT_EQ(got, "AT\r");
	}
}

} // namespace

namespace {

// The decisions that keep each answer with its own command.
class answer_ownership : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_threshold = -1;
		signal(SIGPIPE, SIG_IGN);
		last_signal = 0;
	}
	void TearDown() override { free(ch.answer); }
	std::string take()
	{
		std::string s = ch.answer ? std::string(ch.answer, ch.answer_len) : std::string();
		free(ch.answer);
		ch.answer = nullptr;
		ch.answer_len = 0;
		return s;
	}
	at_channel ch = {};
};

TEST_F(answer_ownership, a_late_answer_is_awaited_before_the_next_command_and_not_handed_on)
{
	// A module without echo answering 1.3 s late: only the wait for the
	// owed final result keeps it from the next command.
	peer p;
	ch = plain_channel(p.link_fd());
	std::string second;
	p.run([&](peer_end &m) {
		m.read_until('\r');
		std::this_thread::sleep_for(1300ms);
		m.send("\r\nfirst\r\nOK\r\n");
		second = m.read_until('\r');
		m.send("\r\nsecond\r\nOK\r\n");
	});
	EXPECT_EQ(chat(&ch, "AT+FIRST", nullptr, 1000), CHAT_NO_ANSWER);
	EXPECT_EQ(take(), "");
	EXPECT_EQ(chat(&ch, "AT+SECOND", nullptr, 3000), CHAT_OK);
	p.join();
	EXPECT_EQ(second, "AT+SECOND\r");
	EXPECT_EQ(take(), "\r\nsecond\r\nOK\r\n");
	EXPECT_EQ(ch.late_owed, 0);
}

TEST_F(answer_ownership, a_frame_that_pauses_is_decoded_whole)
{
	peer p;
	ch = framed_channel(p.link_fd(), true);
	const std::string frame = rgmii_frame(0xA0, "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
	p.run([&](peer_end &m) {
		m.read_n(6);
		m.send(frame.substr(0, 9));
		std::this_thread::sleep_for(1100ms); // over two quiet steps of the collection
		m.send(frame.substr(9));
	});
	EXPECT_EQ(chat(&ch, "AT", nullptr, 3000), CHAT_OK);
	p.join();
	EXPECT_EQ(take(), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
	EXPECT_EQ(ch.frames.held, 0u);
}

TEST_F(answer_ownership, a_datagram_is_read_whole)
{
	int fds[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
	ch = plain_channel(fds[0]);
	snprintf(ch.proto, sizeof(ch.proto), "udp");
	const std::string big = "\r\n" + std::string(5000, 'u') + "\r\nOK\r\n";
	ASSERT_EQ(write(fds[1], big.data(), big.size()), static_cast<ssize_t>(big.size()));
	char *got = nullptr;
	int len = 0;
	EXPECT_EQ(chat_recv(&ch, &got, &len, nullptr, 1000), CHAT_OK);
	EXPECT_EQ(std::string(got, len), big);
	free(got);
	close(fds[0]);
	close(fds[1]);
}

} // namespace
