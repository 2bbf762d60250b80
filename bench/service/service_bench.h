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
	double p10 = 0, median = 0, p90 = 0, p99 = 0, p999 = 0, max = 0, mean = 0;
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
	// The id of another object on the same connection, waiting up to 10 s
	// for it to appear; empty when found, else why not.
	std::string find(const char *object, uint32_t *id);
	// One call: 0 when the reply holds code 0 and an answer with "OK", else
	// the bus status or -1.
	int call();
	// One "at_cmd" call to the object of that id: the bus status, with the
	// reply's "code" in *code (-1 when it holds none).
	int call_to(uint32_t id, int *code);
	uint32_t id() const { return id_; }

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

// A second network namespace joined to the bench's by a veth pair: the
// module's side of a cable that the bench can pull (far_net.cc).
class far_net {
public:
	static constexpr const char *near_ip = "192.0.2.1";
	static constexpr const char *far_ip = "192.0.2.2";

	far_net() = default;
	far_net(const far_net &) = delete;
	far_net &operator=(const far_net &) = delete;
	~far_net();
	// Makes the namespace and the pair, both ends up with their addresses
	// and a permanent neighbour entry on the near side. Empty when done,
	// else what failed. Call from the thread that spawns the programs.
	std::string open();
	// Takes the far end's link down, so that every packet towards it
	// vanishes, or brings it up again.
	std::string set_far_end(bool up);
	// Runs f (which returns an empty text on success) with the calling
	// thread in the far namespace: sockets made and processes spawned there
	// stay in it.
	template <typename F>
	std::string inside(F f)
	{
		std::string why = enter();
		if (!why.empty())
			return why;
		std::string result = f();
		why = leave();
		return result.empty() ? why : result;
	}

private:
	std::string enter();
	std::string leave();
	int home_ = -1, far_ = -1;
};

// Sections; each returns true when its targets are met.
bool run_memory(world &w, int calls);
bool run_latency(world &w, int calls);
bool run_processes(world &w, int runs);
bool run_idle(world &w, int seconds);
// A caller now and then: one call every 0..gap_ms (uniform), beside the bus
// floor, with the module answering and with it unreachable; then the daemon's
// idle CPU in both states.
struct caller_options {
	int calls = 150;
	int gap_ms = 1000;
	int idle_seconds = 30;
	unsigned seed = 0;
};
bool run_caller(world &w, const caller_options &o);

} // namespace bench
