// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "cli/timeout.h"

namespace {

int32_t ms(const char *cmd, int32_t wait = 0, int32_t block = 0)
{
	return compute_call_timeout(cmd, wait, block).ms;
}

TEST(CallTimeout, CountsNonEmptyCommandsBeforeABar)
{
	EXPECT_EQ(ms("A"), 3100);
	EXPECT_EQ(ms("A|B"), 6200);
	EXPECT_EQ(ms("A||B"), 6200);
	EXPECT_EQ(ms("|B"), 3100);
	EXPECT_EQ(ms("A|"), 6200);
	EXPECT_EQ(ms("A|B|C"), 9300);
}

TEST(CallTimeout, WaitAboveTheBaseReplacesIt)
{
	EXPECT_EQ(ms("A", 5000, 2), 7200);
	EXPECT_EQ(ms("A|B", 6200), 6200);
	EXPECT_EQ(ms("A|B", 6201), 6401);
	EXPECT_EQ(ms("A", 3101), 3301);
	EXPECT_EQ(ms("A", -5), 3100);
}

TEST(CallTimeout, BlockSecondsAddAndSubtract)
{
	EXPECT_EQ(ms("A", 0, 3), 6100);
	EXPECT_EQ(ms("A", 0, -1), 2100);
}

TEST(CallTimeout, NeverZeroNorNegativeNorWrapped)
{
	// 0 would mean "no time-out" to the bus library.
	EXPECT_EQ(ms("A", 0, -3), 100);
	EXPECT_EQ(ms("A", 0, -31), 1);
	EXPECT_EQ(ms("A", 0, INT_MIN), 1);
	EXPECT_EQ(ms("A", 900, -4), 1);
	EXPECT_EQ(ms("A", INT_MAX, 0), INT_MAX);
	EXPECT_EQ(ms("A", INT_MAX, INT_MAX), INT_MAX);
	EXPECT_EQ(ms("A", 0, INT_MAX), INT_MAX);
}

TEST(CallTimeout, SegmentLimitBeforeABar)
{
	std::string s64(64, 'A'), s65(65, 'A');
	auto at64 = compute_call_timeout((s64 + "|B").c_str(), 0, 0);
	EXPECT_FALSE(at64.long_segment);
	EXPECT_EQ(at64.segments, 1);
	EXPECT_EQ(at64.ms, 6200);

	EXPECT_TRUE(compute_call_timeout((s65 + "|B").c_str(), 0, 0).long_segment);
	EXPECT_TRUE(compute_call_timeout(("A|" + s65 + "|B").c_str(), 0, 0).long_segment);

	// The text after the last bar is not limited.
	std::string tail(5000, 'A');
	auto last = compute_call_timeout(("A|" + tail).c_str(), 0, 0);
	EXPECT_FALSE(last.long_segment);
	EXPECT_EQ(last.ms, 6200);
	EXPECT_EQ(compute_call_timeout(tail.c_str(), 0, 2).ms, 5100);
}

} // namespace
