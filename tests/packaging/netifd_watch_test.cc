// SPDX-License-Identifier: ISC
// netifd forgetting the interface: which bus events the daemon answers with
// a new proto notification, and the daemon doing so on the bus.
#include <signal.h>

#include <string>

#include "tests/harness/world.h"
// After the C++ headers: libubox defines macros that they use as names.
extern "C" {
#include <libubox/blobmsg.h>
}

#include "daemon/netifd_watch.h"

using namespace std::chrono_literals;

namespace {

netifd_event event_of(const char *type, const std::vector<std::pair<const char *, const char *>> &members)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	for (const auto &[key, value] : members)
		blobmsg_add_string(&b, key, value);
	netifd_event e = netifd_event_of(type, b.head, "cpe");
	blob_buf_free(&b);
	return e;
}

TEST(netifd_event, only_the_channels_interface_counts)
{
	using enum netifd_event;
	EXPECT_EQ(appeared, event_of("ubus.object.add", {{"path", "network.interface.cpe"}}));
	EXPECT_EQ(down, event_of("network.interface", {{"action", "ifdown"}, {"interface", "cpe"}}));
	EXPECT_EQ(up, event_of("network.interface", {{"action", "ifup"}, {"interface", "cpe"}}));

	EXPECT_EQ(other, event_of("ubus.object.add", {{"path", "network.interface.cpe_4"}}));
	EXPECT_EQ(other, event_of("ubus.object.remove", {{"path", "network.interface.cpe"}}));
	EXPECT_EQ(other, event_of("network.interface", {{"action", "ifdown"}, {"interface", "lan"}}));
	EXPECT_EQ(other, netifd_event_of("network.interface", nullptr, "cpe"));

	// A member of another type is not read as text.
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "path", 7);
	EXPECT_EQ(other, netifd_event_of("ubus.object.add", b.head, "cpe"));
	blob_buf_free(&b);
}

TEST(netifd_event, the_down_that_ends_a_teardown_from_up_is_answered)
{
	using enum netifd_event;
	netifd_watch_state st; // a daemon started late takes the interface for up
	EXPECT_FALSE(netifd_should_notify(st, other));
	EXPECT_FALSE(netifd_should_notify(st, down)); // teardown begins
	EXPECT_TRUE(netifd_should_notify(st, down));  // done: a reload re-creates the protocol now
	EXPECT_FALSE(netifd_should_notify(st, down)); // that setup failed
	EXPECT_FALSE(netifd_should_notify(st, up));
	EXPECT_FALSE(netifd_should_notify(st, down));
	EXPECT_TRUE(netifd_should_notify(st, down));
	EXPECT_TRUE(netifd_should_notify(st, appeared)); // a new netifd, always
	EXPECT_FALSE(netifd_should_notify(st, down));    // whose setup failed
	EXPECT_TRUE(netifd_should_notify(st, appeared));
}

class netifd_watch : public harness::world_test {
protected:
	size_t notifications()
	{
		const std::string notes = w.notifications();
		size_t n = 0;
		for (size_t at = notes.find("notify_proto"); at != std::string::npos;
		     at = notes.find("notify_proto", at + 1))
			n++;
		return n;
	}
	// Waits until `want` calls arrived, then a little longer for any extra
	// one. The daemon answers events in order, so a call that should not
	// have come shows in the count of a later wait at the latest.
	size_t notifications_reach(size_t want)
	{
		for (int i = 0; i < 50 && notifications() < want; i++)
			std::this_thread::sleep_for(100ms);
		std::this_thread::sleep_for(300ms);
		return notifications();
	}
	size_t notifications_settled()
	{
		std::this_thread::sleep_for(500ms);
		return notifications();
	}
	int send(const std::string &type, const std::string &msg)
	{
		return harness::run({harness::program_path("ravel-bus"), "send", type, msg}, 5s).status.code;
	}
	bool listed(const std::string &path)
	{
		for (int i = 0; i < 50; i++) {
			auto r = harness::run({harness::program_path("ravel-bus"), "list", path}, 5s);
			if (r.status.code == 0 && r.out.find(path) != std::string::npos)
				return true;
			std::this_thread::sleep_for(100ms);
		}
		return false;
	}
	const std::string ifdown_cpe = R"({"action":"ifdown","interface":"cpe"})";
};

TEST_F(netifd_watch, attached_link_is_announced_again_when_netifd_renews_the_interface)
{
	ASSERT_EQ("", w.start_bus());
	ASSERT_EQ("", w.start_recorder());
	harness::world::daemon_options o;
	o.wait_for = {"connected as"};
	ASSERT_EQ("", w.start_daemon(o));

	// No link, nothing to announce.
	ASSERT_EQ(0, send("network.interface", ifdown_cpe));
	EXPECT_EQ(0u, notifications_settled());
	ASSERT_EQ("", w.start_sim());
	ASSERT_TRUE(harness::system_log().wait_for("attach_odu ok", 10s)) << harness::system_log().dump();
	ASSERT_EQ(1u, notifications_reach(1));

	// A reload took the interface down.
	ASSERT_EQ(0, send("network.interface", R"({"action":"ifup","interface":"cpe"})"));
	ASSERT_EQ(0, send("network.interface", ifdown_cpe));
	EXPECT_EQ(1u, notifications_settled()) << w.notifications();
	ASSERT_EQ(0, send("network.interface", ifdown_cpe));
	EXPECT_EQ(2u, notifications_reach(2)) << w.notifications();

	// netifd restarted: the interface's object appears.
	auto netifd = harness::process::spawn(
		{harness::program_path("ravel-bus"), "serve", "network.interface.cpe", "status"});
	EXPECT_EQ(3u, notifications_reach(3)) << w.notifications() << netifd.err();
	netifd.signal(SIGTERM);
	netifd.wait(5s);

	// The subscriptions outlive a restart of the bus daemon.
	w.recorder.signal(SIGTERM);
	w.recorder.wait(5s);
	w.bus.signal(SIGTERM);
	w.bus.wait(5s);
	harness::system_log().clear();
	ASSERT_EQ("", w.start_bus());
	ASSERT_TRUE(harness::system_log().wait_for("reconnected to ubus", 10s))
		<< harness::system_log().dump();
	ASSERT_EQ("", w.start_recorder());
	ASSERT_TRUE(listed("network.interface")); // its log file is older
	ASSERT_EQ(0, send("network.interface", R"({"action":"ifup","interface":"cpe"})"));
	ASSERT_EQ(0, send("network.interface", ifdown_cpe));
	ASSERT_EQ(0, send("network.interface", ifdown_cpe));
	EXPECT_EQ(4u, notifications_reach(4)) << w.notifications();
}

} // namespace
