// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <string>

#include "common/log.h"
#include "daemon/bus.h"
#include "daemon/service.h"
#include "link/at_channel.h"
#include "tests/service/fake_link.h"
#include "tests/service/test_bus.h"

namespace {

class ServiceTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_threshold = -1; // keep the host's system log out of it
		fake_link_reset("t");
		ASSERT_EQ(bus_start(bus.socket()), 0);
	}
	void TearDown() override
	{
		bus_stop();
		free(channel.answer);
		channel.answer = nullptr;
		uloop_done();
	}
	call_result at_cmd(const message &msg, const char *method = "at_cmd")
	{
		return call_object(bus.socket(), "ravelt", method, msg);
	}
	void script(int code, const char *answer = nullptr) { fake_link.script.push_back({code, answer}); }

	test_bus bus;
};

TEST_F(ServiceTest, ReplyCarriesResponeThenCode)
{
	script(CHAT_OK, "AT\r\r\nOK\r\n");
	auto r = at_cmd(message{{"cmd", std::string("AT")}});
	ASSERT_EQ(r.status, 0);
	ASSERT_EQ(r.data.size(), 1u);
	ASSERT_EQ(r.data[0].size(), 2u);
	EXPECT_EQ(r.data[0][0].name, "respone");
	EXPECT_EQ(r.data[0][0].type, BLOBMSG_TYPE_STRING);
	EXPECT_EQ(r.data[0][0].text, "AT\r\r\nOK\r\n");
	EXPECT_EQ(r.data[0][1].name, "code");
	EXPECT_EQ(r.data[0][1].type, BLOBMSG_TYPE_INT32);
	EXPECT_EQ(r.data[0][1].number, 0);

	ASSERT_EQ(fake_link.calls.size(), 1u);
	EXPECT_EQ(fake_link.calls[0].cmd, "AT");
	EXPECT_EQ(fake_link.calls[0].wait, 3000);
	EXPECT_EQ(fake_link.calls[0].trace_level, 6u);
	EXPECT_EQ(channel.answer, nullptr);
	EXPECT_EQ(channel.answer_len, 0u);
}

TEST_F(ServiceTest, WaitAndTraceLevelDefaults)
{
	struct {
		message msg;
		int wait;
		unsigned level;
	} cases[] = {
		{message{{"cmd", std::string("AT")}, {"wait", 1500}, {"at_log_level", 7}}, 1500, 7},
		{message{{"cmd", std::string("AT")}, {"wait", 0}, {"at_log_level", 0}}, 3000, 0},
		{message{{"cmd", std::string("AT")}, {"wait", -5}, {"at_log_level", 8}}, 3000, 6},
		{message{{"cmd", std::string("AT")}, {"wait", 300001}}, 300000, 6},
		{message{{"cmd", std::string("AT")}, {"wait", 2147483647}}, 300000, 6},
		{message{{"cmd", std::string("AT")}, {"wait", std::string("100")}, {"at_log_level", -1}},
		 3000, 6},
		{message{{"cmd", std::string("AT")}, {"at_log_level", std::string("3")}, {"extra", 1}}, 3000,
		 6},
	};
	for (const auto &c : cases) {
		fake_link.calls.clear();
		SCOPED_TRACE(testing::Message() << "case with wait " << c.wait << ", level " << c.level);
		auto r = at_cmd(c.msg);
		ASSERT_EQ(r.status, 0);
		ASSERT_EQ(fake_link.calls.size(), 1u);
		EXPECT_EQ(fake_link.calls[0].wait, c.wait);
		EXPECT_EQ(fake_link.calls[0].trace_level, c.level);
		EXPECT_EQ(channel.trace_level, c.level);
	}
}

