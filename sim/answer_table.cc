// SPDX-License-Identifier: ISC
#include "sim/answer_table.h"

#include "sim/escape.h"

#include <fstream>
#include <strings.h>

namespace sim {

namespace {

std::string_view trim(std::string_view s)
{
	size_t b = s.find_first_not_of(" \t\r\n");
	if (b == std::string_view::npos)
		return {};
	size_t e = s.find_last_not_of(" \t\r\n");
	return s.substr(b, e - b + 1);
}

bool same_text_nocase(std::string_view a, std::string_view b)
{
	return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool starts_with_nocase(std::string_view text, std::string_view head)
{
	return text.size() >= head.size() && strncasecmp(text.data(), head.data(), head.size()) == 0;
}

answer_entry entry(std::string command, std::string answer, bool two_step = false)
{
	answer_entry e;
	e.prefix = !command.empty() && command.back() == '*';
	if (e.prefix)
		command.pop_back();
	e.command = std::move(command);
	e.answer = std::move(answer);
	e.two_step = two_step;
	return e;
}

} // namespace

std::optional<answer_entry> parse_answer_entry(std::string_view line, std::string *error)
{
	auto fail = [&](const char *why) -> std::optional<answer_entry> {
		if (error)
			*error = why;
		return std::nullopt;
	};
	size_t sep = line.find("=>");
	if (sep == std::string_view::npos)
		return fail("expected COMMAND => ANSWER or COMMAND =>> ANSWER");
	bool two_step = sep + 2 < line.size() && line[sep + 2] == '>';
	std::string_view command = trim(line.substr(0, sep));
	std::string_view answer = trim(line.substr(sep + (two_step ? 3 : 2)));
	if (command.empty() || command == "*")
		return fail("empty command");
	if (command.find('>') != std::string_view::npos)
		return fail("a command cannot hold '>'");
	auto text = unescape_text(answer);
	if (!text)
		return fail("bad escape in answer");
	return entry(std::string(command), std::move(*text), two_step);
}

answer_table answer_table::with_defaults()
{
	answer_table t;
	t.add(entry("AT", "\r\nOK\r\n"));
	t.add(entry("ATI", "\r\nRavel Sim\r\nRSM100\r\nRevision: RSM100_SIM_1.0\r\n\r\nOK\r\n"));
	t.add(entry("AT+CGMI", "\r\nRavel Sim\r\n\r\nOK\r\n"));
	t.add(entry("AT+CGMM", "\r\nRSM100\r\n\r\nOK\r\n"));
	t.add(entry("AT+CGMR", "\r\nRSM100_SIM_1.0\r\n\r\nOK\r\n"));
	t.add(entry("AT+CGSN", "\r\n860000000000001\r\n\r\nOK\r\n"));
	t.add(entry("AT+CSQ", "\r\n+CSQ: 23,99\r\n\r\nOK\r\n"));
	t.add(entry("AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"));
	t.add(entry("AT+CREG?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n"));
	t.add(entry("AT+CEREG?", "\r\n+CEREG: 0,1\r\n\r\nOK\r\n"));
	t.add(entry("AT+COPS?", "\r\n+COPS: 0,0,\"RAVEL SIM\",7\r\n\r\nOK\r\n"));
	t.add(entry("AT+CFUN?", "\r\n+CFUN: 1\r\n\r\nOK\r\n"));
	t.add(entry("AT+CMGF=*", "\r\nOK\r\n"));
	t.add(entry("AT+CMGS=*", "\r\n+CMGS: %n\r\n\r\nOK\r\n", true));
	t.add(entry("AT+CMGW=*", "\r\n+CMGW: %n\r\n\r\nOK\r\n", true));
	return t;
}

void answer_table::add(answer_entry e)
{
	for (auto &old : entries_) {
		if (old.prefix == e.prefix && same_text_nocase(old.command, e.command)) {
			old = std::move(e);
			return;
		}
	}
	entries_.push_back(std::move(e));
}

const answer_entry *answer_table::find(std::string_view command) const
{
	const answer_entry *best = nullptr;
	for (const auto &e : entries_) {
		if (!e.prefix) {
			if (same_text_nocase(command, e.command))
				return &e;
		} else if (starts_with_nocase(command, e.command)) {
			if (!best || e.command.size() > best->command.size())
				best = &e;
		}
	}
	return best;
}

bool answer_table::load_file(const std::string &path, std::string *error)
{
	std::ifstream in(path);
	if (!in) {
		if (error)
			*error = path + ": cannot open";
		return false;
	}
	std::string line;
	int number = 0;
	while (std::getline(in, line)) {
		number++;
		std::string_view text = trim(line);
		if (text.empty() || text[0] == '#')
			continue;
		std::string why;
		auto e = parse_answer_entry(text, &why);
		if (!e) {
			if (error)
				*error = path + ":" + std::to_string(number) + ": " + why;
			return false;
		}
		add(std::move(*e));
	}
	return true;
}

} // namespace sim
