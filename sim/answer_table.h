// SPDX-License-Identifier: ISC
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One canned answer. The command is compared ignoring letter case; a command
// ending in '*' matches every command that starts with the rest. A two-step
// entry answers with the "> " prompt, takes the text up to Ctrl-Z and then
// sends its answer, in which "%n" stands for a running reference number.
struct answer_entry {
	std::string command; // without the trailing '*'
	bool prefix = false;
	bool two_step = false;
	std::string answer; // bytes as sent
};

// Parses "COMMAND => ANSWER" (one-step) or "COMMAND =>> ANSWER" (two-step);
// the answer takes the escapes of unescape_text. Commands never hold '>'
// (the host splits commands there), so the separator cannot be ambiguous.
// On failure returns nothing and says why in *error.
std::optional<answer_entry> parse_answer_entry(std::string_view line, std::string *error);

class answer_table {
public:
	// The module's usual answers: AT, ATI, AT+CSQ, AT+CMGS and a few more.
	static answer_table with_defaults();

	// A later entry for the same command replaces the earlier one.
	void add(answer_entry entry);
	// Exact entries win over prefix entries; the longest prefix wins.
	const answer_entry *find(std::string_view command) const;
	// Lines of "COMMAND => ANSWER"; blank lines and lines starting with '#'
	// are skipped. Returns false with "file:line: reason" in *error.
	bool load_file(const std::string &path, std::string *error);
	size_t size() const { return entries_.size(); }

private:
	std::vector<answer_entry> entries_;
};

} // namespace sim
