// SPDX-License-Identifier: ISC
// ravel_tools_cli run as a program against the daemon.
#include <gtest/gtest.h>

#include "service_world.h"

namespace {

using namespace std::chrono_literals;
using harness::process;

constexpr char USAGE_TAIL[] = " [options]\n"
			      "Options:\n"
			      " -c <cmd>:        at cmd\n"
			      " -i <interface>:  at channel\n"
			      " -d :             debug mode\n"
			      " -l <level>:      log level 0-7,default 3\n"
			      " -L <level>:      at log level \n"
			      " -w <time>:       at wait time,unit ms,default 200ms\n"
			      " -W <time>:       at over sleep time,unit s,\n"
			      "\n";

class cli_e2e : public service_world {
protected:
	void start_all()
	{
		start_bus();
		start_sim();
		start_daemon();
	}
	// Waits until the daemon has traced n answers holding OK to its own
	// commands (unsolicited text is traced with a leading "--- ").
	bool wait_for_answers(size_t n)
	{
		for (int i = 0; i < 300; i++) {
			size_t got = 0;
			for (auto &l : lines_of("ravel_tools", ">>> ("))
				got += l.text.rfind("--- ", 0) != 0 && l.text.find("OK") != std::string::npos;
			if (got >= n)
				return true;
			std::this_thread::sleep_for(50ms);
		}
		return false;
	}
};

TEST_F(cli_e2e, bad_option_prints_usage_and_exits_1)
{
	std::string path = harness::program_path("ravel_tools_cli");
	for (std::vector<std::string> args : {std::vector<std::string>{"-x"}, {"-c"}}) {
		auto r = cli(args);
		EXPECT_TRUE(r.status.exited);
		EXPECT_EQ(r.status.code, 1);
		std::string usage = "Usage: " + path + USAGE_TAIL;
		ASSERT_GE(r.err.size(), usage.size()) << r.err;
		EXPECT_EQ(r.err.substr(r.err.size() - usage.size()), usage);
		EXPECT_EQ(r.out, "");
	}
}

TEST_F(cli_e2e, answer_is_folded_and_printed_without_newline)
{
	start_all();
	sim(R"(answer AT+QTEMP => \r\n+QTEMP: 41\n\nX\r\n\r\n\r\nOK\r\n)");
	auto r = cli({"-c", "AT+QTEMP"});
	EXPECT_EQ(r.status.code, 0);
	EXPECT_EQ(r.out, "\r\n+QTEMP: 41\rX\r\nOK\r\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(cli_e2e, traces_and_channel_default)
{
	start_all();
	auto r = cli({"-i", "", "-c", "AT|ATI", "-l", "7", "-w", "500", "-W", "0", "-L", "7"});
	EXPECT_EQ(r.status.code, 0);
	EXPECT_NE(r.out.find("OK"), std::string::npos) << r.out;
	auto send = harness::system_log().wait_for("send cpe,at_cmd AT|ATI,waittime 500,blocktime 0", 5s);
	ASSERT_TRUE(send) << harness::system_log().dump();
	EXPECT_EQ(send->ident, "ravel_tools_cli");
	EXPECT_EQ(send->level, 7);
	auto reply = harness::system_log().wait_for_regex(R"(^at\[AT\|ATI\],respone\[0\]\[)", 5s);
	ASSERT_TRUE(reply);
	EXPECT_EQ(reply->level, 7);
	// -L 7 reached the daemon as its trace level.
	auto traffic = lines_of("ravel_tools", "<<< (ATI");
	ASSERT_FALSE(traffic.empty());
	EXPECT_EQ(traffic.back().level, 7);

	// Default threshold 3: no level-7 lines.
	harness::system_log().clear();
	EXPECT_EQ(cli({"-c", "AT"}).status.code, 0);
	std::this_thread::sleep_for(300ms);
	for (auto &l : harness::system_log().lines())
		EXPECT_NE(l.ident, "ravel_tools_cli") << l.raw;
}

TEST_F(cli_e2e, unknown_channel_and_missing_bus_end_with_0)
{
	auto no_bus = cli({"-c", "AT"});
	EXPECT_EQ(no_bus.status.code, 0);
	auto line = harness::system_log().wait_for("ubus connect failed", 5s);
	ASSERT_TRUE(line);
	EXPECT_EQ(line->level, 3);

	start_bus();
	auto r = cli({"-i", "nosuch", "-c", "AT"});
	EXPECT_EQ(r.status.code, 0);
	EXPECT_EQ(r.out, "");
	line = harness::system_log().wait_for("ubus find path failed(ravelnosuch)", 5s);
	ASSERT_TRUE(line) << harness::system_log().dump();
	EXPECT_EQ(line->level, 3);
	EXPECT_EQ(line->ident, "ravel_tools_cli");
}

TEST_F(cli_e2e, no_command_does_nothing)
{
	for (std::vector<std::string> args : {std::vector<std::string>{}, {"-c", ""}}) {
		auto r = cli(args);
		EXPECT_EQ(r.status.code, 0);
		EXPECT_EQ(r.out, "");
	}
	std::this_thread::sleep_for(200ms);
	EXPECT_TRUE(harness::system_log().find("ubus connect failed").empty());
}

TEST_F(cli_e2e, time_out_follows_wait_and_block)
{
	// A module that echoes, and commands other than the heartbeat's "AT":
	// its answer, 1.5 s late too, is then told apart from theirs.
	start_bus();
	start_sim({"-e"});
	start_daemon();
	sim("delay 1500");
	// -W -3: 3100 - 3000 = 100 ms, too short for the answer.
	auto short_call = cli({"-c", "ATI", "-W", "-3"});
	EXPECT_EQ(short_call.status.code, 0);
	// No answer printed: the call ended before the module's 1.5 s (and well
	// before the default 3.1 s).
	EXPECT_EQ(short_call.out, "");
	EXPECT_LT(short_call.status.elapsed, 3000ms);

	// -W -4 would be -900 ms: the call still ends at once, never waits forever.
	auto negative = cli({"-c", "ATI", "-W", "-4"});
	EXPECT_EQ(negative.status.code, 0);
	EXPECT_EQ(negative.out, "");
	EXPECT_LT(negative.status.elapsed, 3000ms);

	// The default 3100 ms covers a 1.5 s answer; block 2 holds the call.
	// The daemon first finishes the two calls above, one at a time.
	EXPECT_TRUE(wait_for_answers(2)) << sim_received();
	auto blocked = cli({"-c", "ATI", "-W", "2"});
	EXPECT_EQ(blocked.status.code, 0);
	EXPECT_NE(blocked.out.find("OK"), std::string::npos);
	EXPECT_GE(blocked.status.elapsed, 3300ms);
}

TEST_F(cli_e2e, block_reply_comes_before_the_completion)
{
	start_all();
	process p = process::spawn({harness::program_path("ravel_tools_cli"), "-c", "AT", "-W", "2"});
	auto t0 = std::chrono::steady_clock::now();
	while (p.out().find("OK") == std::string::npos && std::chrono::steady_clock::now() - t0 < 5s)
		std::this_thread::sleep_for(20ms);
	auto data_at = std::chrono::steady_clock::now() - t0;
	EXPECT_NE(p.out().find("OK"), std::string::npos);
	EXPECT_TRUE(p.running());
	auto st = p.wait(10s);
	EXPECT_TRUE(st.exited);
	// The answer was printed while the 2 s hold was still ahead.
	EXPECT_GE(st.elapsed - data_at, 1000ms);
	EXPECT_GE(st.elapsed, 1900ms);
}

TEST_F(cli_e2e, long_command_before_a_bar_is_refused)
{
	start_all();
	std::string s64(64, 'A'), s65(65, 'A');
	auto refused = cli({"-c", s65 + "|AT"});
	EXPECT_EQ(refused.status.code, 0);
	EXPECT_EQ(refused.out, "");
	EXPECT_NE(refused.err.find("longer than 64 bytes"), std::string::npos) << refused.err;

	// 64 bytes pass the client (the daemon then judges the command itself).
	auto accepted = cli({"-c", s64 + "|AT", "-l", "7"});
	EXPECT_EQ(accepted.err, "");
	EXPECT_TRUE(harness::system_log().wait_for("send cpe,at_cmd " + s64 + "|AT", 5s));
	// The daemon's heartbeats may reach the module at any time; the refused
	// line never does, and neither the daemon nor the module saw it before
	// the accepted one.
	EXPECT_TRUE(lines_of("ravel_tools", s65).empty()) << harness::system_log().dump();
	EXPECT_EQ(sim_received().find(s65), std::string::npos) << sim_received();
}

} // namespace
