// SPDX-License-Identifier: ISC
#include "sim/modem.h"

#include "sim/faults.h"

#include <strings.h>

namespace sim {

namespace {

constexpr std::string_view OK_ANSWER = "\r\nOK\r\n";
constexpr std::string_view ERROR_ANSWER = "\r\nERROR\r\n";
constexpr std::string_view PROMPT = "\r\n> ";

bool is_command(std::string_view text, std::string_view name)
{
	return text.size() == name.size() && strncasecmp(text.data(), name.data(), name.size()) == 0;
}

std::string with_reference(std::string_view answer, unsigned reference)
{
	std::string out;
	for (size_t i = 0; i < answer.size(); i++) {
		if (answer[i] == '%' && i + 1 < answer.size() && answer[i + 1] == 'n') {
			out += std::to_string(reference);
			i++;
		} else if (answer[i] == '%' && i + 1 < answer.size() && answer[i + 1] == '%') {
			out += '%';
			i++;
		} else {
			out += answer[i];
		}
	}
	return out;
}

constexpr std::string_view ECHO_COMMAND = "AT+ECHO";

// AT+ECHO<tag>: the answer names its command, so a reader can tell whose
// answer it holds.
std::optional<std::string> echo_answer(std::string_view cmd, size_t pad)
{
	if (cmd.size() <= ECHO_COMMAND.size() ||
	    strncasecmp(cmd.data(), ECHO_COMMAND.data(), ECHO_COMMAND.size()) != 0)
		return std::nullopt;
	std::string out = "\r\n";
	if (pad) {
		out += huge_text(pad);
		if (out.back() != '\n')
			out += "\r\n";
	}
	out += "+ECHO: ";
	out += cmd.substr(ECHO_COMMAND.size());
	out += "\r\nOK\r\n";
	return out;
}

} // namespace

void modem::reset()
{
	reader_.clear();
	awaiting_ = false;
	pending_answer_.clear();
}

std::optional<modem_step> modem::next()
{
	auto in = reader_.next();
	if (!in)
		return std::nullopt;
	modem_step step;
	step.input = std::move(*in);
	// The echo reflects the setting before the command (ATE0 is still echoed).
	if (echo_ && step.input.kind != host_input::OVERLONG)
		step.echo = step.input.kind == host_input::LINE ? step.input.raw : step.input.body;
	switch (step.input.kind) {
	case host_input::LINE:
		step.answer = answer_line(step.input);
		step.final = !awaiting_;
		break;
	case host_input::TEXT:
	case host_input::CANCELLED:
		step.answer = answer_text(step.input);
		break;
	case host_input::STRAY:
	case host_input::OVERLONG:
		awaiting_ = false;
		step.answer = ERROR_ANSWER;
		break;
	}
	reader_.set_text_mode(awaiting_);
	return step;
}

std::string modem::answer_line(const host_input &in)
{
	std::string_view cmd = in.body;
	// Like a module, stay quiet on empty lines.
	if (cmd.empty())
		return {};
	if (is_command(cmd, "ATE0") || is_command(cmd, "ATE1")) {
		echo_ = cmd.back() == '1';
		return std::string(OK_ANSWER);
	}
	const answer_entry *e = table_.find(cmd);
	if (!e) {
		if (auto echoed = echo_answer(cmd, echo_pad_))
			return *echoed;
		return default_answer_;
	}
	if (e->two_step) {
		awaiting_ = true;
		pending_answer_ = e->answer;
		return std::string(PROMPT);
	}
	return e->answer;
}

std::string modem::answer_text(const host_input &in)
{
	awaiting_ = false;
	if (in.kind == host_input::CANCELLED)
		return std::string(OK_ANSWER);
	return with_reference(pending_answer_, next_reference_++);
}

} // namespace sim
