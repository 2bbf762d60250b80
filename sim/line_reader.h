// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// What the host typed, cut into commands. In line mode a command ends with
// CR or LF (an LF right after a CR belongs to that CR). In text mode (after a
// "> " prompt) the text runs up to Ctrl-Z, or ESC, which cancels it. A Ctrl-Z
// or ESC in line mode ends stray text that no prompt asked for.
struct host_input {
	enum kind_t { LINE, TEXT, CANCELLED, STRAY, OVERLONG };
	kind_t kind = LINE;
	std::string body; // without its ending
	std::string raw;  // as received, ending included (what an echo repeats)
};

class line_reader {
public:
	static constexpr size_t MAX_LINE = 4096;
	static constexpr size_t MAX_TEXT = 65536;

	void feed(std::string_view bytes) { buf_.append(bytes); }
	// Next complete input, judged in the mode set when it is taken: the
	// caller switches modes between calls as its answers demand.
	std::optional<host_input> next();
	void set_text_mode(bool on) { text_mode_ = on; }
	bool text_mode() const { return text_mode_; }
	void clear();

private:
	std::optional<host_input> next_line();
	std::optional<host_input> next_text();

	std::string buf_;
	bool text_mode_ = false;
	bool skip_lf_ = false;    // the previous line ended with CR
	bool discarding_ = false; // inside an overlong input, up to its end
};

} // namespace sim
