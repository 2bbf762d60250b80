// SPDX-License-Identifier: ISC
// The link end to end: the real daemon against the modem simulator, with our
// bus daemon and a recording stand-in for "network.interface".
#include <unistd.h>

#include <string>
#include <vector>

#include "world.h"

using namespace std::chrono_literals;

namespace {

size_t count_of(const std::string &hay, const std::string &needle)
{
	size_t n = 0;
	for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
		n++;
	return n;
}

class daemon_link : public harness::world_test {
protected:
	void start_bus()
	{
		ASSERT_EQ("", w.start_bus());
		ASSERT_EQ("", w.start_recorder());
	}
	void start_modem(std::vector<std::string> extra = {}) { ASSERT_EQ("", w.start_sim(extra, true)); }
	void start_daemon(const std::string &model = "")
	{
		harness::world::daemon_options o;
		o.model = model;
		ASSERT_EQ("", w.start_daemon(o));
	}
	std::string sim_control(const std::string &line) { return w.sim_control(line); }
	std::string modem_log() { return w.sim_received(); }
	// Waits until the link-state file reads want (the daemon logs an attach
	// or a detach before it replaces the file); at the deadline, the file
	// as it is.
	static std::string state_becomes(const std::string &want, harness::ms deadline = 10s)
	{
		auto end = std::chrono::steady_clock::now() + deadline;
		std::string now;
		do {
			now = harness::read_file(harness::world::state_file).value_or("(missing)");
			if (now == want)
				break;
			std::this_thread::sleep_for(20ms);
		} while (std::chrono::steady_clock::now() < end);
		return now;
	}
	// Waits until the module's record holds at least n of needle.
	size_t modem_log_count(const std::string &needle, size_t n, harness::ms deadline = 10s)
	{
		auto end = std::chrono::steady_clock::now() + deadline;
		size_t got = 0;
		while ((got = count_of(modem_log(), needle)) < n && std::chrono::steady_clock::now() < end)
			std::this_thread::sleep_for(50ms);
		return got;
	}
};

const std::string attached =
	"{\n\t\"name\": \"ravel_tools_cpe\",\n\t\"type\": 2,\n\t\"parameter\": {\n"
	"\t\t\"channel\": \"cpe\",\n\t\t\"server\": \"127.0.0.1\",\n\t\t\"port\": 5000,\n"
	"\t\t\"proto\": \"tcp\"\n\t}\n}";
const std::string detached =
	"{\n\t\"name\": \"ravel_tools_cpe\",\n\t\"type\": 2,\n\t\"parameter\": {\n\t\t\n\t}\n}";

TEST_F(daemon_link, attach_writes_the_state_file_and_notifies_the_interface)
{
	start_bus();
	start_modem();
	start_daemon();
	EXPECT_EQ(attached, state_becomes(attached));

	// The notification goes out right after the attach, on its own connection.
	std::string notes;
	for (int i = 0; i < 50 && notes.empty(); i++) {
		std::this_thread::sleep_for(100ms);
		notes = harness::read_file("/tmp/notify.log").value_or("");
	}
	EXPECT_NE(std::string::npos, notes.find("notify_proto"));
	EXPECT_NE(std::string::npos, notes.find("\"interface\":\"cpe\"")) << notes;
	EXPECT_NE(std::string::npos, notes.find("\"action\":5")) << notes;
	EXPECT_NE(std::string::npos, notes.find("\"available\":true")) << notes;

	// A reset event drops and rebuilds the link: the detached form is
	// written in between, the attached form again at the end.
	harness::system_log().clear();
	auto r = harness::run({harness::program_path("ravel-bus"), "send", "ravel.cpe.reset", "{}"}, 5s);
	EXPECT_EQ(0, r.status.code) << r.err;
	ASSERT_TRUE(harness::system_log().wait_for("recieve event reset", 5s));
	ASSERT_TRUE(harness::system_log().wait_for("attach_odu ok", 5s));
	EXPECT_EQ(attached, state_becomes(attached));

	w.daemon.signal(SIGUSR1);
	auto st = w.daemon.wait(5s);
	EXPECT_TRUE(st.exited && st.code == 0);
}

TEST_F(daemon_link, a_timed_out_request_detaches_the_link)
{
	start_bus();
	start_modem();
	start_daemon();
	// A silent module that takes no new connections: three commands of
	// 2999 ms each outlast their 8 s alarm with nothing collected, so the
	// request ends with 5 and the link is dropped and stays down.
	EXPECT_EQ("ok", sim_control("silence on").substr(0, 2));
	EXPECT_EQ("ok", sim_control("refuse on").substr(0, 2));
	auto r = harness::run({harness::program_path("ravel-bus"), "-t", "20", "call", "ravelcpe", "at_cmd",
			       "{\"cmd\":\"AT|AT|AT\",\"wait\":2999}"},
			      25s);
	EXPECT_NE(std::string::npos, r.out.find("\"code\": 5")) << r.out << r.err;
	EXPECT_EQ(std::string::npos, r.out.find("respone")) << r.out;
	EXPECT_EQ(detached, state_becomes(detached));
	// The alarm's own line is written once the handler has returned.
	EXPECT_TRUE(harness::system_log().wait_for("at receive the signal(14)", 10s));
}

TEST_F(daemon_link, plain_heartbeat_on_the_first_poll_run_only)
{
	start_bus();
	start_modem({"-e"});
	start_daemon();
	EXPECT_EQ(1u, modem_log_count("cmd AT\\r", 1)) << modem_log();
	// 50 runs of at least 400 ms each: nothing more within 15 s.
	std::this_thread::sleep_for(15s);
	EXPECT_EQ(1u, count_of(modem_log(), "cmd AT\\r")) << modem_log();
	// The module's echo of the heartbeat is read but not logged.
	EXPECT_TRUE(harness::system_log().find("--- ").empty()) << harness::system_log().dump();
}

TEST_F(daemon_link, framed_module_heartbeats_only_after_readiness)
{
	start_bus();
	// The module announces readiness only when told to, so a heartbeat
	// before that is out of order however long the poll runs take.
	start_modem({"-f", "--no-ready"});
	start_daemon("RM520N");
	std::this_thread::sleep_for(1s);
	EXPECT_EQ(0u, count_of(modem_log(), "HEARBEAT_REQ")) << modem_log();
	EXPECT_EQ("ok", sim_control("ready").substr(0, 2));
	auto ready = harness::system_log().wait_for("odu ready 1", 10s);
	ASSERT_TRUE(ready) << harness::system_log().dump();
	EXPECT_EQ(4, ready->level);
	EXPECT_EQ(1u, modem_log_count("frame e4 HEARBEAT_REQ", 1)) << modem_log();

	// And now commands go through in 0xA4 frames.
	auto r = harness::run(
		{harness::program_path("ravel-bus"), "call", "ravelcpe", "at_cmd", "{\"cmd\":\"ATI\"}"}, 10s);
	EXPECT_NE(std::string::npos, r.out.find("\"code\": 0")) << r.out << r.err;
	EXPECT_NE(std::string::npos, modem_log().find("frame a4 ATI\\r")) << modem_log();
}

TEST_F(daemon_link, scan_reports_go_to_the_cache_file)
{
	start_bus();
	start_modem();
	start_daemon();
	const std::string cache = "/tmp/oriel/tmp/lumen_cache";
	// Each text in a poll run of its own: a read holding the marker is
	// cached whole.
	EXPECT_EQ("ok", sim_control("urc \\r\\n+CREG: 1\\r\\n").substr(0, 2));
	ASSERT_TRUE(harness::system_log().wait_for("+CREG: 1", 5s));
	EXPECT_EQ("ok", sim_control("scan 1,460,00").substr(0, 2));
	ASSERT_TRUE(harness::wait_for_path(cache, 5s));
	std::this_thread::sleep_for(1s);
	std::string text = harness::read_file(cache).value_or("");
	EXPECT_NE(std::string::npos, text.find("QSCAN: 1,460,00")) << text;
	EXPECT_EQ(std::string::npos, text.find("+CREG")) << text;
	auto logged = harness::system_log().find("QSCAN: 1,460,00");
	ASSERT_FALSE(logged.empty());
	EXPECT_EQ(4, logged[0].level);

	// A marker file replaces the default marker, line feed and all. The
	// daemon reads it anew for each batch of text, at a moment of its own:
	// send marked texts until one is cached, then the default marker no
	// longer counts.
	harness::write_file("/tmp/lumen_async_key", "+MYSCAN:");
	bool cached = false;
	for (int i = 0; i < 10 && !cached; i++) {
		std::string urc = "+MYSCAN: " + std::to_string(i);
		EXPECT_EQ("ok", sim_control("urc \\r\\n" + urc + "\\r\\n").substr(0, 2));
		ASSERT_TRUE(harness::system_log().wait_for(urc, 5s)) << harness::system_log().dump();
		for (int j = 0; j < 20 && !cached; j++) {
			cached =
				harness::read_file(cache).value_or("").find("+MYSCAN: ") != std::string::npos;
			std::this_thread::sleep_for(50ms);
		}
	}
	EXPECT_TRUE(cached) << harness::read_file(cache).value_or("");
	EXPECT_EQ("ok", sim_control("scan 2").substr(0, 2));
	ASSERT_TRUE(harness::system_log().wait_for("QSCAN: 2", 5s));
	std::this_thread::sleep_for(1500ms);
	text = harness::read_file(cache).value_or("");
	EXPECT_EQ(std::string::npos, text.find("QSCAN: 2")) << text;
}

TEST_F(daemon_link, loss_notice_comes_after_more_than_600_seconds)
{
	harness::set_uptime("1000.00 10.00\n");
	start_bus();
	start_modem({"-f", "--no-ready"});
	start_daemon("RM500S");
	// A framed module that never announces readiness: the request is refused
	// with 6, which notes the loss at second 1000.
	auto r = harness::run(
		{harness::program_path("ravel-bus"), "call", "ravelcpe", "at_cmd", "{\"cmd\":\"AT\"}"}, 10s);
	EXPECT_NE(std::string::npos, r.out.find("\"code\": 6")) << r.out << r.err;
	auto tip = harness::system_log().wait_for("odu lose connection,tip 1000", 5s);
	ASSERT_TRUE(tip) << harness::system_log().dump();
	EXPECT_EQ(3, tip->level);

	harness::set_uptime("1600.00 10.00\n");
	std::this_thread::sleep_for(2s);
	EXPECT_TRUE(harness::system_log().find("FFF odu lose connection").empty());
	harness::set_uptime("1601.00 10.00\n");
	auto notice = harness::system_log().wait_for(
		"FFF odu lose connection,try power down,now 1601,record 1000", 5s);
	ASSERT_TRUE(notice) << harness::system_log().dump();
	EXPECT_EQ(3, notice->level);
	// The notice is given once per noted loss.
	std::this_thread::sleep_for(1s);
	EXPECT_EQ(1u, harness::system_log().find("FFF odu lose connection").size());
}

TEST_F(daemon_link, a_module_that_restarts_is_attached_again_while_nobody_calls)
{
	start_bus();
	start_modem();
	start_daemon();
	ASSERT_EQ(attached, state_becomes(attached));

	// The module goes away with no request in flight: the next poll run
	// reads the end of the connection and drops the link.
	w.sim.kill();
	unlink(harness::world::sim_ctl);
	EXPECT_EQ(detached, state_becomes(detached));
	std::this_thread::sleep_for(1s); // a few runs find nobody listening
	harness::system_log().clear();
	start_modem(); // returns once it listens
	auto listening = std::chrono::steady_clock::now();
	auto back = harness::system_log().wait_for("attach_odu ok", 10s);
	ASSERT_TRUE(back) << harness::system_log().dump();
	// A poll run or two on an idle machine; the bound only tells a retry on
	// each run from one that waits for a call or a reset.
	EXPECT_LT(back->received - listening, 6s);
	EXPECT_EQ(attached, state_becomes(attached));
	// Up, down when the module closed, up again.
	std::string notes;
	for (int i = 0; i < 50 && count_of(notes, "notify_proto") < 3; i++) {
		std::this_thread::sleep_for(100ms);
		notes = harness::read_file("/tmp/notify.log").value_or("");
	}
	EXPECT_EQ(2u, count_of(notes, "\"available\":true")) << notes;
	EXPECT_EQ(1u, count_of(notes, "\"available\":false")) << notes;
	EXPECT_TRUE(harness::system_log().find("odu link of cpe lost: closed by the module").empty());
}

} // namespace
