// SPDX-License-Identifier: ISC
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace sim {

// Log of what the module received, one line per entry, written through at
// once so that a test can read it while the simulator runs:
//   <monotonic seconds>.<microseconds> cmd <escaped line with its ending>
//   <monotonic seconds>.<microseconds> text <escaped text with its Ctrl-Z/ESC>
//   <monotonic seconds>.<microseconds> frame <type hex> <escaped payload>
//   <monotonic seconds>.<microseconds> event <what happened>
// The clock is CLOCK_MONOTONIC, the one a test reads with clock_gettime.
class recv_log {
public:
	recv_log() = default;
	~recv_log();
	recv_log(const recv_log &) = delete;
	recv_log &operator=(const recv_log &) = delete;

	// An empty path keeps the log off. Returns false when the file cannot be
	// opened.
	bool open(const std::string &path);
	void command(std::string_view raw);
	void text(std::string_view raw);
	void frame(unsigned type, std::string_view payload);
	void event(std::string_view what);

private:
	void write_line(std::string_view kind, std::string_view rest);

	FILE *file_ = nullptr;
};

// CLOCK_MONOTONIC in microseconds.
long long monotonic_us();

} // namespace sim
