// SPDX-License-Identifier: ISC
// Service bench: latency of one "at_cmd" call beside the socket floor, the
// client as a whole process beside a plain C client, the daemon's memory and
// idle CPU, and what a caller calling now and then meets with the module
// answering and unreachable. Runs the real programs in the harness's private
// sandbox.
//
//   service_bench [all|memory|latency|process|idle|caller] [--calls N] [--runs N]
//                 [--memory-calls N] [--idle-seconds N]
//                 [--caller-calls N] [--caller-gap-ms N] [--caller-idle-seconds N] [--seed N]
//   service_bench sh '<shell command>'
// The second form runs a command inside the sandbox with the system up, for
// looking closer (strace, valgrind); DAEMON_PID, BUS_PID and SIM_PID name the
// processes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "service_bench.h"

int main(int argc, char **argv)
{
	std::string what = "all", shell;
	int calls = 20000, runs = 1000, memory_calls = 10000, idle_seconds = 60;
	bench::caller_options caller;
	caller.seed = unsigned(std::time(nullptr));
	int seed = -1;
	for (int i = 1; i < argc; i++) {
		auto number = [&](int &out) {
			if (i + 1 >= argc || std::atoi(argv[i + 1]) <= 0) {
				std::fprintf(stderr, "service_bench: %s needs a positive number\n", argv[i]);
				std::exit(2);
			}
			out = std::atoi(argv[++i]);
		};
		if (!std::strcmp(argv[i], "--calls"))
			number(calls);
		else if (!std::strcmp(argv[i], "--runs"))
			number(runs);
		else if (!std::strcmp(argv[i], "--memory-calls"))
			number(memory_calls);
		else if (!std::strcmp(argv[i], "--idle-seconds"))
			number(idle_seconds);
		else if (!std::strcmp(argv[i], "--caller-calls"))
			number(caller.calls);
		else if (!std::strcmp(argv[i], "--caller-gap-ms"))
			number(caller.gap_ms);
		else if (!std::strcmp(argv[i], "--caller-idle-seconds"))
			number(caller.idle_seconds);
		else if (!std::strcmp(argv[i], "--seed"))
			number(seed);
		else if (!std::strcmp(argv[i], "sh") && i + 1 < argc) {
			what = "sh";
			shell = argv[++i];
		} else if (argv[i][0] != '-')
			what = argv[i];
		else {
			std::fprintf(
				stderr,
				"usage: %s [all|memory|latency|process|idle|caller] [--calls N] [--runs N] "
				"[--memory-calls N] [--idle-seconds N]\n"
				"       [--caller-calls N] [--caller-gap-ms N] [--caller-idle-seconds N] "
				"[--seed N]\n"
				"caller: %d calls per phase (answering, unreachable) 0..%d ms apart, then "
				"%d s idle in each state\n",
				argv[0], caller.calls, caller.gap_ms, caller.idle_seconds);
			return 2;
		}
	}

	if (seed > 0)
		caller.seed = unsigned(seed);

	std::string why = harness::enter_sandbox();
	if (!why.empty()) {
		std::fprintf(
			stderr,
			"service_bench: no private sandbox here (%s); it needs root or user namespaces\n",
			why.c_str());
		return 1;
	}
	harness::system_log();

	bench::world w;
	why = bench::start_world(w);
	if (!why.empty()) {
		std::fprintf(stderr, "service_bench: %s\n", why.c_str());
		w.stop();
		return 1;
	}
	std::printf("service bench: %s\n", RAVEL_BUILD_KIND);
	bool all = what == "all", pass = true;
	if (what == "sh") {
		setenv("DAEMON_PID", std::to_string(w.daemon.pid()).c_str(), 1);
		setenv("BUS_PID", std::to_string(w.bus.pid()).c_str(), 1);
		setenv("SIM_PID", std::to_string(w.sim.pid()).c_str(), 1);
		pass = std::system(shell.c_str()) == 0;
	}
	// Memory first, so its call counts start from a fresh daemon.
	if (all || what == "memory")
		pass &= bench::run_memory(w, memory_calls);
	if (all || what == "latency")
		pass &= bench::run_latency(w, calls);
	if (all || what == "process")
		pass &= bench::run_processes(w, runs);
	if (all || what == "idle")
		pass &= bench::run_idle(w, idle_seconds);
	// Last: it restarts the daemon for a module behind a veth.
	if (all || what == "caller")
		pass &= bench::run_caller(w, caller);
	std::fflush(stdout);
	w.stop();
	std::printf("\n%s\n", pass ? "all targets met" : "some targets missed");
	return pass ? 0 : 3;
}
