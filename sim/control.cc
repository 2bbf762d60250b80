// SPDX-License-Identifier: ISC
#include "sim/control.h"

#include "sim/escape.h"
#include "sim/simulator.h"

#include <cerrno>
#include <cstdlib>

namespace sim {

namespace {

// Splits off the first word; the rest keeps its inner spacing.
std::string_view take_word(std::string_view *rest)
{
	size_t b = rest->find_first_not_of(' ');
	if (b == std::string_view::npos) {
		*rest = {};
		return {};
	}
	rest->remove_prefix(b);
	size_t e = rest->find(' ');
	std::string_view word = rest->substr(0, e);
	rest->remove_prefix(e == std::string_view::npos ? rest->size() : e);
	size_t next = rest->find_first_not_of(' ');
	rest->remove_prefix(next == std::string_view::npos ? rest->size() : next);
	return word;
}

bool to_long(std::string_view word, long lo, long hi, long *out, int base = 10)
{
	if (word.empty() || word.size() > 20)
		return false;
	std::string text(word);
	errno = 0;
	char *end = nullptr;
	long v = strtol(text.c_str(), &end, base);
	if (errno || *end || v < lo || v > hi)
		return false;
	*out = v;
	return true;
}

std::optional<bool> on_off(std::string_view word)
{
	if (word == "on" || word == "1")
		return true;
	if (word == "off" || word == "0")
		return false;
	return std::nullopt;
}

std::string result(bool ok, const std::string &why)
{
	return ok ? "ok" : "error " + why;
}

constexpr long MAX_MS = 3600000;

} // namespace

std::string control_execute(simulator &sim, std::string_view line)
{
	std::string_view rest = line;
	std::string_view cmd = take_word(&rest);
	std::string why;

	if (cmd.empty())
		return "error empty command";
	if (cmd == "status")
		return "ok " + sim.status();
	if (cmd == "quit") {
		sim.quit();
		return "ok bye";
	}
	if (cmd == "urc" || cmd == "scan" || cmd == "raw") {
		auto text = unescape_text(rest);
		if (!text)
			return "error bad escape";
		if (cmd == "scan")
			return result(sim.send_now("\r\nQSCAN: " + *text + "\r\n", &why), why);
		if (cmd == "raw")
			return result(sim.send_raw(*text, &why), why);
		return result(sim.send_now(*text, &why), why);
	}
	if (cmd == "frame") {
		long type;
		if (!to_long(take_word(&rest), 0, 255, &type, 16))
			return "error usage: frame TYPE(hex) TEXT";
		auto text = unescape_text(rest);
		if (!text)
			return "error bad escape";
		return result(sim.send_frame(static_cast<uint8_t>(type), *text, &why), why);
	}
	if (cmd == "ready")
		return result(sim.send_ready(&why), why);
	if (cmd == "answer") {
		auto entry = parse_answer_entry(rest, &why);
		if (!entry)
			return "error " + why;
		sim.the_modem().table().add(std::move(*entry));
		return "ok";
	}
	if (cmd == "default") {
		auto text = unescape_text(rest);
		if (!text)
			return "error bad escape";
		sim.the_modem().set_default_answer(std::move(*text));
		return "ok";
	}
	if (cmd == "echo" || cmd == "echo-ahead" || cmd == "silence" || cmd == "refuse") {
		auto on = on_off(take_word(&rest));
		if (!on)
			return "error usage: " + std::string(cmd) + " on|off";
		if (cmd == "echo")
			sim.the_modem().set_echo(*on);
		else if (cmd == "echo-ahead")
			sim.set_echo_ahead(*on);
		else if (cmd == "silence")
			sim.set_silence(*on);
		else
			return result(sim.refuse(*on, &why), why);
		return "ok";
	}
	if (cmd == "delay") {
		long ms, jitter = 0;
		std::string_view jitter_word;
		if (!to_long(take_word(&rest), 0, MAX_MS, &ms) ||
		    (!(jitter_word = take_word(&rest)).empty() && !to_long(jitter_word, 0, MAX_MS, &jitter)))
			return "error usage: delay MS [JITTER]";
		sim.set_answer_delay(static_cast<int>(ms));
		sim.conditions().jitter_ms = static_cast<int>(jitter);
		return "ok";
	}
	if (cmd == "loss" || cmd == "duplicate") {
		long pct;
		if (!to_long(take_word(&rest), 0, 100, &pct))
			return "error usage: " + std::string(cmd) + " PCT";
		(cmd == "loss" ? sim.conditions().drop_pct : sim.conditions().duplicate_pct) =
			static_cast<int>(pct);
		return "ok";
	}
	if (cmd == "reorder") {
		long pct, hold = sim.conditions().reorder_hold_ms;
		std::string_view hold_word;
		if (!to_long(take_word(&rest), 0, 100, &pct) ||
		    (!(hold_word = take_word(&rest)).empty() && !to_long(hold_word, 0, MAX_MS, &hold)))
			return "error usage: reorder PCT [HOLD]";
		sim.conditions().reorder_pct = static_cast<int>(pct);
		sim.conditions().reorder_hold_ms = static_cast<int>(hold);
		return "ok";
	}
	if (cmd == "pad") {
		long bytes;
		if (!to_long(take_word(&rest), 0, 16 * 1024 * 1024, &bytes))
			return "error usage: pad BYTES";
		sim.the_modem().set_echo_pad(static_cast<size_t>(bytes));
		return "ok";
	}
	if (cmd == "trickle") {
		armed_fault f;
		f.kind = armed_fault::TRICKLE;
		long ms, count = 0;
		std::string_view count_word;
		if (!to_long(take_word(&rest), 1, MAX_MS, &ms) ||
		    (!(count_word = take_word(&rest)).empty() && !to_long(count_word, 0, 1000000, &count)))
			return "error usage: trickle MS [COUNT]";
		f.pause_ms = static_cast<int>(ms);
		f.count = count;
		sim.arm(f);
		return "ok";
	}
	if (cmd == "split") {
		armed_fault f;
		f.kind = armed_fault::SPLIT;
		long ms;
		if (!to_long(take_word(&rest), 0, MAX_MS, &ms))
			return "error usage: split MS [OFFSET] [wire|frames]";
		f.pause_ms = static_cast<int>(ms);
		for (std::string_view w = take_word(&rest); !w.empty(); w = take_word(&rest)) {
			long offset;
			if (w == "frames")
				f.split_frames = true;
			else if (w == "wire")
				f.split_frames = false;
			else if (to_long(w, 1, 100000000, &offset))
				f.offset = offset;
			else
				return "error usage: split MS [OFFSET] [wire|frames]";
		}
		sim.arm(f);
		return "ok";
	}
	if (cmd == "huge" || cmd == "close-after") {
		armed_fault f;
		f.kind = cmd == "huge" ? armed_fault::HUGE : armed_fault::CLOSE_AFTER;
		long bytes = cmd == "huge" ? 102400 : 0;
		std::string_view w = take_word(&rest);
		if (!w.empty() && !to_long(w, cmd == "huge" ? 1 : 0, 16 * 1024 * 1024, &bytes))
			return "error usage: " + std::string(cmd) + " [BYTES]";
		f.bytes = static_cast<size_t>(bytes);
		sim.arm(f);
		return "ok";
	}
	if (cmd == "garbage") {
		long count = 1;
		std::string_view w = take_word(&rest);
		if (!w.empty() && !to_long(w, 1, 1000, &count))
			return "error usage: garbage [COUNT]";
		return result(sim.send_garbage(static_cast<unsigned>(count), &why), why);
	}
	if (cmd == "drop")
		return result(sim.drop(&why), why);
	if (cmd == "clear") {
		sim.disarm();
		return "ok";
	}
	return "error unknown command: " + escape_bytes(cmd);
}

} // namespace sim
