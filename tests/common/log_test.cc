// SPDX-License-Identifier: ISC
// log_message goes to the system log; the sandbox's /dev/log is the harness's.
#include <gtest/gtest.h>

#include <syslog.h>
#include <unistd.h>

#include "common/log.h"
#include "harness.h"

namespace {

class logging : public harness::sandbox_test {
protected:
	void SetUp() override
	{
		harness::sandbox_test::SetUp();
		if (IsSkipped() || HasFatalFailure())
			return;
		openlog("log_test", LOG_PID, LOG_DAEMON);
		saved_ = log_threshold;
	}
	void TearDown() override
	{
		log_threshold = saved_;
		harness::sandbox_test::TearDown();
	}

	// Logs a marker at level 0 and waits for it, so everything sent before it
	// has been received too.
	void sync()
	{
		int threshold = log_threshold;
		log_threshold = 0;
		log_message(0, "marker %d", ++marker_);
		log_threshold = threshold;
		ASSERT_TRUE(harness::system_log().wait_for("marker " + std::to_string(marker_)));
	}

	int saved_ = 0;
	int marker_ = 0;
};

TEST_F(logging, starts_at_five_and_filters_above_the_threshold)
{
	EXPECT_EQ(log_threshold, 5);
	log_message(5, "at five %d", 5);
	log_message(6, "at six %d", 6);
	log_message(7, "at seven");
	sync();

	auto five = harness::system_log().find("at five 5");
	ASSERT_EQ(five.size(), 1u);
	EXPECT_EQ(five[0].level, 5);
	EXPECT_EQ(five[0].facility, LOG_DAEMON >> 3);
	EXPECT_EQ(five[0].ident, "log_test");
	EXPECT_EQ(five[0].pid, getpid());
	EXPECT_TRUE(harness::system_log().find("at six").empty());
	EXPECT_TRUE(harness::system_log().find("at seven").empty());
}

TEST_F(logging, zero_and_negative_thresholds)
{
	log_threshold = 0;
	log_message(0, "zero passes");
	log_message(1, "one stops");
	log_threshold = -1;
	log_message(0, "nothing at minus one");
	sync();

	EXPECT_EQ(harness::system_log().find("zero passes").size(), 1u);
	EXPECT_TRUE(harness::system_log().find("one stops").empty());
	EXPECT_TRUE(harness::system_log().find("nothing at").empty());
}

TEST_F(logging, every_level_passes_a_high_threshold_with_text_unchanged)
{
	log_threshold = 9;
	for (int level = 0; level <= 7; level++)
		log_message(level, "level %d", level);
	log_message(4, "recieve event reset\n");
	sync();

	for (int level = 0; level <= 7; level++) {
		auto found = harness::system_log().find("level " + std::to_string(level));
		ASSERT_EQ(found.size(), 1u) << level;
		EXPECT_EQ(found[0].level, level);
	}
	auto reset = harness::system_log().find("recieve event reset");
	ASSERT_EQ(reset.size(), 1u);
	// The newline goes out as written; a log reader shows the text without it
	// (musl's syslog ends every message with one, so both look alike there).
	EXPECT_NE(reset[0].raw.find("recieve event reset\n"), std::string::npos);
	EXPECT_EQ(reset[0].text, "recieve event reset");
}

} // namespace
