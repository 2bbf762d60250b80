// SPDX-License-Identifier: ISC
// Channel loading against real configuration files in the sandbox's /etc/config.
#include <string.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "daemon/channel_config.h"
#include "tests/harness/harness.h"

using namespace std::chrono_literals;

namespace {

class channel_config : public harness::sandbox_test {
protected:
	void SetUp() override
	{
		harness::sandbox_test::SetUp();
		if (IsSkipped() || HasFatalFailure())
			return;
		openlog("ravel_tools", LOG_PID, LOG_DAEMON);
	}
	int load(const std::string &config, const char *id = "cpe")
	{
		harness::write_config("ravel_tools", config);
		return load_channel_config(id);
	}
};

TEST_F(channel_config, plain_channel_without_model)
{
	ASSERT_EQ(0, load("config channel 'cpe'\n"
			  "\toption server '192.168.225.1'\n"
			  "\toption port '5000'\n"
			  "\toption proto 'tcp'\n"
			  "config rule\n\toption model ''\n\toption server '10.0.0.1'\n"));
	EXPECT_STREQ("cpe", channel.name);
	EXPECT_STREQ("ravelcpe", channel.object_name);
	EXPECT_STREQ("192.168.225.1", channel.server);
	EXPECT_EQ(5000u, channel.port);
	EXPECT_STREQ("tcp", channel.proto);
	EXPECT_STREQ("", channel.model);
	EXPECT_EQ(nullptr, channel.decode_frame);
	EXPECT_EQ(0, channel.frame_header_len);
	EXPECT_EQ(20000, channel.heartbeat_interval);
	EXPECT_EQ(-1, channel.link_fd);
	EXPECT_EQ(0u, channel.link_state);
	// Traffic lines before the first request: level 6, never 0 (LOG_EMERG).
	EXPECT_EQ(6u, channel.trace_level);
}

TEST_F(channel_config, logs_five_lines_in_order_then_the_module_row)
{
	ASSERT_EQ(0, load("config channel cpe\n option model RM500S\n option server 127.0.0.1\n"
			  " option port 7000\n option proto UDP\n"));
	auto &log = harness::system_log();
	ASSERT_TRUE(log.wait_for("config RM500S get odu method", 2s));
	std::vector<std::string> texts;
	for (auto &l : log.lines())
		if (l.ident == "ravel_tools") {
			EXPECT_EQ(4, l.level) << l.text;
			texts.push_back(l.text);
		}
	std::vector<std::string> want = {"config channel name:cpe",  "config proto:UDP",
					 "config server:127.0.0.1",  "config port:7000",
					 "config odu_module:RM500S", "config RM500S get odu method"};
	EXPECT_EQ(want, texts);
	EXPECT_EQ(3, channel.frame_header_len);
	EXPECT_NE(nullptr, channel.encode_at);
	EXPECT_NE(nullptr, channel.decode_frame);
	EXPECT_NE(nullptr, channel.encode_heartbeat);
}

TEST_F(channel_config, rule_fills_what_the_channel_lacks_and_rows_match_by_prefix)
{
	ASSERT_EQ(0, load("config channel cpe\n option model RM520N-GL\n"
			  "config rule\n option model RM520N\n option server 10.9.9.9\n option port 1\n "
			  "option proto udp\n"
			  "config rule r2\n option model RM520N-GL\n option server 192.168.1.1\n"
			  " option port 6000\n option proto tcp\n option other x\n"));
	EXPECT_STREQ("192.168.1.1", channel.server);
	EXPECT_EQ(6000u, channel.port);
	EXPECT_STREQ("tcp", channel.proto);
	EXPECT_STREQ("RM520N-GL", channel.model);
	EXPECT_EQ(3, channel.frame_header_len);
	EXPECT_EQ(module_table[5].decode_frame, channel.decode_frame);
}

TEST_F(channel_config, channel_values_win_and_only_the_first_matching_rule_counts)
{
	ASSERT_EQ(-1, load("config channel cpe\n option model FM650\n option port 7000\n"
			   "config rule\n option model FM650\n option proto tcp\n"
			   "config rule\n option model FM650\n option server 10.0.0.2\n"));
	EXPECT_STREQ("", channel.server); // the second rule is never looked at
	EXPECT_STREQ("tcp", channel.proto);
	EXPECT_EQ(7000u, channel.port);

	ASSERT_EQ(0,
		  load("config channel cpe\n option model FM650\n option port 7000\n option server 1.2.3.4\n"
		       "config rule\n option model FM650\n option port 9\n option server 5.6.7.8\n option "
		       "proto udp\n"));
	EXPECT_STREQ("1.2.3.4", channel.server);
	EXPECT_EQ(7000u, channel.port);
	EXPECT_STREQ("udp", channel.proto);
	EXPECT_EQ(nullptr, channel.decode_frame); // FM650 speaks plain text
}

TEST_F(channel_config, empty_channel_option_blocks_the_rule)
{
	// An empty option line creates nothing in the store; an empty list item
	// is how a present but empty value reaches the channel.
	EXPECT_EQ(-1, load("config channel cpe\n option model RM500S\n list server ''\n"
			   "config rule\n option model RM500S\n option server 10.0.0.1\n"
			   " option port 5000\n option proto tcp\n"));
	EXPECT_STREQ("", channel.server);
	EXPECT_TRUE(
		harness::system_log().wait_for("config error ,channel server or port or proto empty", 2s));
	auto lines = harness::system_log().find("config error ,channel server or port or proto empty");
	ASSERT_EQ(1u, lines.size());
	EXPECT_EQ(3, lines[0].level);
}

TEST_F(channel_config, port_is_converted_like_atoi)
{
	const char *base = "config channel cpe\n option server 1.2.3.4\n option proto tcp\n";
	EXPECT_EQ(-1, load(std::string(base) + " option port abc\n"));
	EXPECT_EQ(0, load(std::string(base) + " option port 50abc\n"));
	EXPECT_EQ(50u, channel.port);
}

TEST_F(channel_config, missing_package_section_or_id)
{
	EXPECT_EQ(-1, load_channel_config(""));
	EXPECT_EQ(-1, load_channel_config(nullptr));
	// no package file at all
	EXPECT_EQ(-1, load_channel_config("cpe"));
	// a broken file fails the whole load
	EXPECT_EQ(-1, load("config channel cpe\n option server '1.2.3.4\n"));
	// no section of that name: five lines with empty values, then the error
	EXPECT_EQ(-1, load("config channel other\n option server 1.2.3.4\n", "cpe"));
	EXPECT_TRUE(harness::system_log().wait_for("config port:0", 2s));
	EXPECT_TRUE(
		harness::system_log().wait_for("config error ,channel server or port or proto empty", 2s));
}

TEST_F(channel_config, long_channel_id_is_cut_in_name_only)
{
	std::string id(70, 'c');
	ASSERT_EQ(0, load("config channel " + id +
				  "\n option server 1.2.3.4\n option port 1\n option proto tcp\n",
			  id.c_str()));
	EXPECT_EQ(63u, strlen(channel.name));
	EXPECT_EQ("ravel" + id, std::string(channel.object_name));
}

} // namespace
