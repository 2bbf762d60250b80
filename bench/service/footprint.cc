// SPDX-License-Identifier: ISC
// The daemon's memory over many calls and its CPU use while only the poll
// timer runs.
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "service_bench.h"

namespace bench {

namespace {

constexpr long PEAK_LIMIT_KIB = 2048;
constexpr double IDLE_LIMIT = 0.001; // of one core

// VmHWM of a process that only sleeps: what any dynamically linked program
// costs on this machine.
long idle_process_kib()
{
	pid_t pid = fork();
	if (pid == 0) {
		execl("/bin/sleep", "sleep", "5", static_cast<char *>(nullptr));
		_exit(127);
	}
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	long kib = status_kib(pid, "VmHWM");
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	return kib;
}

// Proportional set size in KiB (shared pages divided among their users).
long pss_kib(pid_t pid)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
	std::string line;
	while (std::getline(in, line))
		if (line.rfind("Pss:", 0) == 0)
			return std::atol(line.c_str() + 4);
	return -1;
}

// Rss per mapped file (anonymous mappings under "[anon]"), largest first.
std::vector<std::pair<long, std::string>> rss_by_mapping(pid_t pid)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
	std::map<std::string, long> kib;
	std::string line, name;
	while (std::getline(in, line)) {
		if (line.rfind("Rss:", 0) == 0) {
			kib[name] += std::atol(line.c_str() + 4);
			continue;
		}
		size_t dash = line.find('-');
		if (dash == std::string::npos || dash == 0 ||
		    !std::isxdigit(static_cast<unsigned char>(line[0])) || line.find(' ') < dash)
			continue;
		// address perms offset dev inode [path]
		std::istringstream fields(line);
		std::string skip;
		for (int i = 0; i < 5; i++)
			fields >> skip;
		name.clear();
		fields >> name;
		if (name.empty())
			name = "[anon]";
		else if (size_t slash = name.rfind('/'); slash != std::string::npos)
			name = name.substr(slash + 1);
	}
	std::vector<std::pair<long, std::string>> out;
	for (auto &[n, k] : kib)
		if (k > 0)
			out.emplace_back(k, n);
	std::sort(out.rbegin(), out.rend());
	return out;
}

} // namespace

bool run_memory(world &w, int calls)
{
	std::printf("\n== 3a. ravel_tools memory over %d calls\n", calls);
	pid_t pid = w.daemon.pid();
	long start_rss = status_kib(pid, "VmRSS");
	client c;
	std::string why = c.open();
	if (!why.empty()) {
		std::printf("  cannot call: %s\n", why.c_str());
		return false;
	}
	int sample_at = calls / 10;
	long rss_sample = -1, anon_sample = -1, file_sample = -1;
	int failed = 0;
	for (int i = 1; i <= calls; i++) {
		if (c.call() != 0)
			failed++;
		if (i == sample_at) {
			rss_sample = status_kib(pid, "VmRSS");
			anon_sample = status_kib(pid, "RssAnon");
			file_sample = status_kib(pid, "RssFile");
		}
	}
	long rss_end = status_kib(pid, "VmRSS");
	long hwm = status_kib(pid, "VmHWM");
	std::printf("  VmRSS at start %ld KiB, at call %d %ld KiB, at call %d %ld KiB; VmHWM %ld KiB; %d "
		    "failed\n",
		    start_rss, sample_at, rss_sample, calls, rss_end, hwm, failed);
	long anon_end = status_kib(pid, "RssAnon");
	std::printf("  anonymous %ld -> %ld KiB, file-backed %ld -> %ld KiB\n", anon_sample, anon_end,
		    file_sample, status_kib(pid, "RssFile"));
	std::printf("  by mapping (KiB):");
	auto maps = rss_by_mapping(pid);
	for (size_t i = 0; i < maps.size() && i < 8; i++)
		std::printf(" %s %ld%s", maps[i].second.c_str(), maps[i].first,
			    i + 1 < maps.size() && i < 7 ? "," : "");
	std::printf("\n");
	std::printf("  Pss %ld KiB; /bin/sleep on this machine: VmHWM %ld KiB (the floor of any process)\n",
		    pss_kib(pid), idle_process_kib());
	std::printf("  (file-backed pages are shared library code, mostly libc, mapped in 64 KiB runs around "
		    "each\n"
		    "   page touched, so they vary by some 50 KiB with the load addresses; the daemon's own "
		    "memory\n"
		    "   is the anonymous part)\n");
	bool peak_ok = hwm > 0 && hwm <= PEAK_LIMIT_KIB;
	bool flat = rss_sample > 0 && rss_end <= rss_sample;
	bool anon_flat = anon_sample > 0 && anon_end <= anon_sample;
	print_target("peak RSS (VmHWM) at most 2 MiB", peak_ok);
	print_target("VmRSS: no growth from the sample to the end", flat);
	print_target("anonymous memory (heap, stack, data): no growth", anon_flat);
	return peak_ok && flat && anon_flat && failed == 0;
}

bool run_idle(world &w, int seconds)
{
	std::printf("\n== 3b. ravel_tools idle CPU over %d s (poll timer only)\n", seconds);
	std::fflush(stdout);
	pid_t pid = w.daemon.pid();
	cpu_time before = process_cpu(pid);
	auto t0 = clock_type::now();
	std::this_thread::sleep_for(std::chrono::seconds(seconds));
	cpu_time after = process_cpu(pid);
	double wall_us = us_since(t0);
	double ticks = after.ticks_us - before.ticks_us;
	double share = ticks / wall_us;
	std::printf("  utime+stime %.0f ms in %.1f s: %.4f%% of one core\n", ticks / 1e3, wall_us / 1e6,
		    share * 100);
	if (before.sched_us >= 0) {
		double sched = after.sched_us - before.sched_us;
		std::printf("  scheduler run time %.1f ms: %.4f%% of one core, %.0f us per poll run (~%.0f "
			    "runs)\n",
			    sched / 1e3, sched / wall_us * 100, sched / (wall_us / 0.6e6), wall_us / 0.6e6);
	}
	bool pass = share < IDLE_LIMIT;
	print_target("idle CPU under 0.1% of one core", pass);
	return pass;
}

} // namespace bench
