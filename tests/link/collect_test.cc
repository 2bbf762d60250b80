// SPDX-License-Identifier: ISC
// The collection rules, piece by piece: when an answer ends, how it grows
// and where it is cut, and the log lines each piece makes (with -d).
#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "link/chat.h"
#include "link/collect.h"

namespace {

std::vector<std::string> lines;

void record(int level, const char *fmt, ...)
{
	char text[256];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(text, sizeof(text), fmt, ap);
	va_end(ap);
	lines.push_back(std::to_string(level) + " " + text);
}

struct row {
	const char *name;
	bool match;
	const char *expect;
	std::vector<std::string> pieces;
	int done_at; // index of the piece that ends the answer; -1: none does
	size_t len;
	int code;
	std::vector<std::string> want; // log lines, growth lines left out when `growths` is set
	int growths = 0;
	const char *own = nullptr; // the command sent, for the echo rule
};

const std::string big(CHAT_ANSWER_MAX - 1, 'x'); // fills the answer to its bound

TEST(collector, table)
{
	const std::string k1023(1023, 'a');
	const std::vector<row> rows = {
		{"ok line any case", true, nullptr, {"AT\r\r\n+X: 1\r\nok\r"}, 0, 15, CHAT_OK, {"7 OK"}},
		{"ok inside a word or a body ends nothing",
		 true,
		 nullptr,
		 {"\r\nPlease look at this\r\nOK then ERROR: none\r\n"},
		 -1,
		 44,
		 CHAT_OK,
		 {}},
		{"ok split across pieces", true, nullptr, {"\r\nO", "K\r\n"}, 1, 6, CHAT_OK, {"7 OK"}},
		{"error split", true, nullptr, {"+CME ERR", "or: 10\n"}, 1, 15, CHAT_OK, {"7 ERROR"}},
		{"another command's answer is taken out",
		 true,
		 nullptr,
		 {"AT+X\r\r\n+X: 1\r\n\r\nOK\r", "\nATI\r\r\nmodel\r\n\r\nOK\r\n"},
		 1,
		 19,
		 CHAT_OK,
		 {"4 late answer of another command dropped, 19 bytes", "7 OK"},
		 0,
		 "ATI"},
		{"a late answer cut short ends at our echo",
		 true,
		 nullptr,
		 {"AT+X\r\r\n+X: 1\r\nATI\r\r\nOK\r\n"},
		 0,
		 10,
		 CHAT_OK,
		 {"4 late answer of another command dropped, 14 bytes", "7 OK"},
		 0,
		 "ATI"},
		{"expected text before ok",
		 true,
		 ">",
		 {"\r\nOK\r\n> "},
		 0,
		 8,
		 CHAT_OK,
		 {"7 OK match expect[>]"}},
		{"expected text is case-exact", true, "Ready", {"READY"}, -1, 5, CHAT_OK, {}},
		{"zero byte hides nothing",
		 true,
		 nullptr,
		 {std::string("a\0b", 3), std::string("\0\r\nOK\r\n", 7)},
		 1,
		 10,
		 CHAT_OK,
		 {"7 OK"}},
		{"no end yet", true, nullptr, {"+CSQ: 23", ",99\r\n"}, -1, 13, CHAT_OK, {}},
		{"pending text never ends", false, nullptr, {"OK", "ERROR"}, -1, 7, CHAT_OK, {}},
		{"first 1 KiB step",
		 true,
		 nullptr,
		 {k1023, "b"},
		 -1,
		 1024,
		 CHAT_OK,
		 {"7 base_uint[1023]1023,total 2048", "7 at memory full,renew[1]"}},
		{"growth counts text up to a zero byte",
		 true,
		 nullptr,
		 {std::string("ab\0", 3) + k1023.substr(3), "c"},
		 -1,
		 1024,
		 CHAT_OK,
		 {"7 base_uint[1023]2,total 2048", "7 at memory full,renew[1]"}},
		{"cut at the bound, end seen in what is dropped",
		 true,
		 nullptr,
		 {big, "yy", "\nO", "K\n"},
		 3,
		 CHAT_ANSWER_MAX - 1,
		 CHAT_NO_ANSWER,
		 {"4 at answer cut at 1048575 bytes, the rest is dropped", "7 OK"},
		 1023},
		{"cut inside one piece",
		 true,
		 nullptr,
		 {big.substr(10) + std::string(20, 'z') + "\r\nOK\r\n"},
		 0,
		 CHAT_ANSWER_MAX - 1,
		 CHAT_NO_ANSWER,
		 {"4 at answer cut at 1048575 bytes, the rest is dropped", "7 OK"},
		 1023},
		{"end in the piece that fills it is not a cut",
		 true,
		 nullptr,
		 {big.substr(4) + "\nOK\n"},
		 0,
		 CHAT_ANSWER_MAX - 1,
		 CHAT_OK,
		 {"7 OK"},
		 1023},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		collector c;
		ASSERT_TRUE(c.start(r.match, r.expect, r.own));
		lines.clear();
		int done_at = -1;
		for (size_t i = 0; i < r.pieces.size(); i++) {
			const collect_step step = c.add(r.pieces[i].data(), r.pieces[i].size());
			collect_write(c, step, true, record);
			if (step.done && done_at < 0)
				done_at = static_cast<int>(i);
		}
		if (r.growths) {
			EXPECT_EQ(c.growths, r.growths);
			std::erase_if(lines, [](const std::string &l) {
				return l.starts_with("7 base_uint") || l.starts_with("7 at memory full");
			});
		}
		EXPECT_EQ(done_at, r.done_at);
		EXPECT_EQ(c.len, r.len);
		EXPECT_EQ(c.code(), r.code);
		EXPECT_EQ(lines, r.want);
		const std::string all = [&] {
			std::string s;
			for (const auto &p : r.pieces)
				s += p;
			return s;
		}();
		if (c.late_answers == 0) {
			EXPECT_EQ(std::string(c.data.get(), c.len), all.substr(0, c.len));
		}
		EXPECT_EQ(c.data.get()[c.len], '\0');
	}
}

TEST(collector, an_owed_final_result_before_our_echo_is_not_ours)
{
	// The heartbeat's echo was read before our command went out; its "OK"
	// comes after. With nothing owed the same text would be ours.
	const std::string text = "\r\nOK\r\nATI\r\r\nmodel\r\n\r\nOK\r\n";
	for (int owed : {1, 0}) {
		collector c;
		ASSERT_TRUE(c.start(true, nullptr, "ATI"));
		c.echo_expected = true;
		c.owed = owed;
		EXPECT_TRUE(c.add(text.data(), text.size()).done);
		EXPECT_EQ(std::string(c.data.get(), c.len), owed ? text.substr(6) : text) << owed;
		EXPECT_EQ(c.late_answers, owed);
	}
}

} // namespace
