// SPDX-License-Identifier: ISC
#include "cli/lines.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/json.h"

namespace {

// Reads all of input through a pipe; each line as its text, other results as
// "<too long>", "<nul>".
std::vector<std::string> lines_of(const std::string &input)
{
	int fds[2];
	EXPECT_EQ(pipe(fds), 0);
	std::string copy = input;
	// The pipe holds 64 KiB: tests stay below it and write everything first.
	EXPECT_EQ(write(fds[1], copy.data(), copy.size()), static_cast<ssize_t>(copy.size()));
	close(fds[1]);
	static line_reader r;
	line_reader_init(r, fds[0]);
	std::vector<std::string> out;
	for (;;) {
		char *line = nullptr;
		line_result got = read_line(r, &line);
		if (got == LINE_EOF)
			break;
		out.push_back(got == LINE_OK         ? std::string(line)
			      : got == LINE_TOO_LONG ? "<too long>"
						     : "<nul>");
	}
	close(fds[0]);
	return out;
}

TEST(cli_lines, splits_at_lf_drops_cr_and_keeps_a_last_line_without_lf)
{
	using v = std::vector<std::string>;
	EXPECT_EQ(lines_of("AT\r\nATI\n\nAT+CSQ"), (v{"AT", "ATI", "", "AT+CSQ"}));
	EXPECT_EQ(lines_of(""), v{});
	EXPECT_EQ(lines_of(std::string("AT\0X\nATI\n", 9)), (v{"<nul>", "ATI"}));
}

TEST(cli_lines, a_line_over_the_limit_is_skipped_whole_and_reported_once)
{
	using v = std::vector<std::string>;
	std::string at_limit(LINE_LIMIT, 'A'), over(LINE_LIMIT + 1, 'B'), far_over(3 * LINE_LIMIT, 'C');
	EXPECT_EQ(lines_of(at_limit + "\nAT\n"), (v{at_limit, "AT"}));
	EXPECT_EQ(lines_of(over + "\nAT\n" + far_over + "\nATI"),
		  (v{"<too long>", "AT", "<too long>", "ATI"}));
	EXPECT_EQ(lines_of("AT\n" + far_over), (v{"AT", "<too long>"}));
}

TEST(cli_json, strings_are_escaped_as_the_bus_tools_print_them)
{
	char *buf = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&buf, &len);
	ASSERT_NE(f, nullptr);
	put_json_string(f, "\r\n+CMGS: \"1\"\\\t\b\x01\x1b\x7f\xc3\xa9/");
	fclose(f);
	EXPECT_EQ(std::string(buf, len), R"("\r\n+CMGS: \"1\"\\\t\b\u0001\u001b)"
					 "\x7f\xc3\xa9/\"");
	free(buf);
}

} // namespace
