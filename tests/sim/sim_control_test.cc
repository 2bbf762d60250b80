// SPDX-License-Identifier: ISC
// Faults and unsolicited text on demand, through the control channel.
#include "sim_process.h"
#include "sim_test_util.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <strings.h>

TEST(SimControl, UnsolicitedTextRawBytesAndFramesOnDemand)
{
	sim_process sim({"--framed"});
	EXPECT_EQ(sim.control("urc x"), "error no connection");
	fd_guard fd(tcp_connect_to(sim.port()));
	read_until(fd, "READY");
	EXPECT_EQ(sim.control("scan 1,2,3"), "ok");
	EXPECT_EQ(read_until(fd, "3\r\n"), frame_bytes(0xA0, "\r\nQSCAN: 1,2,3\r\n"));
	EXPECT_EQ(sim.control("frame e4 beat"), "ok");
	EXPECT_EQ(read_until(fd, "beat"), frame_bytes(0xE4, "beat"));
	EXPECT_EQ(sim.control("raw \\xa0\\x00"), "ok");
	EXPECT_EQ(read_until(fd, std::string("\xa0\x00", 2)), std::string("\xa0\x00", 2));
	EXPECT_EQ(sim.control("frame zz x"), "error usage: frame TYPE(hex) TEXT");
	EXPECT_EQ(sim.control("urc \\q"), "error bad escape");
	EXPECT_EQ(sim.control("launch"), "error unknown command: launch");
	std::string status = sim.control("status");
	EXPECT_EQ(status.rfind("ok connected=1 ", 0), 0u) << status;
	EXPECT_NE(status.find("ready_sent=1"), std::string::npos) << status;
}

TEST(SimControl, SplitAnswerArrivesInTwoReadsWithAPause)
{
	sim_process sim({});
	fd_guard fd(tcp_connect_to(sim.port()));
	EXPECT_EQ(sim.control("split 300 4"), "ok");
	long long start = now_ms();
	send_bytes(fd, "AT+CSQ\r");
	std::string first = read_once(fd, 2000);
	long long first_at = now_ms();
	std::string second = read_until(fd, "OK\r\n", 2000);
	long long second_at = now_ms();
	EXPECT_EQ(first, "\r\n+C");
	EXPECT_EQ(second, "SQ: 23,99\r\n\r\nOK\r\n");
	EXPECT_LT(first_at - start, 250);
	EXPECT_GE(second_at - first_at, 200);
	// One-shot: the next answer is whole again.
	send_bytes(fd, "AT\r");
	EXPECT_EQ(read_once(fd, 2000), "\r\nOK\r\n");
}

TEST(SimControl, FramedSplitCutsInsideTheFrameOrSendsTwoFrames)
{
	sim_process sim({"--framed"});
	fd_guard fd(tcp_connect_to(sim.port()));
	read_until(fd, "READY");
	std::string whole = frame_bytes(0xA0, "\r\nOK\r\n");
	EXPECT_EQ(sim.control("split 200 5 wire"), "ok");
	send_bytes(fd, frame_bytes(0xA4, "AT\r"));
	EXPECT_EQ(read_once(fd, 2000), whole.substr(0, 5));
	EXPECT_EQ(read_until(fd, "OK\r\n"), whole.substr(5));
	EXPECT_EQ(sim.control("split 200 2 frames"), "ok");
	send_bytes(fd, frame_bytes(0xA4, "AT\r"));
	EXPECT_EQ(read_once(fd, 2000), frame_bytes(0xA0, "\r\n"));
	EXPECT_EQ(read_until(fd, "OK\r\n"), frame_bytes(0xA0, "OK\r\n"));
}

