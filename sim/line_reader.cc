// SPDX-License-Identifier: ISC
#include "sim/line_reader.h"

namespace sim {

void line_reader::clear()
{
	buf_.clear();
	text_mode_ = false;
	skip_lf_ = false;
	discarding_ = false;
}

std::optional<host_input> line_reader::next()
{
	return text_mode_ ? next_text() : next_line();
}

std::optional<host_input> line_reader::next_line()
{
	for (;;) {
		if (skip_lf_ && !buf_.empty()) {
			skip_lf_ = false;
			if (buf_[0] == '\n')
				buf_.erase(0, 1);
		}
		size_t end = buf_.find_first_of("\r\n\x1a\x1b");
		if (end == std::string::npos) {
			if (buf_.size() > MAX_LINE) {
				// Keep nothing of a line nobody can use; report it once.
				buf_.clear();
				if (!discarding_) {
					discarding_ = true;
					return host_input{host_input::OVERLONG, {}, {}};
				}
			}
			return std::nullopt;
		}
		host_input in;
		in.kind = buf_[end] == '\r' || buf_[end] == '\n' ? host_input::LINE : host_input::STRAY;
		in.body = buf_.substr(0, end);
		in.raw = buf_.substr(0, end + 1);
		skip_lf_ = buf_[end] == '\r';
		buf_.erase(0, end + 1);
		if (discarding_) {
			discarding_ = false;
			continue;
		}
		if (in.body.size() > MAX_LINE)
			return host_input{host_input::OVERLONG, {}, {}};
		return in;
	}
}

std::optional<host_input> line_reader::next_text()
{
	size_t end = buf_.find_first_of("\x1a\x1b");
	if (end == std::string::npos) {
		if (buf_.size() > MAX_TEXT) {
			buf_.clear();
			text_mode_ = false;
			return host_input{host_input::OVERLONG, {}, {}};
		}
		return std::nullopt;
	}
	host_input in;
	in.kind = buf_[end] == '\x1a' ? host_input::TEXT : host_input::CANCELLED;
	in.body = buf_.substr(0, end);
	in.raw = buf_.substr(0, end + 1);
	buf_.erase(0, end + 1);
	skip_lf_ = false;
	return in;
}

} // namespace sim
