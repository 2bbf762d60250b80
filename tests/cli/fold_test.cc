// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cli/fold.h"

namespace {

std::string fold(std::string s)
{
	fold_lf_pairs(s.data());
	return s.c_str();
}

std::string squeeze(std::string s)
{
	squeeze_crlf_pairs(s.data());
	return s.c_str();
}

// The rule as stated: drop the first two bytes of the first "\r\n\r\n" until none is left.
std::string squeeze_reference(std::string s)
{
	for (size_t p; (p = s.find("\r\n\r\n")) != std::string::npos;)
		s.erase(p, 2);
	return s;
}

TEST(FoldLfPairs, FoldsPairsFromTheLeft)
{
	EXPECT_EQ(fold("A\n\nB"), "A\rB");
	EXPECT_EQ(fold("\n\n\n"), "\r\n");
	EXPECT_EQ(fold("\n\n\n\n"), "\r\r");
	EXPECT_EQ(fold("\r\n\r\n"), "\r\n\r\n");
	EXPECT_EQ(fold("A\nB\n"), "A\nB\n");
	EXPECT_EQ(fold(""), "");
}

TEST(SqueezeCrlfPairs, RunsOfPairsBecomeOne)
{
	EXPECT_EQ(squeeze("OK\r\n\r\nAT\r\n"), "OK\r\nAT\r\n");
	EXPECT_EQ(squeeze("\r\n\r\n\r\n\r\n+CSQ: 20\r\n\r\nOK\r\n"), "\r\n+CSQ: 20\r\nOK\r\n");
	EXPECT_EQ(squeeze("\r\r\n\r\n\n"), "\r\r\n\n");
	EXPECT_EQ(squeeze("\n\r\n\r"), "\n\r\n\r");
	EXPECT_EQ(squeeze(""), "");
}

TEST(SqueezeCrlfPairs, MatchesTheRepeatedRemovalOnRandomTexts)
{
	std::mt19937 rng(7);
	const char alphabet[] = {'\r', '\n', 'A'};
	for (int round = 0; round < 5000; ++round) {
		std::string s(rng() % 24, 'A');
		for (char &c : s)
			c = alphabet[rng() % 3];
		ASSERT_EQ(squeeze(s), squeeze_reference(s))
			<< "input of " << s.size() << " bytes, round " << round;
	}
}

TEST(AnswerCleanUp, ModuleAnswerWithEmptyLines)
{
	// What a module typically sends back: echo, blank lines, result lines.
	std::string s = "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n\n\nDONE";
	fold_lf_pairs(s.data());
	squeeze_crlf_pairs(s.data());
	EXPECT_STREQ(s.c_str(), "AT+CSQ\r\r\n+CSQ: 20,99\r\nOK\r\r\nDONE");
}

} // namespace
