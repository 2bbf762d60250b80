// SPDX-License-Identifier: ISC
// The daemon's entry run as a program: options, exit statuses, signals.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace std::chrono_literals;
using harness::process;

constexpr char USAGE_TAIL[] = "[options]\n"
			      "Options:\n"
			      " -s <path>:        Path to the ubus socket\n"
			      " -d :              debug mode\n"
			      " -i :              channel id\n"
			      " -l <level>:       log level 0-7,default 3\n"
			      "\n";

class daemon_entry : public harness::sandbox_test {
protected:
	std::string daemon() { return harness::program_path("ravel_tools"); }

	// Starts the daemon for channel "cpe" with extra options and waits until
	// it idles in its event loop (a terminating signal caught before the loop
	// is entered does not stop it). A full start-up needs the channel's
	// configuration and a bus; the module's port has no listener, so the
	// link stays down and the poll timer keeps retrying.
	process start(const std::vector<std::string> &options = {})
	{
		harness::write_config("ravel_tools", "config channel 'cpe'\n"
						     "\toption server '127.0.0.1'\n"
						     "\toption port '9'\n"
						     "\toption proto 'tcp'\n");
		if (!bus_.running() && harness::program_exists("ravel-busd")) {
			bus_ = process::spawn({harness::program_path("ravel-busd"), "-s", BUS_SOCKET});
			EXPECT_TRUE(harness::wait_for_path(BUS_SOCKET, 5s)) << bus_.err();
		}
		std::vector<std::string> argv = {daemon()};
		argv.insert(argv.end(), options.begin(), options.end());
		argv.insert(argv.end(), {"-i", "cpe"});
		process p = process::spawn(argv);
		EXPECT_TRUE(p.wait_caught(SIGUSR2, 10s)) << p.err() << harness::system_log().dump();
		EXPECT_TRUE(p.wait_idle(10s)) << p.err() << harness::system_log().dump();
		EXPECT_TRUE(in_event_loop(p)) << p.err() << harness::system_log().dump();
		return p;
	}

	// The event loop waits in epoll. Before it is entered the daemon also
	// waits, in poll for the bus daemon's greeting (long on a loaded
	// machine), where a stop signal would be caught but not yet end a loop.
	static bool in_event_loop(process &p)
	{
		const std::string wchan = "/proc/" + std::to_string(p.pid()) + "/wchan";
		for (int i = 0; i < 1000; i++) {
			if (harness::read_file(wchan).value_or("").find("epoll") != std::string::npos)
				return true;
			std::this_thread::sleep_for(10ms);
		}
		return false;
	}

	static constexpr char BUS_SOCKET[] = "/var/run/ubus/ubus.sock";
	process bus_;

	std::vector<harness::log_line> daemon_lines()
	{
		std::vector<harness::log_line> out;
		for (auto &l : harness::system_log().lines())
			if (l.ident == "ravel_tools")
				out.push_back(l);
		return out;
	}
};

TEST_F(daemon_entry, unknown_option_prints_usage_and_logs_nothing)
{
	std::string path = daemon();
	auto r = harness::run({path, "-x", "-i", "cpe"}, 5s);
	ASSERT_TRUE(r.status.ended);
	EXPECT_TRUE(r.status.exited);
	EXPECT_EQ(r.status.code, 1);
	// getopt's own line (worded by the C library) names the option.
	std::string first = r.err.substr(0, r.err.find('\n'));
	ASSERT_FALSE(first.empty()) << r.err;
	while (!first.empty() && first.back() == '\'')
		first.pop_back();
	EXPECT_EQ(first.rfind(path + ": ", 0), 0U) << r.err;
	EXPECT_EQ(first.back(), 'x') << r.err;
	std::string usage = "Usage: " + path + " " + USAGE_TAIL;
	ASSERT_GE(r.err.size(), usage.size());
	EXPECT_EQ(r.err.substr(r.err.size() - usage.size()), usage);
	EXPECT_EQ(r.out, "");

	std::this_thread::sleep_for(200ms);
	EXPECT_TRUE(daemon_lines().empty()) << harness::system_log().dump();
}

