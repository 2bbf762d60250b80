// SPDX-License-Identifier: ISC
// Shared pieces of the service bench: the running system, figures and the
// per-section entry points.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "world.h"

extern "C" {
#include <libubus.h>
}

namespace bench {

using clock_type = std::chrono::steady_clock;

inline double us_since(clock_type::time_point t0)
{
	return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

// Order statistics of a set of durations in microseconds.
struct summary {
	size_t n = 0;
	double p10 = 0, median = 0, p99 = 0, p999 = 0, max = 0, mean = 0;
};
summary summarize(std::vector<double> samples);
size_t count_above(const std::vector<double> &samples, double limit_us);

// Our bus daemon on the default socket, the simulator answering at once on
// TCP, and ravel_tools serving channel "cpe" with its link attached.
using world = harness::world;
// Empty when all is up and the daemon rests in its loop, else what failed.
std::string start_world(world &w);

// An in-process bus client that calls "at_cmd" {"cmd":"AT"} on "ravelcpe".
class client {
public:
	client() = default;
	client(const client &) = delete;
	client &operator=(const client &) = delete;
	~client();
	// Empty when connected and the object is found, else why not.
	std::string open();
	// One call: 0 when the reply holds code 0 and an answer with "OK", else
	// the bus status or -1.
	int call();

private:
	struct ubus_context *ctx_ = nullptr;
	uint32_t id_ = 0;
	struct blob_buf req_ = {};
};

// Fields of /proc/<pid>/status in KiB (VmRSS, VmHWM), -1 when missing.
long status_kib(pid_t pid, const char *field);
// CPU time of a process in microseconds: utime+stime from /proc/<pid>/stat
// (clock-tick resolution) and the scheduler's own count (ns resolution).
struct cpu_time {
	double ticks_us = 0, sched_us = -1;
};
cpu_time process_cpu(pid_t pid);

void print_target(const char *what, bool pass);

// Sections; each returns true when its targets are met.
bool run_memory(world &w, int calls);
bool run_latency(world &w, int calls);
bool run_processes(world &w, int runs);
bool run_idle(world &w, int seconds);

} // namespace bench
