// SPDX-License-Identifier: ISC
// The client's opt-in options (-j, -e, -c -, -s) run as a program against the
// daemon, standard input from a pipe or a terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "service_world.h"

namespace {

using namespace std::chrono_literals;

class cli_options_e2e : public service_world {
protected:
	void start_all()
	{
		start_bus();
		start_sim();
		start_daemon();
	}
	// The client with its standard input from a pipe holding input.
	harness::run_result cli_fed(const std::string &input, const std::string &args)
	{
		harness::write_file("/tmp/cli.in", input);
		return harness::run(
			{"/bin/sh", "-c",
			 harness::program_path("ravel_tools_cli") + " " + args + " < /tmp/cli.in"},
			60s);
	}
};

int count_lines(const std::string &text)
{
	return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(cli_options_e2e, json_reply_reads_as_the_bus_tool_prints_it)
{
	start_all();
	sim(R"(answer AT+QTEMP => \r\n+QTEMP: "41"\t\\\n\nX\x01\r\nOK\r\n)");
	auto r = cli({"-j", "-c", "AT+QTEMP"});
	auto bus = bus_call(R"({"cmd":"AT+QTEMP"})");
	EXPECT_EQ(r.status.code, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, bus.out);
	EXPECT_NE(r.out.find(R"("respone": "\r\n+QTEMP: \"41\"\t\\\n\nX\u0001\r\nOK\r\n",)"),
		  std::string::npos)
		<< r.out;
	EXPECT_EQ(r.out.substr(r.out.size() - 13), "\t\"code\": 0\n}\n") << r.out;
}

TEST_F(cli_options_e2e, exit_status_is_the_code_or_1_with_one_line_why)
{
	auto help = cli({"-h"});
	EXPECT_EQ(help.status.code, 0);
	EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << help.out;
	EXPECT_NE(help.out.find(" -e :"), std::string::npos) << help.out;

	auto no_bus = cli({"-e", "-c", "AT"});
	EXPECT_EQ(no_bus.status.code, 1);
	EXPECT_EQ(no_bus.err, std::string(harness::program_path("ravel_tools_cli")) +
				      ": cannot connect to the bus at its default socket\n");

	start_all();
	EXPECT_EQ(cli({"-e", "-c", "AT"}).status.code, 0);
	auto elsewhere = cli({"-e", "-s", "/tmp/no.sock", "-c", "AT"});
	EXPECT_EQ(elsewhere.status.code, 1);
	EXPECT_NE(elsewhere.err.find("cannot connect to the bus at /tmp/no.sock\n"), std::string::npos);
	auto named = cli({"-e", "-s", "/var/run/ubus/ubus.sock", "-c", "AT"});
	EXPECT_EQ(named.status.code, 0);
	EXPECT_NE(named.out.find("OK"), std::string::npos);

	auto nosuch = cli({"-e", "-i", "nosuch", "-c", "AT"});
	EXPECT_EQ(nosuch.status.code, 1);
	EXPECT_NE(nosuch.err.find("no daemon serves channel nosuch on the bus\n"), std::string::npos);
	EXPECT_EQ(count_lines(nosuch.err), 1);

	// No answer within the wait: the daemon's code 4 becomes the status.
	sim("answer AT+MUTE => ");
	auto mute = cli({"-e", "-w", "300", "-c", "AT+MUTE"});
	EXPECT_EQ(mute.status.code, 4);
	EXPECT_EQ(mute.err, "");
}

TEST_F(cli_options_e2e, a_call_that_times_out_says_the_command_may_still_run)
{
	start_all();
	sim("delay 1500");
	// -W -3 leaves a 100 ms time-out for a 1.5 s answer.
	auto plain = cli({"-c", "AT", "-W", "-3"});
	EXPECT_EQ(plain.status.code, 0);
	EXPECT_EQ(plain.err, "");
	auto line =
		harness::system_log().wait_for("at[AT] no reply in 100 ms, the command may still run", 2s);
	ASSERT_TRUE(line) << harness::system_log().dump();
	EXPECT_EQ(line->level, 3);
	EXPECT_EQ(line->ident, "ravel_tools_cli");

	std::this_thread::sleep_for(2s); // the daemon still runs the call above
	auto loud = cli({"-e", "-c", "AT", "-W", "-3"});
	EXPECT_EQ(loud.status.code, 1);
	EXPECT_EQ(loud.out, "");
	EXPECT_NE(loud.err.find(": no reply within 100 ms; the command may still run on the module\n"),
		  std::string::npos)
		<< loud.err;
}

TEST_F(cli_options_e2e, lines_from_standard_input_are_answered_in_order)
{
	start_all();
	sim(R"(answer AT+ONE => \r\nONE\r\nOK\r\n)");
	sim(R"(answer AT+TWO => \r\nTWO\r\nOK\r\n)");
	sim("answer AT+MUTE => ");
	std::string too_long(5000, 'A');
	auto r = cli_fed("AT+ONE\r\n\n" + too_long + "\nAT+CMGS=\"+15550100\">Hello\nAT+TWO\nAT+MUTE\n",
			 "-e -w 500 -c -");
	EXPECT_EQ(r.status.code, 4); // the last command's code
	size_t one = r.out.find("ONE"), cmgs = r.out.find("+CMGS: "), two = r.out.find("TWO");
	ASSERT_NE(one, std::string::npos) << r.out;
	EXPECT_LT(one, cmgs);
	EXPECT_LT(cmgs, two);
	EXPECT_EQ(r.out.find("> "), std::string::npos) << "no prompt without a terminal: " << r.out;
	EXPECT_NE(r.err.find("line longer than 4095 bytes, nothing sent"), std::string::npos) << r.err;
	// The two-step command went out as one: its text after the prompt.
	EXPECT_NE(sim_received().find("Hello"), std::string::npos);

	auto json = cli_fed("AT+ONE\nAT+TWO\n", "-j -c -");
	EXPECT_EQ(json.status.code, 0);
	EXPECT_EQ(json.out, bus_call(R"({"cmd":"AT+ONE"})").out + bus_call(R"({"cmd":"AT+TWO"})").out);
}

// The client on a pseudo-terminal: what it printed until text appeared.
class console {
public:
	explicit console(const std::vector<std::string> &args)
	{
		// The sandbox's /dev is an overlay without the host's pty mount:
		// terminals come from a private instance.
		mkdir("/dev/pts", 0755);
		if (mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") != 0)
			ADD_FAILURE() << "devpts: " << strerror(errno);
		std::vector<std::string> argv = {harness::program_path("ravel_tools_cli")};
		argv.insert(argv.end(), args.begin(), args.end());
		pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
		if (pid_ == 0) {
			std::vector<char *> cargv;
			for (auto &a : argv)
				cargv.push_back(a.data());
			cargv.push_back(nullptr);
			execv(cargv[0], cargv.data());
			_exit(127);
		}
	}
	~console()
	{
		if (fd_ >= 0)
			close(fd_);
		if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
			kill(pid_, SIGKILL);
			waitpid(pid_, nullptr, 0);
		}
	}
	console(const console &) = delete;
	console &operator=(const console &) = delete;

	bool started() const { return pid_ > 0 && fd_ >= 0; }
	void type(const std::string &text)
	{
		ASSERT_EQ(write(fd_, text.data(), text.size()), (ssize_t)text.size());
	}
	// Reads until seen holds text (searched after from); false at the deadline.
	bool wait_for(const std::string &text, size_t from = 0, harness::ms deadline = 10s)
	{
		auto end = std::chrono::steady_clock::now() + deadline;
		while (seen.find(text, from) == std::string::npos) {
			auto left = std::chrono::duration_cast<harness::ms>(end -
									    std::chrono::steady_clock::now());
			struct pollfd p = {fd_, POLLIN, 0};
			if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
				return false;
			char buf[512];
			ssize_t n = read(fd_, buf, sizeof(buf));
			if (n <= 0)
				return false;
			seen.append(buf, static_cast<size_t>(n));
		}
		return true;
	}
	int exit_code()
	{
		int st = 0;
		for (int i = 0; i < 500 && waitpid(pid_, &st, WNOHANG) == 0; i++)
			std::this_thread::sleep_for(20ms);
		pid_ = -1;
		return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
	}
	std::string seen;

private:
	pid_t pid_ = -1;
	int fd_ = -1;
};

TEST_F(cli_options_e2e, console_prompts_shows_codes_and_leaves_on_ctrl_d)
{
	start_all();
	sim("answer AT+MUTE => ");
	console c({"-e", "-w", "300", "-c", "-"});
	ASSERT_TRUE(c.started());
	ASSERT_TRUE(c.wait_for("cpe> ")) << c.seen;
	c.type("AT+CMGS=\"+15550100\">Hello\r");
	ASSERT_TRUE(c.wait_for("+CMGS: ")) << c.seen;
	size_t mark = c.seen.find("+CMGS: ");
	ASSERT_TRUE(c.wait_for("cpe> ", mark)) << c.seen;
	mark = c.seen.find("cpe> ", mark);
	c.type("AT+MUTE\r");
	ASSERT_TRUE(c.wait_for("[code 4]\r\ncpe> ", mark)) << c.seen;
	EXPECT_EQ(c.seen.find("[code 0]"), std::string::npos);
	c.type("\x04");
	EXPECT_EQ(c.exit_code(), 4) << c.seen;
}

} // namespace
