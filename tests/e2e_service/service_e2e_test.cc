// SPDX-License-Identifier: ISC
// The daemon's bus object and bus connection, driven over the bus.
#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "service_world.h"

namespace {

using namespace std::chrono_literals;
using harness::process;

class service_e2e : public service_world {
protected:
	void start_all(const std::vector<std::string> &sim_options = {}, const std::string &model = "")
	{
		start_bus();
		start_sim(sim_options);
		start_daemon(model, model.empty());
	}
};

TEST_F(service_e2e, cmd_only_gets_respone_then_code)
{
	start_all();
	auto r = bus_call(R"({"cmd":"AT+CSQ"})");
	EXPECT_EQ(r.status.code, 0) << r.err;
	size_t respone = r.out.find("\"respone\": ");
	size_t code = r.out.find("\"code\": 0");
	ASSERT_NE(respone, std::string::npos) << r.out;
	ASSERT_NE(code, std::string::npos) << r.out;
	EXPECT_LT(respone, code);
	EXPECT_NE(r.out.find("+CSQ: 23,99"), std::string::npos) << r.out;
	// Default trace level 6 for the traffic lines, default wait 3000 ms.
	auto traffic = lines_of("ravel_tools", "<<< (AT+CSQ");
	ASSERT_FALSE(traffic.empty()) << harness::system_log().dump();
	EXPECT_EQ(traffic.back().level, 6);
	EXPECT_TRUE(harness::system_log().wait_for("alarm_time 3", 5s));
}

TEST_F(service_e2e, wait_and_trace_level_fall_back_to_defaults)
{
	start_all();
	for (const char *json :
	     {R"({"cmd":"AT","wait":0})", R"({"cmd":"AT","wait":-5})", R"({"cmd":"AT","wait":"5000"})"}) {
		harness::system_log().clear();
		auto r = bus_call(json);
		EXPECT_EQ(reply_code(r.out), 0) << json << r.out;
		EXPECT_TRUE(harness::system_log().wait_for("alarm_time 3", 5s)) << json;
	}
	harness::system_log().clear();
	bus_call(R"({"cmd":"AT","wait":5000})");
	EXPECT_TRUE(harness::system_log().wait_for("alarm_time 5", 5s));

	struct {
		int asked;
		int used;
	} levels[] = {{7, 7}, {8, 6}, {-1, 6}, {2, 2}};
	for (auto l : levels) {
		std::string cmd = "ATI" + std::to_string(l.asked + 10);
		bus_call(R"({"cmd":")" + cmd + R"(","at_log_level":)" + std::to_string(l.asked) + "}");
		auto traffic = lines_of("ravel_tools", "<<< (" + cmd);
		ASSERT_FALSE(traffic.empty()) << cmd;
		for (auto &line : traffic)
			EXPECT_EQ(line.level, l.used) << cmd << ": " << line.text;
	}
}

TEST_F(service_e2e, empty_cmd_sends_nothing_and_replies_no_data)
{
	start_all();
	auto r = bus_call(R"({"cmd":"","block":3})");
	EXPECT_EQ(r.status.code, 0) << r.err;
	EXPECT_EQ(r.out, "");
	EXPECT_LT(r.status.elapsed, 2500ms);
	std::this_thread::sleep_for(300ms);
	// Only the poll timer's heartbeat may have reached the module.
	std::string received = sim_received();
	const std::string heartbeat = " cmd AT\\r\n";
	for (size_t at = received.find(" cmd "); at != std::string::npos; at = received.find(" cmd ", at + 1))
		EXPECT_EQ(received.compare(at, heartbeat.size(), heartbeat), 0) << received;
}

TEST_F(service_e2e, eleventh_result_without_answer_drops_the_link)
{
	start_all();
	sim("silence on");
	for (int i = 1; i <= 10; ++i)
		EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT","wait":100})").out), 4) << i;
	EXPECT_TRUE(harness::system_log().find("at fail,disattach_odu").empty());

	// A 2 (no link: the module refuses while the reset event rebuilds the
	// link) neither counts nor resets.
	sim("refuse on");
	sim("drop");
	EXPECT_EQ(bus_send("ravel.cpe.reset").status.code, 0);
	ASSERT_TRUE(harness::system_log().wait_for("recieve event reset\n", 5s));
	harness::system_log().clear();
	EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT","wait":100})").out), 2);
	sim("refuse off");
	ASSERT_TRUE(harness::system_log().wait_for("attach_odu ok", 5s)) << harness::system_log().dump();
	sim("silence on");
	EXPECT_TRUE(harness::system_log().find("at fail,disattach_odu").empty());

	EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT","wait":100})").out), 4);
	auto drop = harness::system_log().wait_for("at fail,disattach_odu cpe", 5s);
	ASSERT_TRUE(drop) << harness::system_log().dump();
	EXPECT_EQ(drop->level, 4);
	// The poll timer attaches it again.
	EXPECT_TRUE(harness::system_log().wait_for_regex("attach_odu ok", 5s));
}

TEST_F(service_e2e, a_success_restarts_the_failure_count)
{
	start_all();
	sim("silence on");
	for (int i = 0; i < 6; ++i)
		bus_call(R"({"cmd":"AT","wait":100})");
	sim("silence off");
	EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT"})").out), 0);
	sim("silence on");
	for (int i = 0; i < 10; ++i)
		EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT","wait":100})").out), 4);
	std::this_thread::sleep_for(200ms);
	EXPECT_TRUE(harness::system_log().find("at fail,disattach_odu").empty());
}