TEST_F(ServiceTest, NoCommandMeansNoDataAndNoChange)
{
	channel.trace_level = 3;
	const message cases[] = {
		{{"cmd", std::string("")}, {"block", 5}},
		{{"wait", 100}, {"at_log_level", 7}, {"block", 5}},
		{{"cmd", 5}},
		{},
	};
	for (const auto &msg : cases) {
		SCOPED_TRACE(testing::Message() << "message of " << msg.size() << " fields");
		auto r = at_cmd(msg);
		EXPECT_EQ(r.status, 0);
		EXPECT_TRUE(r.data.empty());
		EXPECT_LT(r.done_s, 4.0); // no block sleep either
	}
	EXPECT_TRUE(fake_link.calls.empty());
	EXPECT_EQ(channel.trace_level, 3u);
}

TEST_F(ServiceTest, OtherMethodNamesAreNotFound)
{
	auto r = at_cmd(message{{"cmd", std::string("AT")}}, "at_log_level");
	EXPECT_EQ(r.status, UBUS_STATUS_METHOD_NOT_FOUND);
	EXPECT_TRUE(fake_link.calls.empty());
}

TEST_F(ServiceTest, BadArgumentGivesCodeWithoutRespone)
{
	script(CHAT_BAD_ARGUMENT);
	auto r = at_cmd(message{{"cmd", std::string("AT")}});
	ASSERT_EQ(r.data.size(), 1u);
	ASSERT_EQ(r.data[0].size(), 1u);
	EXPECT_EQ(r.data[0][0].name, "code");
	EXPECT_EQ(r.data[0][0].number, CHAT_BAD_ARGUMENT);
	EXPECT_EQ(fake_link.detaches, 0);
	EXPECT_EQ(fake_link.attaches, 0);
}

TEST_F(ServiceTest, WriteFailureAndTimeOutDropTheLinkAtOnce)
{
	channel.fail_count = 4;
	script(CHAT_OK, "OK");
	script(CHAT_TIMED_OUT);
	auto ok = at_cmd(message{{"cmd", std::string("AT")}});
	EXPECT_EQ(channel.fail_count, 0);
	auto timed_out = at_cmd(message{{"cmd", std::string("AT")}});
	ASSERT_NE(timed_out.field("code"), nullptr);
	EXPECT_EQ(timed_out.field("code")->number, CHAT_TIMED_OUT);
	EXPECT_EQ(fake_link.detaches, 1);

	channel.fail_count = 7;
	script(CHAT_WRITE_FAILED, "partial");
	auto failed = at_cmd(message{{"cmd", std::string("AT")}});
	ASSERT_NE(failed.field("respone"), nullptr);
	EXPECT_EQ(failed.field("respone")->text, "partial");
	EXPECT_EQ(failed.field("code")->number, CHAT_WRITE_FAILED);
	EXPECT_EQ(fake_link.detaches, 2);
	EXPECT_EQ(channel.fail_count, 7); // not counted, not reset
}

TEST_F(ServiceTest, EleventhFailureInARowDropsTheLink)
{
	for (int i = 0; i < 10; ++i)
		script(i % 2 ? CHAT_NOT_READY : CHAT_NO_ANSWER);
	for (int i = 0; i < 10; ++i)
		at_cmd(message{{"cmd", std::string("AT")}});
	EXPECT_EQ(fake_link.detaches, 0);
	EXPECT_EQ(channel.fail_count, 10);

	script(CHAT_NO_ANSWER);
	auto r = at_cmd(message{{"cmd", std::string("AT")}});
	EXPECT_EQ(r.field("code")->number, CHAT_NO_ANSWER);
	EXPECT_EQ(fake_link.detaches, 1);
	EXPECT_EQ(channel.fail_count, 0);
}

TEST_F(ServiceTest, SuccessRestartsTheCountAndBadArgumentLeavesIt)
{
	for (int i = 0; i < 9; ++i)
		script(CHAT_NO_ANSWER);
	script(CHAT_BAD_ARGUMENT); // neither counts nor resets
	script(CHAT_NO_ANSWER);    // the 10th: link kept
	script(CHAT_OK, "OK");     // count starts again
	for (int i = 0; i < 10; ++i)
		script(CHAT_NO_ANSWER);
	for (int i = 0; i < 22; ++i)
		at_cmd(message{{"cmd", std::string("AT")}});
	EXPECT_EQ(fake_link.detaches, 0);
	EXPECT_EQ(channel.fail_count, 10);
}

