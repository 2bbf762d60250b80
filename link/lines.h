// SPDX-License-Identifier: ISC
// Cuts the module's text into lines (at CR or LF, across reads) and tells
// what each completed line is: a final result, a command's echo, or other
// text. Only a line of its own ends an answer: "OK" inside a word or a
// message body ends nothing.
#pragma once

#include <stddef.h>
#include <string.h>

enum class line_kind : unsigned char {
	none,     // no line ended (or an empty one)
	text,     // any other line
	ok,       // "OK" (any case) as the whole line
	error,    // "ERROR", "+CME ERROR…" or "+CMS ERROR…" (any case)
	echo,     // a line starting "AT" (any case) that is not own_command
	own_echo, // exactly own_command
};

struct line_scanner {
	static constexpr size_t HEAD_MAX = 12;
	char head[HEAD_MAX];
	size_t len;
	bool own; // the line so far equals the start of own_command
	const char *own_command;
	size_t own_len;

	void start(const char *command)
	{
		len = 0;
		own = true;
		own_command = command;
		own_len = command ? strlen(command) : 0;
	}

	// Takes one byte; what ended when it is CR or LF.
	line_kind push(char c)
	{
		if (c == '\r' || c == '\n') {
			const line_kind k = kind();
			len = 0;
			own = true;
			return k;
		}
		if (len < HEAD_MAX)
			head[len] = c;
		if (own && (len >= own_len || !own_command || own_command[len] != c))
			own = false;
		len++;
		return line_kind::none;
	}

private:
	static char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
	bool head_is(const char *word, bool whole) const
	{
		const size_t n = strlen(word);
		if (len < n || (whole && len != n))
			return false;
		for (size_t i = 0; i < n; i++)
			if (upper(head[i]) != word[i])
				return false;
		return true;
	}
	line_kind kind() const
	{
		if (len == 0)
			return line_kind::none;
		if (own && own_command && len == own_len)
			return line_kind::own_echo;
		if (head_is("OK", true))
			return line_kind::ok;
		if (head_is("ERROR", true) || head_is("+CME ERROR", false) || head_is("+CMS ERROR", false))
			return line_kind::error;
		if (head_is("AT", false))
			return line_kind::echo;
		return line_kind::text;
	}
};