TEST_F(service_e2e, time_out_drops_the_link_at_once)
{
	start_all();
	EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT"})").out), 0);
	sim("silence on");
	harness::system_log().clear();
	// The alarm (2 s) ends the wait of 2500 ms with nothing collected.
	EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT","wait":2500})").out), 5);
	EXPECT_TRUE(harness::system_log().wait_for("attach_odu ok", 5s)) << harness::system_log().dump();
	EXPECT_TRUE(harness::system_log().find("at fail,disattach_odu").empty());
}

TEST_F(service_e2e, stop_signal_mid_request_replies_5_then_exits_0)
{
	start_all();
	sim("silence on");
	std::string line = "AT";
	for (int i = 0; i < 50; ++i)
		line += "|AT";
	harness::run_result r;
	std::thread caller([&] { r = bus_call(R"({"cmd":")" + line + R"("})"); });
	// The request is running (its alarm is armed), its first command unanswered.
	ASSERT_TRUE(harness::system_log().wait_for("alarm_time 153", 10s)) << harness::system_log().dump();
	std::this_thread::sleep_for(500ms);
	auto start = std::chrono::steady_clock::now();
	w.daemon.signal(SIGTERM);
	auto st = w.daemon.wait(10s);
	caller.join();
	EXPECT_TRUE(st.exited && st.code == 0);
	EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
	EXPECT_EQ(reply_code(r.out), 5) << r.out << r.err;
}

TEST_F(service_e2e, link_down_gives_code_2_without_respone)
{
	start_all();
	sim("refuse on");
	sim("drop");
	harness::system_log().clear();
	EXPECT_EQ(bus_send("ravel.cpe.reset").status.code, 0);
	ASSERT_TRUE(harness::system_log().wait_for("recieve event reset\n", 5s))
		<< harness::system_log().dump();
	std::this_thread::sleep_for(300ms);

	auto r = bus_call(R"({"cmd":"AT"})");
	EXPECT_EQ(reply_code(r.out), 2) << r.out;
	EXPECT_EQ(r.out.find("respone"), std::string::npos) << r.out;

	sim("refuse off");
	EXPECT_TRUE(harness::system_log().wait_for("attach_odu ok", 5s));
	EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT"})").out), 0);
}

TEST_F(service_e2e, framed_module_not_ready_gives_6)
{
	start_all({"-f", "--no-ready"}, "RM520N");
	ASSERT_TRUE(harness::system_log().wait_for("attach_odu ok", 10s)) << harness::system_log().dump();
	auto r = bus_call(R"({"cmd":"AT"})");
	EXPECT_EQ(reply_code(r.out), 6) << r.out;
	EXPECT_EQ(r.out.find("respone"), std::string::npos) << r.out;
}

TEST_F(service_e2e, other_methods_are_not_found)
{
	start_all();
	auto r = bus_call(R"({"cmd":"AT"})", "at_log_level");
	EXPECT_NE(r.status.code, 0);
	EXPECT_NE(r.err.find("Method not found"), std::string::npos) << r.err;
}

TEST_F(service_e2e, reset_event_rebuilds_the_link)
{
	start_all();
	harness::system_log().clear();
	EXPECT_EQ(bus_send("ravel.cpe.reset").status.code, 0);
	auto line = harness::system_log().wait_for("recieve event reset\n", 5s);
	ASSERT_TRUE(line) << harness::system_log().dump();
	EXPECT_EQ(line->level, 4);
	EXPECT_TRUE(harness::system_log().wait_for("attach_odu ok", 5s));
	EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT"})").out), 0);
}

TEST_F(service_e2e, bus_restart_reconnects_under_the_same_name)
{
	start_all();
	harness::system_log().clear();
	w.bus.signal(SIGTERM);
	w.bus.wait(5s);
	auto retry = harness::system_log().wait_for("failed to reconnect, trying again in 2 seconds", 5s);
	ASSERT_TRUE(retry) << harness::system_log().dump();
	EXPECT_EQ(retry->level, 3);
	// It keeps trying (every 2 s) while the bus is away.
	for (int i = 0; i < 100 && lines_of("ravel_tools", "failed to reconnect").size() < 2; i++)
		std::this_thread::sleep_for(100ms);
	EXPECT_GE(lines_of("ravel_tools", "failed to reconnect").size(), 2u);

	start_bus();
	auto back = harness::system_log().wait_for_regex("reconnected to ubus, new id: [0-9a-f]{8}", 5s);
	ASSERT_TRUE(back) << harness::system_log().dump();
	EXPECT_EQ(back->level, 4);
	EXPECT_EQ(reply_code(bus_call(R"({"cmd":"AT"})").out), 0);

	// The reset event still reaches the daemon on its new connection.
	EXPECT_EQ(bus_send("ravel.cpe.reset").status.code, 0);
	EXPECT_TRUE(harness::system_log().wait_for("recieve event reset\n", 5s))
		<< harness::system_log().dump();
}

TEST_F(service_e2e, second_daemon_on_the_channel_runs_without_object)
{
	start_all();
	harness::system_log().clear();
	process second = process::spawn({harness::program_path("ravel_tools"), "-i", "cpe"});
	auto line = harness::system_log().wait_for("Failed to publish object", 10s);
	ASSERT_TRUE(line) << harness::system_log().dump();
	EXPECT_EQ(line->text, "Failed to publish object 'ravelcpe': Invalid argument");
	EXPECT_EQ(line->level, 3);
	EXPECT_EQ(line->pid, second.pid());
	std::this_thread::sleep_for(500ms);
	EXPECT_TRUE(second.running());
	// The first daemon still owns the object (the simulator serves only the
	// newest connection, so the code itself may tell of a lost link).
	EXPECT_GE(reply_code(bus_call(R"({"cmd":"AT"})").out), 0);
	second.signal(SIGTERM);
	EXPECT_TRUE(second.wait(5s).exited);
}

} // namespace
