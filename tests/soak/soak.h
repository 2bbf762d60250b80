// SPDX-License-Identifier: ISC
// Shared pieces of the soak campaign: options, the command mix, the call
// records shared with the caller processes, and the daemon's footprint.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace soak {

constexpr int MAX_CALLERS = 16;
constexpr const char *OBJECT = "ravelcpe";

inline int64_t now_ns()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct options {
	long calls = 100000;
	int callers = 4;
	int restarts = 2;
	long fault_every = 0; // 0: calls / 40, at least 200
	int wait_ms = 500;
	long rss_slack_kib = 16;
	bool rss_check = true;
	unsigned seed = 1;
	bool quiet = false;
	bool dump_log = false;
	std::string daemon_level;            // -l of the daemon, when given
	std::vector<std::string> daemon_env; // NAME=value added to the daemon's environment
	std::vector<std::string> skip;       // link faults left out
	int flood_ms = 0;                    // > 0: no link faults; unsolicited text this often instead
};

// The daemon arms an alarm of (commands x wait / 1000) s, at least 2; a call
// waits behind at most one call of every other caller, plus a link attach
// with its notification (a one-shot bus call of up to 3 s).
int call_bound_ms(const options &o);
std::string command_text(int kind, long ticket);
int pick_kind(unsigned seed, long ticket);

enum outcome : int16_t {
	OUT_NONE = 0,    // not finished
	OUT_REPLY,       // bus status 0 with a "code"
	OUT_NO_DATA,     // bus status 0 without reply data: a lost reply
	OUT_BAD_REPLY,   // reply data without a "code"
	OUT_BUS_TIMEOUT, // bus status 7
	OUT_CONN_FAILED, // bus status 10, or 2 (the send failed on a dead connection)
	OUT_NOT_FOUND,   // bus status 4, or the lookup failed
	OUT_CONNECT_FAILED,
	OUT_OTHER_STATUS,
	OUT_COUNT
};

const char *outcome_name(int o);

struct call_record {
	std::atomic<int64_t> start_ns{0};
	std::atomic<int64_t> end_ns{0};
	int16_t outcome = OUT_NONE;
	int16_t status = -1;
	int16_t code = -1;
	uint8_t kind = 0;
	uint8_t caller = 0;
	uint8_t final_seen = 0; // the answer holds OK, ERROR or the message reference
	uint8_t has_answer = 0;
	uint8_t own_first = 0; // the answer starts with this command's own echo
	char head[24] = {};    // the answer's first bytes, for the report
};

struct shared_state {
	std::atomic<long> next_ticket{0};
	std::atomic<long> gate{0};       // tickets below both gates may run: the phase
	std::atomic<long> fault_gate{0}; // and the fault plan (no running past a fault not yet made)
	std::atomic<long> done{0};
	std::atomic<int> stop{0};
	std::atomic<long> current[MAX_CALLERS]; // ticket in progress, -1 when none
	call_record *records;                   // options::calls of them, shared too
};

// Shared with the caller processes, which are forked after this.
shared_state *make_shared_state(long calls);

// One caller process: takes tickets until they run out or stop is set.
[[noreturn]] void run_caller(shared_state *s, int me, const options &o, int bound_ms);

struct footprint {
	long rss_kib = -1;
	int fds = -1;
	std::vector<std::string> fd_targets;
	std::map<std::string, long> rss_by_mapping; // KiB, for telling growth apart
	// The emulator (qemu-user) that runs the process, when one does: its
	// memory is the emulator's own, translated code included.
	std::string emulator;
};

// VmRSS, the descriptors and RSS per mapping of a running process.
footprint measure(pid_t pid);

} // namespace soak