TEST_F(ServiceTest, BlockHoldsTheCompletion)
{
	// The caller shares this thread, so it reads the reply only once the
	// handler returns; that the reply leaves before the sleep is checked
	// end to end with the client.
	auto r = at_cmd(message{{"cmd", std::string("AT")}, {"block", 2}});
	ASSERT_EQ(r.status, 0);
	ASSERT_EQ(r.data.size(), 1u);
	EXPECT_GE(r.done_s, 1.9);
	EXPECT_LT(r.done_s, 5.0);
}

TEST_F(ServiceTest, NegativeBlockDoesNotSleep)
{
	// Read as unsigned seconds this would be a sleep of 136 years.
	auto r = at_cmd(message{{"cmd", std::string("AT")}, {"block", -1}});
	ASSERT_EQ(r.status, 0);
	EXPECT_LT(r.done_s, 5.0); // a hold is at least 300 s
}

TEST_F(ServiceTest, OversizedAnswerIsCutToFitOneMessage)
{
	fake_link.script.push_back({CHAT_OK, nullptr, std::string(1100 * 1024, 'x')});
	auto r = at_cmd(message{{"cmd", std::string("AT")}});
	ASSERT_EQ(r.status, 0);
	ASSERT_NE(r.field("respone"), nullptr);
	EXPECT_EQ(r.field("respone")->text.size(), AT_CMD_RESPONE_MAX);
	EXPECT_EQ(r.field("code")->number, CHAT_OK);
	EXPECT_EQ(channel.answer, nullptr);
}

// Events are not delivered back to the connection that sends them, so the
// reset is sent from a connection of its own.
void send_event(const char *socket, const char *name)
{
	ubus_context *ctx = ubus_connect(socket);
	ASSERT_NE(ctx, nullptr);
	blob_buf b{};
	blob_buf_init(&b, 0);
	EXPECT_EQ(ubus_send_event(ctx, name, b.head), 0);
	blob_buf_free(&b);
	ubus_free(ctx);
}

bool reset_handled()
{
	return fake_link.attaches > 0;
}

TEST_F(ServiceTest, ResetEventRebuildsTheLink)
{
	send_event(bus.socket(), "ravel.other.reset");
	send_event(bus.socket(), "ravel.t.reset");
	ASSERT_TRUE(run_loop_until(reset_handled, 5));
	EXPECT_EQ(fake_link.detaches, 1);
	EXPECT_EQ(fake_link.attaches, 1);
	EXPECT_EQ(channel.link_state, LINK_ATTACHED);
}

bool object_back()
{
	return false;
}

TEST_F(ServiceTest, BusRestartIsSurvived)
{
	bus.stop();
	// Let the loss be noticed and one retry fail while the bus is away.
	run_loop_until(object_back, 2.5);
	bus.start();
	static const char *sock;
	sock = bus.socket();
	auto object_published = [] {
		ubus_context *ctx = ubus_connect(sock);
		if (!ctx)
			return false;
		uint32_t id;
		bool found = ubus_lookup_id(ctx, "ravelt", &id) == 0;
		ubus_free(ctx);
		return found;
	};
	ASSERT_TRUE(run_loop_until(object_published, 10));

	auto r = at_cmd(message{{"cmd", std::string("AT")}});
	EXPECT_EQ(r.status, 0);
	ASSERT_NE(r.field("code"), nullptr);

	// The reset subscription is made again on the new connection.
	send_event(bus.socket(), "ravel.t.reset");
	EXPECT_TRUE(run_loop_until(reset_handled, 5));
}

} // namespace