TEST(SimControl, CloseMidAnswerThenAcceptTheReconnection)
{
	sim_process sim({});
	{
		fd_guard fd(tcp_connect_to(sim.port()));
		EXPECT_EQ(sim.control("close-after 5"), "ok");
		send_bytes(fd, "ATI\r");
		bool closed = false;
		EXPECT_EQ(read_to_close(fd, 2000, &closed), "\r\nRav");
		EXPECT_TRUE(closed);
	}
	fd_guard again(tcp_connect_to(sim.port()));
	ASSERT_GE(again, 0);
	send_bytes(again, "AT\r");
	EXPECT_EQ(read_until(again, "OK\r\n"), "\r\nOK\r\n");
	EXPECT_EQ(sim.control("drop"), "ok");
	bool closed = false;
	read_to_close(again, 2000, &closed);
	EXPECT_TRUE(closed);
	EXPECT_EQ(sim.control("drop"), "error no connection");
	std::string log = sim.log_text();
	EXPECT_NE(log.find("event disconnect closed mid-answer"), std::string::npos) << log;
	EXPECT_NE(log.find("event disconnect dropped"), std::string::npos) << log;
}

TEST(SimControl, NewConnectionReplacesTheCurrentOne)
{
	sim_process sim({});
	fd_guard old_fd(tcp_connect_to(sim.port()));
	send_bytes(old_fd, "AT\r");
	read_until(old_fd, "OK\r\n");
	fd_guard new_fd(tcp_connect_to(sim.port()));
	bool closed = false;
	read_to_close(old_fd, 2000, &closed);
	EXPECT_TRUE(closed);
	send_bytes(new_fd, "AT\r");
	EXPECT_EQ(read_until(new_fd, "OK\r\n"), "\r\nOK\r\n");
}

TEST(SimControl, HugeAnswerIsDeliveredWholeThenOk)
{
	sim_process sim({"--echo"});
	fd_guard fd(tcp_connect_to(sim.port()));
	EXPECT_EQ(sim.control("huge"), "ok");
	send_bytes(fd, "AT+BIG\r");
	std::string got = read_until(fd, "\r\nOK\r\n", 5000);
	ASSERT_EQ(got.size(), 7u + 102400u + 6u);
	EXPECT_EQ(got.substr(0, 7), "AT+BIG\r"); // echo, then the "+HUGE:" lines
	EXPECT_EQ(got.compare(7, 6, "+HUGE:"), 0);
	EXPECT_EQ(strcasestr(got.substr(0, got.size() - 6).c_str(), "ok"), nullptr);
}

TEST(SimControl, TrickleKeepsSendingWithoutAFinalResultUntilTheNextCommand)
{
	sim_process sim({});
	fd_guard fd(tcp_connect_to(sim.port()));
	EXPECT_EQ(sim.control("trickle 50"), "ok");
	send_bytes(fd, "AT+CSQ\r");
	std::string got = read_for(fd, 500);
	EXPECT_GE(std::count(got.begin(), got.end(), '\n'), 3);
	EXPECT_EQ(got.rfind("+TRICKLE: 0\r\n", 0), 0u);
	EXPECT_EQ(strcasestr(got.c_str(), "ok"), nullptr);
	send_bytes(fd, "AT\r");
	std::string after = read_until(fd, "OK\r\n");
	EXPECT_NE(after.find("\r\nOK\r\n"), std::string::npos);
	EXPECT_EQ(read_for(fd, 200), ""); // the trickle ended with the new command

	EXPECT_EQ(sim.control("trickle 20 2"), "ok");
	send_bytes(fd, "AT\r");
	EXPECT_EQ(read_for(fd, 400), "+TRICKLE: 0\r\n+TRICKLE: 1\r\n");
}

TEST(SimControl, SilenceAndDelayHoldBackAnswers)
{
	sim_process sim({});
	fd_guard fd(tcp_connect_to(sim.port()));
	EXPECT_EQ(sim.control("silence on"), "ok");
	send_bytes(fd, "AT\r");
	EXPECT_EQ(read_for(fd, 300), "");
	EXPECT_EQ(sim.control("silence off"), "ok");
	EXPECT_EQ(sim.control("delay 300"), "ok");
	long long start = now_ms();
	send_bytes(fd, "AT\r");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "\r\nOK\r\n");
	EXPECT_GE(now_ms() - start, 280);
	EXPECT_NE(sim.log_text().find("cmd AT\\r"), std::string::npos); // heard while silent
}

