// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/text.h"

namespace {

TEST(bounded_copy, cuts_to_buffer_and_terminates)
{
	std::string src(100, 'x');
	for (size_t i = 0; i < src.size(); i++)
		src[i] = static_cast<char>('a' + i % 26);

	char dst[64 + 8];
	memset(dst, '#', sizeof(dst));
	ASSERT_EQ(bounded_copy(dst, 64, src.c_str(), src.size()), dst);
	EXPECT_EQ(std::string(dst), src.substr(0, 63));
	for (size_t i = 64; i < sizeof(dst); i++)
		EXPECT_EQ(dst[i], '#') << "written past the buffer at " << i;
}

TEST(bounded_copy, short_source_is_kept_whole)
{
	char dst[64];
	memset(dst, '#', sizeof(dst));
	ASSERT_EQ(bounded_copy(dst, 64, "0123456789", 10), dst);
	EXPECT_STREQ(dst, "0123456789");
	EXPECT_EQ(dst[11], '#');

	// Exactly size - 1 bytes fit; size bytes are cut by one.
	char small[4];
	EXPECT_STREQ(bounded_copy(small, 4, "abc", 3), "abc");
	EXPECT_STREQ(bounded_copy(small, 4, "abcd", 4), "abc");
}

TEST(bounded_copy, prefix_length_takes_only_that_part)
{
	char dst[16];
	memset(dst, '#', sizeof(dst));
	ASSERT_EQ(bounded_copy(dst, sizeof(dst), "AT+CMGS=1>text", 9), dst);
	EXPECT_STREQ(dst, "AT+CMGS=1");
}

TEST(bounded_copy, length_beyond_source_stops_at_its_end)
{
	char dst[16];
	memset(dst, '#', sizeof(dst));
	ASSERT_EQ(bounded_copy(dst, sizeof(dst), "ab", 10), dst);
	EXPECT_STREQ(dst, "ab");
	for (int i = 2; i <= 10; i++)
		EXPECT_EQ(dst[i], '\0');
	EXPECT_EQ(dst[11], '#');
}

TEST(bounded_copy, refusals_leave_destination_untouched)
{
	char dst[8];
	memset(dst, '#', sizeof(dst));
	EXPECT_EQ(bounded_copy(dst, 8, "", 0), nullptr);
	EXPECT_EQ(bounded_copy(dst, 8, "abc", 0), nullptr);
	EXPECT_EQ(bounded_copy(nullptr, 8, "abc", 3), nullptr);
	EXPECT_EQ(bounded_copy(dst, 8, nullptr, 3), nullptr);
	EXPECT_EQ(bounded_copy(dst, 0, "abc", 3), nullptr);
	EXPECT_EQ(bounded_copy(dst, -5, "abc", 3), nullptr);
	EXPECT_EQ(bounded_copy(dst, 1, "abc", 3), nullptr);
	for (char c : dst)
		EXPECT_EQ(c, '#');
}

TEST(join_texts, joins_in_order_and_skips_null)
{
	const char *none = nullptr;
	char *path = join_texts(5, "ravel_tools", ".", "cpe", ".", "server");
	ASSERT_NE(path, nullptr);
	EXPECT_STREQ(path, "ravel_tools.cpe.server");
	free(path);

	char *skipped = join_texts(4, none, "a", none, "b");
	ASSERT_NE(skipped, nullptr);
	EXPECT_STREQ(skipped, "ab");
	free(skipped);

	char *empty = join_texts(2, none, "");
	ASSERT_NE(empty, nullptr);
	EXPECT_STREQ(empty, "");
	free(empty);

	char *nothing = join_texts(0);
	ASSERT_NE(nothing, nullptr);
	EXPECT_STREQ(nothing, "");
	free(nothing);

	EXPECT_EQ(join_texts(-1), nullptr);
}

TEST(join_texts, long_parts)
{
	std::string a(5000, 'a'), b(7000, 'b');
	char *joined = join_texts(2, a.c_str(), b.c_str());
	ASSERT_NE(joined, nullptr);
	EXPECT_EQ(std::string(joined), a + b);
	free(joined);
}

} // namespace
