// SPDX-License-Identifier: ISC
// Runs the whole system once, in a private sandbox that hides the host's
// /etc/config, /var/run/ubus, /tmp and system log: a bus daemon, the modem
// simulator, a stand-in for the network interface manager, ravel_tools on
// channel "cpe", and ravel_tools_cli for a few command lines. Prints each
// answer, the link-state file and the daemon's log lines as they arrive.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "world.h"

using namespace std::chrono_literals;

namespace {

std::atomic<bool> printing{true};

// A module's text as a person reads it: CRs dropped, lines indented.
std::string visible(const std::string &s)
{
	std::string out;
	for (char c : s) {
		if (c == '\r')
			continue;
		if (c == 0x1a)
			out += "^Z";
		else if (c == '\n')
			out += "\n        ";
		else
			out += c;
	}
	while (!out.empty() && (out.back() == ' ' || out.back() == '\n'))
		out.pop_back();
	return out;
}

// Prints every system log line as it arrives, until printing is cleared.
void print_log_lines()
{
	size_t shown = 0;
	for (;;) {
		auto lines = harness::system_log().lines();
		for (; shown < lines.size(); shown++) {
			const auto &l = lines[shown];
			std::printf("  log  %s[%d] <%d> %s\n", l.ident.c_str(), l.pid, l.level,
				    visible(l.text).c_str());
		}
		std::fflush(stdout);
		if (!printing)
			return;
		std::this_thread::sleep_for(50ms);
	}
}

void ask(const std::string &cmd)
{
	std::printf("\n$ ravel_tools_cli -i cpe -L 4 -c '%s'\n", cmd.c_str());
	std::fflush(stdout);
	auto r = harness::run({harness::program_path("ravel_tools_cli"), "-i", "cpe", "-L", "4", "-c", cmd},
			      20s);
	std::this_thread::sleep_for(200ms); // let the daemon's trace lines print first
	std::printf("  answer (exit %d):%s\n", r.status.code, visible(r.out).c_str());
	std::fflush(stdout);
}

void show_state_file(const char *when)
{
	auto text = harness::read_file("/tmp/oriel/cache/ravel_tools_cpe");
	std::printf("\n--- /tmp/oriel/cache/ravel_tools_cpe %s:\n%s\n---\n", when,
		    text ? text->c_str() : "(missing)");
	std::fflush(stdout);
}

} // namespace

int main()
{
	std::string why = harness::enter_sandbox();
	if (!why.empty()) {
		std::fprintf(stderr,
			     "demo: cannot make a private sandbox here: %s.\n"
			     "The demo runs in its own mount and network namespaces so that it never\n"
			     "touches this machine's /etc/config, /var/run/ubus, /tmp or system log.\n",
			     why.c_str());
		if (geteuid() != 0)
			std::fprintf(stderr,
				     "As a normal user that needs a kernel that allows user namespaces;\n"
				     "run it as root otherwise.\n");
		// Not a fault of the programs: scripts tell this apart from a failure.
		return 77;
	}
	harness::system_log();
	std::thread printer(print_log_lines);
	// The printer stops before main returns: a running thread would abort it.
	auto fail = [&printer](const std::string &what) {
		printing = false;
		printer.join();
		std::fprintf(stderr, "demo: %s\n", what.c_str());
		return 1;
	};

	std::printf("== ravel_tools demo (private sandbox) ==\n");
	harness::world w;
	w.write_channel();
	std::printf("/etc/config/ravel_tools:\n%s\n", harness::read_file("/etc/config/ravel_tools")->c_str());

	why = w.start_bus();
	if (why.empty())
		why = w.start_recorder();
	if (why.empty())
		why = w.start_sim();
	if (!why.empty())
		return fail(why);

	std::printf("\nstarting: ravel_tools -i cpe\n");
	std::fflush(stdout);
	why = w.start_daemon();
	if (!why.empty())
		return fail(why);
	std::this_thread::sleep_for(500ms);
	show_state_file("while attached");
	std::string notified = w.notifications();
	std::printf("network.interface got: %s", notified.empty() ? "(nothing)\n" : notified.c_str());

	ask("ATI");
	ask("AT+CSQ|AT+CPIN?");
	ask("AT+CMGS=\"+15550100\">Hello from ravel_tools");

	std::printf("\n$ ravel-bus send ravel.cpe.reset   (rebuilds the link)\n");
	std::fflush(stdout);
	harness::run({harness::program_path("ravel-bus"), "send", "ravel.cpe.reset"}, 5s);
	harness::system_log().wait_for("recieve event reset", 5s);
	std::this_thread::sleep_for(500ms);

	std::printf("\nstopping the daemon with SIGTERM\n");
	std::fflush(stdout);
	w.daemon.signal(SIGTERM);
	auto st = w.daemon.wait(10s);
	w.sim.kill();
	w.recorder.kill();
	w.bus.kill();
	std::this_thread::sleep_for(200ms);
	printing = false;
	printer.join();
	std::printf("\nravel_tools exited with status %d. Demo done.\n", st.exited ? st.code : -1);
	return st.exited && st.code == 0 ? 0 : 1;
}