TEST(SimControl, GarbageFramesHoldNoAnswerText)
{
	sim_process sim({"--framed", "--no-ready"});
	fd_guard fd(tcp_connect_to(sim.port()));
	EXPECT_EQ(sim.control("garbage 3"), "ok");
	std::string got = read_for(fd, 400);
	ASSERT_GE(got.size(), 3u + 2u + 3u);
	unsigned char type = static_cast<unsigned char>(got[0]);
	EXPECT_TRUE(type != 0xA0 && type != 0xE0 && type != 0xE4);
	EXPECT_EQ(got.substr(got.size() - 3), std::string("\xa0\x00\x00", 3));
}

TEST(SimControl, RefusedConnectionsUntilListeningAgain)
{
	sim_process sim({});
	EXPECT_EQ(sim.control("refuse on"), "ok");
	int fd = tcp_connect_to(sim.port());
	int err = errno;
	EXPECT_EQ(fd, -1);
	EXPECT_EQ(err, ECONNREFUSED);
	EXPECT_EQ(sim.control("refuse off"), "ok");
	fd_guard ok(tcp_connect_to(sim.port()));
	ASSERT_GE(ok, 0);
	send_bytes(ok, "AT\r");
	EXPECT_EQ(read_until(ok, "OK\r\n"), "\r\nOK\r\n");
}

TEST(SimControl, StandardInputTakesTheSameCommands)
{
	sim_process sim({}, true);
	fd_guard fd(tcp_connect_to(sim.port()));
	send_bytes(fd, "AT\r");
	read_until(fd, "OK\r\n");
	EXPECT_EQ(sim.control_stdin("urc hello\\r\\n"), "ok");
	EXPECT_EQ(read_until(fd, "hello\r\n"), "hello\r\n");
	EXPECT_EQ(sim.control_stdin("echo maybe"), "error usage: echo on|off");
	EXPECT_EQ(sim.control_stdin("quit"), "ok bye");
	EXPECT_EQ(WEXITSTATUS(sim.stop()), 0);
}

TEST(SimControl, LinkConditionsLoseDuplicateAndReorderAnswers)
{
	sim_process sim({"--udp", "--loss", "100"});
	fd_guard fd(udp_connect_to(sim.port()));
	send_bytes(fd, "AT+ECHOa\r");
	EXPECT_EQ(read_for(fd, 300), "");
	EXPECT_NE(sim.control("status").find("dropped=1"), std::string::npos);
	EXPECT_EQ(sim.control("loss 0"), "ok");
	EXPECT_EQ(sim.control("duplicate 100"), "ok");
	send_bytes(fd, "AT+ECHOb\r");
	EXPECT_EQ(read_once(fd, 2000), "\r\n+ECHO: b\r\nOK\r\n");
	EXPECT_EQ(read_once(fd, 2000), "\r\n+ECHO: b\r\nOK\r\n");
	// A held answer is overtaken by the next one.
	EXPECT_EQ(sim.control("duplicate 0"), "ok");
	EXPECT_EQ(sim.control("reorder 100 400"), "ok");
	send_bytes(fd, "AT+ECHOc\r");
	EXPECT_EQ(sim.control("reorder 0"), "ok");
	send_bytes(fd, "AT+ECHOd\r");
	EXPECT_EQ(read_once(fd, 2000), "\r\n+ECHO: d\r\nOK\r\n");
	EXPECT_EQ(read_once(fd, 2000), "\r\n+ECHO: c\r\nOK\r\n");
	EXPECT_EQ(sim.control("reorder 101"), "error usage: reorder PCT [HOLD]");
}

TEST(SimControl, EchoAheadSendsTheEchoBeforeTheDelayedAnswer)
{
	sim_process sim({"--echo", "--echo-ahead", "--answer-delay", "400", "--jitter", "100"});
	fd_guard fd(tcp_connect_to(sim.port()));
	long long start = now_ms();
	send_bytes(fd, "AT+ECHOe\r");
	EXPECT_EQ(read_until(fd, "\r", 2000), "AT+ECHOe\r");
	EXPECT_LT(now_ms() - start, 250);
	EXPECT_EQ(read_until(fd, "OK\r\n", 2000), "\r\n+ECHO: e\r\nOK\r\n");
	EXPECT_GE(now_ms() - start, 280);
}
