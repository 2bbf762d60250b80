// SPDX-License-Identifier: ISC
#pragma once

#include "sim/answer_table.h"
#include "sim/line_reader.h"

#include <optional>
#include <string>
#include <string_view>

namespace sim {

// The module's AT interpreter: commands in, answer text out. It knows nothing
// of sockets, framing or faults.
struct modem_step {
	host_input input;
	std::string echo;   // what the module repeats of the input, if echo is on
	std::string answer; // empty when nothing is to be sent
	bool final = true;  // false when the answer is a "> " prompt
};

class modem {
public:
	explicit modem(answer_table table) : table_(std::move(table)) {}

	void feed(std::string_view bytes) { reader_.feed(bytes); }
	std::optional<modem_step> next();
	// A new connection: half-typed input and a pending two-step are gone.
	void reset();

	answer_table &table() { return table_; }
	void set_echo(bool on) { echo_ = on; }
	bool echo() const { return echo_; }
	void set_default_answer(std::string text) { default_answer_ = std::move(text); }
	const std::string &default_answer() const { return default_answer_; }
	bool awaiting_text() const { return awaiting_; }
	// Filler bytes in front of the "+ECHO:" line of AT+ECHO answers.
	void set_echo_pad(size_t bytes) { echo_pad_ = bytes; }
	size_t echo_pad() const { return echo_pad_; }

private:
	std::string answer_line(const host_input &in);
	std::string answer_text(const host_input &in);

	answer_table table_;
	line_reader reader_;
	bool echo_ = false;
	std::string default_answer_ = "\r\nERROR\r\n";
	bool awaiting_ = false;      // a two-step command waits for its text
	std::string pending_answer_; // copied: the table may change meanwhile
	unsigned next_reference_ = 1;
	size_t echo_pad_ = 0;
};

} // namespace sim
