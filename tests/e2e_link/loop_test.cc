// SPDX-License-Identifier: ISC
// The daemon's loop stays free while the module cannot be reached: a connect
// that never ends keeps nobody waiting, neither a caller nor a stop signal.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "world.h"

extern "C" {
#include <libubox/blobmsg.h>
#include <libubus.h>
}

using namespace std::chrono_literals;

namespace {

int reply_code = -1;

void on_reply(ubus_request *, int, blob_attr *msg)
{
	static const blobmsg_policy policy[] = {{.name = "code", .type = BLOBMSG_TYPE_INT32}};
	blob_attr *tb[1] = {};
	blobmsg_parse(policy, 1, tb, blob_data(msg), blob_len(msg));
	reply_code = tb[0] ? static_cast<int>(blobmsg_get_u32(tb[0])) : -1;
}

class daemon_loop : public harness::world_test {};

TEST_F(daemon_loop, a_connect_that_never_ends_keeps_no_caller_and_no_stop_waiting)
{
	harness::black_hole hole;
	ASSERT_NE(hole.port, 0) << "no black-hole port";
	ASSERT_EQ("", w.start_bus());
	ASSERT_EQ("", w.start_recorder());
	w.port = hole.port;
	harness::world::daemon_options o;
	o.wait_for = {"connected as"};
	ASSERT_EQ("", w.start_daemon(o));

	ubus_context *ctx = ubus_connect(nullptr);
	ASSERT_NE(ctx, nullptr);
	uint32_t id = 0;
	for (int i = 0; i < 50 && ubus_lookup_id(ctx, "ravelcpe", &id) != 0; i++)
		std::this_thread::sleep_for(100ms);
	ASSERT_NE(id, 0u);

	// Calls spread over two connect attempts (2 s each, 400 ms apart): a
	// blocking connect would hold some of them for up to 2 s.
	blob_buf b = {};
	auto slowest = 0ms;
	for (int i = 0; i < 12; i++) {
		blob_buf_init(&b, 0);
		blobmsg_add_string(&b, "cmd", "ATI");
		reply_code = -1;
		const auto start = std::chrono::steady_clock::now();
		ASSERT_EQ(0, ubus_invoke(ctx, id, "at_cmd", b.head, on_reply, nullptr, 5000));
		const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
			std::chrono::steady_clock::now() - start);
		slowest = std::max(slowest, took);
		EXPECT_EQ(reply_code, 2);
		std::this_thread::sleep_for(330ms);
	}
	blob_buf_free(&b);
	ubus_free(ctx);
	// Generous for a loaded machine under the sanitizers; far below the 2 s
	// a connect in the loop would cost.
	EXPECT_LT(slowest, 600ms);
	EXPECT_TRUE(harness::system_log().find("attach_odu ok").empty());

	// A stop signal while a connect is on its way ends the daemon at once.
	ASSERT_TRUE(w.daemon.signal(SIGTERM));
	const auto start = std::chrono::steady_clock::now();
	const harness::exit_status st = w.daemon.wait(5s);
	EXPECT_TRUE(st.exited && st.code == 0);
	EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

} // namespace