TEST_F(daemon_entry, option_without_argument_is_a_usage_error)
{
	auto r = harness::run({daemon(), "-i"}, 5s);
	EXPECT_TRUE(r.status.exited);
	EXPECT_EQ(r.status.code, 1);
	EXPECT_NE(r.err.find("Usage: "), std::string::npos);
	EXPECT_NE(r.err.find("requires an argument"), std::string::npos) << r.err;
}

// A channel that is missing, empty, or hidden behind a plain argument (where
// option parsing stops) ends the daemon with 255 after a 10-second pause.
class missing_channel : public daemon_entry,
			public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(missing_channel, logs_and_exits_255_after_the_pause)
{
	std::vector<std::string> argv = {daemon()};
	argv.insert(argv.end(), GetParam().begin(), GetParam().end());
	auto p = process::spawn(argv);

	auto line = harness::system_log().wait_for("Failed to get at channel", 5s);
	ASSERT_TRUE(line) << harness::system_log().dump();
	EXPECT_EQ(line->text, "Failed to get at channel");
	EXPECT_EQ(line->level, 3);
	EXPECT_EQ(line->facility, LOG_DAEMON >> 3);
	EXPECT_EQ(line->ident, "ravel_tools");
	EXPECT_EQ(line->pid, p.pid());

	auto st = p.wait(25s);
	ASSERT_TRUE(st.ended);
	EXPECT_TRUE(st.exited);
	EXPECT_EQ(st.code, 255);
	EXPECT_GE(st.elapsed, 9900ms);
	EXPECT_LT(st.elapsed, 20s);
}

INSTANTIATE_TEST_SUITE_P(cases, missing_channel,
			 ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"-i", ""},
					   std::vector<std::string>{"plain", "-i", "cpe"}));

TEST_F(daemon_entry, threshold_from_text_that_is_not_a_number_is_zero)
{
	// The level-3 line is above threshold 0, so nothing is logged.
	auto p = process::spawn({daemon(), "-l", "abc"});
	auto st = p.wait(25s);
	ASSERT_TRUE(st.ended);
	EXPECT_EQ(st.code, 255);
	EXPECT_TRUE(daemon_lines().empty()) << harness::system_log().dump();
}

TEST_F(daemon_entry, later_option_wins)
{
	// -l 0 then -l 3: the level-3 line is logged; the channel, given twice,
	// is the last one (empty here).
	auto p = process::spawn({daemon(), "-l", "0", "-l", "3", "-i", "cpe", "-i", ""});
	EXPECT_TRUE(harness::system_log().wait_for("Failed to get at channel", 5s));
	p.kill();
}

TEST_F(daemon_entry, stops_in_order_on_each_terminating_signal)
{
	for (int signo : {SIGUSR1, SIGUSR2, SIGINT, SIGTERM}) {
		process p = start();
		ASSERT_TRUE(p.signal(signo));
		auto st = p.wait(5s);
		ASSERT_TRUE(st.ended) << "signal " << signo;
		EXPECT_TRUE(st.exited) << "signal " << signo << " killed it";
		EXPECT_EQ(st.code, 0) << "signal " << signo;
	}
}

TEST_F(daemon_entry, alarm_is_logged_and_the_daemon_runs_on)
{
	process p = start();
	ASSERT_TRUE(p.signal(SIGALRM));
	auto line = harness::system_log().wait_for_regex("^at receive the signal\\([0-9]+\\)$", 5s);
	ASSERT_TRUE(line) << harness::system_log().dump();
	EXPECT_EQ(line->text, "at receive the signal(14)");
	EXPECT_EQ(line->level, 4);
	EXPECT_EQ(line->pid, p.pid());

	ASSERT_TRUE(p.signal(SIGALRM));
	ASSERT_TRUE(p.signal(SIGPIPE));
	std::this_thread::sleep_for(300ms);
	EXPECT_TRUE(p.running());
	EXPECT_EQ(harness::system_log().find("at receive the signal(14)").size(), 2u);

	ASSERT_TRUE(p.signal(SIGTERM));
	auto st = p.wait(5s);
	EXPECT_TRUE(st.exited);
	EXPECT_EQ(st.code, 0);
}

