// The daemon's memory over many calls and its CPU use while only the poll
// timer runs.
#include <cstdio>
#include <thread>

#include "service_bench.h"

namespace bench {

namespace {

constexpr long PEAK_LIMIT_KIB = 2048;
constexpr double IDLE_LIMIT = 0.001; // of one core

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
	long rss_sample = -1;
	int failed = 0;
	for (int i = 1; i <= calls; i++) {
		if (c.call() != 0)
			failed++;
		if (i == sample_at)
			rss_sample = status_kib(pid, "VmRSS");
	}
	long rss_end = status_kib(pid, "VmRSS");
	long hwm = status_kib(pid, "VmHWM");
	std::printf("  VmRSS at start %ld KiB, at call %d %ld KiB, at call %d %ld KiB; VmHWM %ld KiB; %d failed\n",
		    start_rss, sample_at, rss_sample, calls, rss_end, hwm, failed);
	bool peak_ok = hwm > 0 && hwm <= PEAK_LIMIT_KIB;
	bool flat = rss_sample > 0 && rss_end <= rss_sample;
	print_target("peak RSS (VmHWM) at most 2 MiB", peak_ok);
	print_target("no RSS growth between the sample and the end", flat);
	return peak_ok && flat && failed == 0;
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
		std::printf("  scheduler run time %.1f ms: %.4f%% of one core, %.0f us per poll run (~%.0f runs)\n",
			    sched / 1e3, sched / wall_us * 100, sched / (wall_us / 0.6e6), wall_us / 0.6e6);
	}
	bool pass = share < IDLE_LIMIT;
	print_target("idle CPU under 0.1% of one core", pass);
	return pass;
}

} // namespace bench
