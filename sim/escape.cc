// SPDX-License-Identifier: ISC
#include "sim/escape.h"

namespace sim {

namespace {

int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

} // namespace

std::string escape_bytes(std::string_view bytes)
{
	static constexpr char digits[] = "0123456789abcdef";
	std::string out;
	out.reserve(bytes.size());
	for (char ch : bytes) {
		auto c = static_cast<unsigned char>(ch);
		switch (c) {
		case '\\':
			out += "\\\\";
			break;
		case '\r':
			out += "\\r";
			break;
		case '\n':
			out += "\\n";
			break;
		case '\t':
			out += "\\t";
			break;
		default:
			if (c >= 0x20 && c < 0x7f) {
				out += ch;
			} else {
				out += "\\x";
				out += digits[c >> 4];
				out += digits[c & 0xf];
			}
		}
	}
	return out;
}

std::optional<std::string> unescape_text(std::string_view text)
{
	std::string out;
	out.reserve(text.size());
	for (size_t i = 0; i < text.size(); i++) {
		if (text[i] != '\\') {
			out += text[i];
			continue;
		}
		if (++i >= text.size())
			return std::nullopt;
		switch (text[i]) {
		case 'r':
			out += '\r';
			break;
		case 'n':
			out += '\n';
			break;
		case 't':
			out += '\t';
			break;
		case 'e':
			out += '\x1b';
			break;
		case 'z':
			out += '\x1a';
			break;
		case '0':
			out += '\0';
			break;
		case '\\':
			out += '\\';
			break;
		case 'x': {
			if (i + 2 >= text.size())
				return std::nullopt;
			int hi = hex_value(text[i + 1]);
			int lo = hex_value(text[i + 2]);
			if (hi < 0 || lo < 0)
				return std::nullopt;
			out += static_cast<char>(hi << 4 | lo);
			i += 2;
			break;
		}
		default:
			return std::nullopt;
		}
	}
	return out;
}

} // namespace sim