TEST_F(daemon_entry, alarm_line_follows_the_threshold)
{
	process p = start({"-l", "3"});
	ASSERT_TRUE(p.signal(SIGALRM));
	std::this_thread::sleep_for(300ms);
	ASSERT_TRUE(p.signal(SIGTERM));
	EXPECT_EQ(p.wait(5s).code, 0);
	EXPECT_TRUE(harness::system_log().find("at receive the signal").empty());
}

TEST_F(daemon_entry, alarm_lines_come_during_a_block_sleep_and_before_exit)
{
	process p = start();
	const std::string line = "at receive the signal(14)";
	// The link is down, so the call is answered at once (code 2) and then
	// holds the daemon for its block of 5 s.
	process call = process::spawn({harness::program_path("ravel-bus"), "-t", "20", "call", "ravelcpe",
				       "at_cmd", "{\"cmd\":\"AT\",\"block\":5}"});
	const std::string wchan = "/proc/" + std::to_string(p.pid()) + "/wchan";
	for (int i = 0;
	     i < 500 && harness::read_file(wchan).value_or("").find("nanosleep") == std::string::npos; i++)
		std::this_thread::sleep_for(10ms);
	ASSERT_TRUE(p.signal(SIGALRM));
	EXPECT_TRUE(harness::system_log().wait_for(line, 3s)) << harness::system_log().dump();
	EXPECT_TRUE(call.running()) << "the line came only after the block";
	EXPECT_TRUE(call.wait(10s).ended);

	// An alarm caught together with a stop signal: the loop ends before it
	// would write the line; the daemon writes it on the way out.
	ASSERT_TRUE(p.wait_idle(5s));
	ASSERT_TRUE(p.signal(SIGSTOP));
	ASSERT_TRUE(p.signal(SIGALRM));
	ASSERT_TRUE(p.signal(SIGTERM));
	ASSERT_TRUE(p.signal(SIGCONT));
	auto st = p.wait(5s);
	EXPECT_TRUE(st.exited && st.code == 0);
	std::this_thread::sleep_for(200ms);
	EXPECT_EQ(harness::system_log().find(line).size(), 2u) << harness::system_log().dump();
}

// Run by hand, the daemon says on its terminal why it stops; the log lines are
// the same either way, and a daemon without a terminal writes nothing there.
TEST_F(daemon_entry, start_up_fault_is_told_on_a_terminal_only)
{
	harness::write_config("ravel_tools", "config channel 'cpe'\n"
					     "\toption server '127.0.0.1'\n"
					     "\toption port '9'\n"
					     "\toption proto 'tcp'\n");
	const std::string cmd = daemon() + " -s /tmp/no-bus.sock -i cpe";
	auto plain = harness::run({"/bin/sh", "-c", cmd}, 10s);
	EXPECT_EQ(plain.status.code, 1);
	EXPECT_EQ(plain.err, "");
	// script(1) gives the daemon a terminal and copies what it writes there.
	// The sandbox's /dev has no terminals: a devpts instance of its own does.
	mkdir("/dev/pts", 0755);
	ASSERT_EQ(mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666"), 0)
		<< strerror(errno);
	int ptmx = open("/dev/ptmx", O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
	if (ptmx >= 0)
		close(ptmx);
	ASSERT_EQ(mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
	auto tty = harness::run({"/usr/bin/script", "-q", "-e", "-c", cmd, "/dev/null"}, 10s);
	EXPECT_EQ(tty.status.code, 1) << tty.err;
	EXPECT_NE(tty.out.find("ravel_tools: cannot connect to the bus at /tmp/no-bus.sock"),
		  std::string::npos)
		<< tty.out << tty.err;
	for (int i = 0; i < 100 && harness::system_log().find("Failed to connect to ubus").size() < 2; i++)
		std::this_thread::sleep_for(50ms);
	EXPECT_EQ(harness::system_log().find("Failed to connect to ubus").size(), 2u)
		<< harness::system_log().dump();
}

} // namespace
