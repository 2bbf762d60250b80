// SPDX-License-Identifier: ISC
// Link code touching the router's fixed paths (/tmp/oriel, /tmp/lumen_async_key,
// /proc/uptime, the system log): run inside the harness sandbox.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/files.h"
#include "common/log.h"
#include "common/bus_call.h"
#include "harness.h"
#include "link/chat.h"
#include "link/link.h"
#include "link/loss.h"
#include "link/poll.h"
#include "peer.h"

using namespace linktest;

namespace {

const std::string state_file = "/tmp/oriel/cache/ravel_tools_cpe";
const std::string scan_cache = "/tmp/oriel/tmp/lumen_cache";

class link_e2e : public harness::sandbox_test {
protected:
	void SetUp() override
	{
		harness::sandbox_test::SetUp();
		if (IsSkipped() || HasFatalFailure())
			return;
		log_threshold = 7;
		signal(SIGPIPE, SIG_IGN);
	}
	void TearDown() override
	{
		uloop_timeout_cancel(&ch.poll_timer);
		if (ch.link_fd >= 0 && ch.link_state == LINK_ATTACHED && own_fd)
			close(ch.link_fd);
		harness::sandbox_test::TearDown();
	}

	at_channel ch = {};
	bool own_fd = false;
};

// One poll run and what the link watch does when the module's text arrives.
void poll_run(at_channel &ch)
{
	poll_tick(&ch.poll_timer);
	link_read_pending(&ch, 16);
}

// An attach as the loop would finish it: 0 attached, -1 not.
int attach_now(at_channel &ch)
{
	attach_odu(&ch);
	for (int i = 0; i < 300 && link_connecting(&ch); i++) {
		std::this_thread::sleep_for(10ms);
		link_catch_up(&ch);
	}
	return ch.link_state == LINK_ATTACHED ? 0 : -1;
}

int listener(uint16_t *port)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
	listen(fd, 4);
	socklen_t len = sizeof(a);
	getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
	*port = ntohs(a.sin_port);
	return fd;
}

TEST_F(link_e2e, attach_and_detach_rewrite_the_state_file_once_each)
{
	uint16_t port = 0;
	int lfd = listener(&port);
	ch = plain_channel(-1);
	ch.port = port;
	own_fd = true;

	ASSERT_EQ(attach_now(ch), 0);
	EXPECT_EQ(ch.link_state, LINK_ATTACHED);
	EXPECT_GE(ch.link_fd, 0);
	EXPECT_TRUE(harness::system_log().wait_for("attach_odu ok"));
	// No bus in the sandbox: the notification fails and is only logged.
	EXPECT_TRUE(harness::system_log().wait_for("ubus connect failed"));
	EXPECT_EQ(harness::read_file(state_file).value_or("missing"),
		  "{\n\t\"name\": \"ravel_tools_cpe\",\n\t\"type\": 2,\n\t\"parameter\": {\n"
		  "\t\t\"channel\": \"cpe\",\n\t\t\"server\": \"127.0.0.1\",\n\t\t\"port\": " +
			  std::to_string(port) + ",\n\t\t\"proto\": \"tcp\"\n\t}\n}");

	unlink(state_file.c_str());
	EXPECT_EQ(attach_odu(&ch), 0); // already attached: nothing happens
	EXPECT_FALSE(harness::path_exists(state_file));

	disattach_odu(&ch);
	EXPECT_EQ(ch.link_state, LINK_DETACHED);
	EXPECT_EQ(ch.link_fd, -1);
	EXPECT_TRUE(ch.poll_timer.pending);
	EXPECT_EQ(harness::read_file(state_file).value_or("missing"),
		  "{\n\t\"name\": \"ravel_tools_cpe\",\n\t\"type\": 2,\n\t\"parameter\": {\n\t\t\n\t}\n}");

	unlink(state_file.c_str());
	uloop_timeout_cancel(&ch.poll_timer);
	disattach_odu(&ch); // second detach: no file, no timer
	EXPECT_FALSE(harness::path_exists(state_file));
	EXPECT_FALSE(ch.poll_timer.pending);
	close(lfd);
}

TEST_F(link_e2e, the_loop_reads_the_modules_text_when_it_arrives)
{
	// No poll run is armed here: only the loop's watch of the link can read.
	ASSERT_EQ(uloop_init(), 0);
	uint16_t port = 0;
	int lfd = listener(&port);
	ch = plain_channel(-1);
	ch.port = port;
	ASSERT_EQ(attach_now(ch), 0);
	int module = accept(lfd, nullptr, nullptr);
	ASSERT_GE(module, 0);
	EXPECT_FALSE(ch.poll_timer.pending);

	ASSERT_EQ(write(module, "+QSCAN: 5\r\n", 11), 11);
	for (int i = 0; i < 50 && !harness::path_exists(scan_cache); i++)
		uloop_run_timeout(20);
	EXPECT_EQ(harness::read_file(scan_cache).value_or("missing"), "+QSCAN: 5\r\n");
	EXPECT_TRUE(harness::system_log().wait_for("--- ", 1s));

	// The module closes its end: the watch drops the link.
	close(module);
	for (int i = 0; i < 50 && ch.link_state == LINK_ATTACHED; i++)
		uloop_run_timeout(20);
	EXPECT_EQ(ch.link_state, LINK_DETACHED);
	uloop_timeout_cancel(&ch.poll_timer);
	close(lfd);
	uloop_done();
}

TEST_F(link_e2e, poll_runs_wait_out_a_connect_and_resume_an_interval_after_it_ends)
{
	ASSERT_EQ(uloop_init(), 0);
	harness::black_hole hole;
	ASSERT_NE(hole.port, 0) << "no black-hole port";
	ch = plain_channel(-1);
	ch.port = static_cast<uint16_t>(hole.port);
	poll_timer_start(&ch);
	poll_tick(&ch.poll_timer);
	ASSERT_TRUE(link_connecting(&ch));
	// One run for the whole connect, not one every interval.
	EXPECT_GT(uloop_timeout_remaining64(&ch.poll_timer), LINK_CONNECT_TIMEOUT_MS);

	// The connect runs out of time: runs resume an interval later.
	uloop_timeout_set(&ch.connect_timer, 0);
	link_catch_up(&ch);
	EXPECT_FALSE(link_connecting(&ch));
	EXPECT_LE(uloop_timeout_remaining64(&ch.poll_timer), POLL_INTERVAL_MS);

	// A connect that succeeds: the first run (and heartbeat) an interval later.
	uint16_t port = 0;
	int lfd = listener(&port);
	ch.port = port;
	poll_tick(&ch.poll_timer);
	for (int i = 0; i < 100 && link_connecting(&ch); i++)
		uloop_run_timeout(10);
	ASSERT_EQ(ch.link_state, LINK_ATTACHED);
	EXPECT_LE(uloop_timeout_remaining64(&ch.poll_timer), POLL_INTERVAL_MS);
	own_fd = true;
	close(lfd);
	uloop_done();
}

TEST_F(link_e2e, failed_attach_leaves_the_record_alone)
{
	uint16_t port = 0;
	int lfd = listener(&port);
	close(lfd);
	ch = plain_channel(-1);
	ch.port = port;
	EXPECT_EQ(attach_now(ch), -1);
	EXPECT_FALSE(link_connecting(&ch));
	EXPECT_EQ(ch.link_state, LINK_NONE);
	EXPECT_EQ(ch.link_fd, -1);
	EXPECT_FALSE(harness::path_exists(state_file));

	// A framed module loses its readiness on detach; a never-attached link detaches too.
	ch = framed_channel(-1, true);
	disattach_odu(&ch);
	EXPECT_EQ(ch.rgmii_ready, 0u);
	EXPECT_EQ(ch.link_state, LINK_DETACHED);
	EXPECT_TRUE(harness::path_exists(state_file));
}

TEST_F(link_e2e, poll_run_heartbeat_and_scan_cache)
{
	peer p;
	ch = plain_channel(p.link_fd());
	p.run([&](peer_end &m) { m.send("+QSCAN: 1,2\r\n"); });
	p.join();

	poll_run(ch);
	EXPECT_EQ(ch.poll_count, 1);
	EXPECT_TRUE(ch.poll_timer.pending);
	EXPECT_EQ(harness::read_file(scan_cache).value_or("missing"), "+QSCAN: 1,2\r\n");

	std::string heard;
	p.run([&](peer_end &m) {
		heard = m.drain(100ms);
		m.send("no marker here\r\n");
	});
	p.join();
	EXPECT_EQ(heard, "AT\r");
	poll_run(ch); // run 2: no heartbeat, text without the marker
	EXPECT_EQ(harness::read_file(scan_cache).value_or("missing"), "+QSCAN: 1,2\r\n");

	// A key file with a line ending: only text holding it, ending included.
	harness::write_file("/tmp/lumen_async_key", "MARK\n");
	p.run([&](peer_end &m) {
		EXPECT_EQ(m.drain(100ms), "");
		m.send("MARK without newline");
	});
	p.join();
	poll_run(ch);
	p.run([&](peer_end &m) { m.send("MARK\nwith it"); });
	p.join();
	poll_run(ch);
	EXPECT_EQ(harness::read_file(scan_cache).value_or("missing"), "+QSCAN: 1,2\r\nMARK\nwith it");

	// An empty key file matches every text.
	harness::write_file("/tmp/lumen_async_key", "");
	p.run([&](peer_end &m) { m.send("anything"); });
	p.join();
	poll_run(ch);
	EXPECT_EQ(harness::read_file(scan_cache).value_or("missing"), "+QSCAN: 1,2\r\nMARK\nwith itanything");
	EXPECT_EQ(ch.poll_count, 5);
}

TEST_F(link_e2e, text_sent_on_its_own_is_taken_before_a_command_as_the_poll_run_takes_it)
{
	peer p;
	ch = plain_channel(p.link_fd());
	p.run([&](peer_end &m) {
		m.send("\r\n+QSCAN: 3,4\r\n\r\n+CREG: 1 OK\r\n");
		m.read_until('\r');
		m.send("ATI\r\r\nmodel\r\nOK\r\n");
	});
	// The link is read before the command goes out: nothing pending yet may
	// race the peer's first write.
	std::this_thread::sleep_for(100ms);
	EXPECT_EQ(chat(&ch, "ATI", nullptr, 3000), CHAT_OK);
	p.join();
	EXPECT_EQ(std::string(ch.answer, ch.answer_len), "ATI\r\r\nmodel\r\nOK\r\n");
	free(ch.answer);
	ch.answer = nullptr;
	EXPECT_EQ(harness::read_file(scan_cache).value_or("missing"),
		  "\r\n+QSCAN: 3,4\r\n\r\n+CREG: 1 OK\r\n");
	EXPECT_TRUE(harness::system_log().wait_for("--- ", 1s));
}

TEST_F(link_e2e, scan_cache_keeps_its_newest_half_past_256_kib)
{
	const std::string line = "+QSCAN: " + std::string(1000, '7') + "\r\n";
	for (int i = 0; i < 262; i++)
		poll_take_pending(&ch, line.c_str(), static_cast<int>(line.size()));
	auto cache = harness::read_file(scan_cache).value_or("");
	EXPECT_LE(cache.size(), SCAN_CACHE_MAX);
	EXPECT_GE(cache.size(), SCAN_CACHE_MAX / 2 - line.size());
	EXPECT_EQ(cache.compare(0, 9, "+QSCAN: 7"), 0) << "starts after a line break";
	ASSERT_TRUE(harness::system_log().wait_for("lumen_cache over"));
	EXPECT_EQ(harness::system_log().find("lumen_cache over").size(), 1u);

	// A link planted under the name is neither followed nor trimmed through.
	harness::write_file("/tmp/victim", std::string(SCAN_CACHE_MAX + 10, 'v'));
	unlink(scan_cache.c_str());
	ASSERT_EQ(symlink("/tmp/victim", scan_cache.c_str()), 0);
	size_t dropped = 1;
	EXPECT_EQ(trim_tmp_file("lumen_cache", SCAN_CACHE_MAX, &dropped), FILE_NOT_REGULAR);
	EXPECT_EQ(dropped, 0u);
	EXPECT_EQ(harness::read_file("/tmp/victim").value_or("").size(), SCAN_CACHE_MAX + 10);
}

TEST_F(link_e2e, framed_poll_waits_for_readiness_before_heartbeats)
{
	peer p;
	ch = framed_channel(p.link_fd(), false);
	p.run([&](peer_end &m) { m.send(rgmii_frame(0xE0, "RGMII_ATC_READY")); });
	p.join();
	poll_run(ch); // not ready: no heartbeat, no count; reads the announcement
	EXPECT_EQ(ch.poll_count, 0);
	EXPECT_EQ(ch.rgmii_ready, 1u);
	EXPECT_TRUE(harness::system_log().wait_for("odu ready 1"));

	poll_run(ch);
	EXPECT_EQ(ch.poll_count, 1);
	std::string heard;
	p.run([&](peer_end &m) { heard = m.drain(100ms); });
	p.join();
	EXPECT_EQ(heard, rgmii_frame(0xE4, "HEARBEAT_REQ"));
}

TEST_F(link_e2e, power_down_notice_after_601_seconds_of_loss)
{
	harness::set_uptime("12345.67 23456.78\n");
	ch = plain_channel(-1);
	link_lost_note(&ch);
	EXPECT_EQ(ch.lost_since, 12345u);
	EXPECT_TRUE(harness::system_log().wait_for("odu lose connection,tip 12345"));
	link_lost_note(&ch);
	EXPECT_EQ(harness::system_log().find("odu lose connection,tip").size(), 1u);

	harness::set_uptime("12945.99 0.00\n");
	link_lost_check(&ch);
	EXPECT_EQ(ch.lost_since, 12345u);
	harness::set_uptime("12946.00 0.00\n");
	link_lost_check(&ch);
	EXPECT_EQ(ch.lost_since, 0u);
	EXPECT_TRUE(harness::system_log().wait_for(
		"FFF odu lose connection,try power down,now 12946,record 12345"));
}

TEST_F(link_e2e, a_key_file_that_is_not_a_regular_file_counts_as_none)
{
	peer p;
	ch = plain_channel(p.link_fd());
	ch.poll_count = 1; // no heartbeat in these runs

	// A FIFO would hold the open, and so the daemon, until someone writes
	// to it; this writer frees a blocked open after 3 s.
	ASSERT_EQ(mkfifo("/tmp/lumen_async_key", 0600), 0);
	std::thread unblock([] {
		std::this_thread::sleep_for(3s);
		int fd = open("/tmp/lumen_async_key", O_WRONLY | O_NONBLOCK);
		if (fd >= 0)
			close(fd);
	});
	p.run([&](peer_end &m) { m.send("+QSCAN: 9\r\n"); });
	p.join();
	auto start = std::chrono::steady_clock::now();
	poll_run(ch);
	EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms); // the open is freed after 3 s
	unblock.join();

	// A link is not followed, even to a regular file: the default marker holds.
	unlink("/tmp/lumen_async_key");
	harness::write_file("/tmp/marker", "MARK");
	ASSERT_EQ(symlink("/tmp/marker", "/tmp/lumen_async_key"), 0);
	p.run([&](peer_end &m) { m.send("MARK only"); });
	p.join();
	poll_run(ch);
	EXPECT_EQ(harness::read_file(scan_cache).value_or("missing"), "+QSCAN: 9\r\n");
}

TEST_F(link_e2e, planted_paths_are_refused_once_per_cause_and_stale_temporaries_go)
{
	// A temporary left by a daemon killed mid-write goes when the daemon starts.
	std::filesystem::create_directories("/tmp/oriel/cache");
	harness::write_file("/tmp/oriel/cache/.ravel_tools_cpe.tmp", "half");
	uint16_t port = 0;
	close(listener(&port));
	ch = plain_channel(-1);
	ch.port = port;
	attach_and_poll(&ch);
	EXPECT_FALSE(harness::path_exists("/tmp/oriel/cache/.ravel_tools_cpe.tmp"));

	// /tmp/oriel made a link by someone else: refused, one line per cause.
	std::filesystem::remove_all("/tmp/oriel");
	std::filesystem::create_directories("/tmp/elsewhere");
	std::filesystem::create_directory_symlink("/tmp/elsewhere", "/tmp/oriel");
	for (int i = 0; i < 3; i++)
		write_link_state(&ch, 0);
	const std::string refused = "refuse to write /tmp/oriel/cache/ravel_tools_cpe: ";
	auto line = harness::system_log().wait_for(refused + "a directory on its path is a symbolic link");
	ASSERT_TRUE(line) << harness::system_log().dump();
	EXPECT_EQ(line->level, 3);
	std::filesystem::remove("/tmp/oriel");
	harness::write_file("/tmp/oriel", "");
	write_link_state(&ch, 0);
	write_link_state(&ch, 0);
	EXPECT_TRUE(harness::system_log().wait_for(refused + "a directory on its path is not a directory"));
	std::this_thread::sleep_for(200ms);
	EXPECT_EQ(harness::system_log().find(refused).size(), 2u) << harness::system_log().dump();
	EXPECT_TRUE(std::filesystem::is_empty("/tmp/elsewhere"));
}

TEST_F(link_e2e, a_stream_that_ended_drops_the_link_on_the_poll_run)
{
	// The module closed its end: the pending-text read finds the end.
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	ch = plain_channel(sv[0]);
	ch.poll_count = 1;
	close(sv[1]);
	poll_run(ch);
	EXPECT_EQ(ch.link_state, LINK_DETACHED);
	EXPECT_EQ(ch.link_fd, -1);
	EXPECT_EQ(harness::read_file(state_file).value_or("missing"),
		  "{\n\t\"name\": \"ravel_tools_cpe\",\n\t\"type\": 2,\n\t\"parameter\": {\n\t\t\n\t}\n}");

	// The module reads no more: the heartbeat cannot be written.
	uloop_timeout_cancel(&ch.poll_timer); // before the record is overwritten
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	ch = plain_channel(sv[0]);
	shutdown(sv[1], SHUT_RD);
	poll_run(ch);
	EXPECT_EQ(ch.link_state, LINK_DETACHED);
	close(sv[1]);

	// On a datagram link a read of nothing is an empty datagram, not an end.
	uloop_timeout_cancel(&ch.poll_timer);
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
	ch = plain_channel(sv[0]);
	snprintf(ch.proto, sizeof(ch.proto), "UDP");
	ch.poll_count = 1;
	own_fd = true;
	ASSERT_EQ(send(sv[1], "", 0, 0), 0);
	poll_run(ch);
	EXPECT_EQ(ch.link_state, LINK_ATTACHED);
	close(sv[1]);
}

TEST_F(link_e2e, a_module_silent_for_three_heartbeats_is_dropped_once_with_its_cause)
{
	peer p;
	ch = plain_channel(p.link_fd());
	ch.missed_heartbeats = -1;
	// Every run a heartbeat run; the first after the attach counts nothing.
	for (int run = 0; run < 3; run++) {
		ch.poll_count = 0;
		poll_run(ch);
		EXPECT_EQ(ch.link_state, LINK_ATTACHED) << run;
	}
	// A module that speaks is not gone.
	p.run([&](peer_end &m) { m.send("\r\nOK\r\n"); });
	p.join();
	link_read_pending(&ch, 16);
	ch.poll_count = 0;
	poll_run(ch);
	EXPECT_EQ(ch.missed_heartbeats, 0);
	for (int run = 0; run < 3; run++) {
		ch.poll_count = 0;
		poll_run(ch);
	}
	EXPECT_EQ(ch.link_state, LINK_DETACHED);
	EXPECT_TRUE(harness::system_log().wait_for("odu link of cpe lost: no answer to 3 heartbeats"));
	poll_tick(&ch.poll_timer); // nothing listens at the port: quiet
	EXPECT_EQ(harness::system_log().find("odu link of cpe lost").size(), 1u);
	uloop_timeout_cancel(&ch.poll_timer);
}

TEST_F(link_e2e, an_answer_dropped_at_the_cap_is_logged)
{
	log_threshold = 4; // the collection's traces would be a megabyte
	peer p;
	ch = plain_channel(p.link_fd());
	// The first answer fills one collection to its cap: 1024 windows of 1023.
	const size_t first = 1024 * 1023;
	p.run([&](peer_end &m) {
		m.read_until('\r');
		m.send(std::string(first - 6, 'x') + "\r\nOK\r\n");
		m.read_until('\r');
		m.send(std::string(1995, 'y') + "\r\nOK\r\n");
	});
	EXPECT_EQ(chat(&ch, "ATA|ATB", nullptr, 3000), CHAT_OK);
	p.join();
	EXPECT_EQ(ch.answer_len, first);
	free(ch.answer);
	ch.answer = nullptr;
	auto line = harness::system_log().wait_for("at answer full,drop 2001");
	ASSERT_TRUE(line) << harness::system_log().dump();
	EXPECT_EQ(line->level, 4);
}

// A bus daemon on the library's default socket and an object recording the
// calls it gets, both inside the sandbox.
class link_bus_e2e : public link_e2e {
protected:
	void SetUp() override
	{
		link_e2e::SetUp();
		if (IsSkipped() || HasFatalFailure())
			return;
		if (!harness::program_exists("ravel-busd") || !harness::program_exists("ravel-bus"))
			GTEST_SKIP() << "development bus programs not built";
		mkdir("/var/run/ubus", 0755);
		busd = harness::process::spawn({harness::program_path("ravel-busd")});
		ASSERT_TRUE(harness::wait_for_path("/var/run/ubus/ubus.sock", 5s));
	}

	void serve(const std::string &reply)
	{
		std::vector<std::string> argv = {harness::program_path("ravel-bus"),
						 "serve",
						 "network.interface",
						 "notify_proto,slow",
						 "--log",
						 "/tmp/calls.log"};
		if (!reply.empty()) {
			argv.push_back("--reply");
			argv.push_back(reply);
		}
		server = harness::process::spawn(argv);
		for (int i = 0; i < 50; i++) {
			auto r = harness::run(
				{harness::program_path("ravel-bus"), "list", "network.interface"}, 5s);
			if (r.out.find("network.interface") != std::string::npos)
				return;
			std::this_thread::sleep_for(100ms);
		}
		FAIL() << "object did not appear";
	}

	harness::process busd, server;
};

TEST_F(link_bus_e2e, proto_notification_reaches_the_interface_manager)
{
	serve("{\"ok\":1}");
	ch = plain_channel(-1);
	send_proto_notify(&ch);
	auto calls = harness::read_file("/tmp/calls.log").value_or("");
	EXPECT_EQ(calls, "notify_proto {\"interface\":\"cpe\",\"action\":5,\"available\":true}\n");
}

TEST_F(link_bus_e2e, one_shot_call_keeps_the_indented_reply)
{
	serve("{'state':'up','n':2}");
	bus_call call = {};
	call.method = "notify_proto";
	call.path = "network.interface";
	call.message = "{'interface':'cpe'}";
	EXPECT_EQ(bus_call_once(&call), 0);
	ASSERT_NE(call.reply, nullptr);
	EXPECT_STREQ(call.reply, "{\n\t\"state\": \"up\",\n\t\"n\": 2\n}");
	free(call.reply);

	// An empty message is allowed; a missing object is -1 without a message.
	call.reply = nullptr;
	call.message = nullptr;
	EXPECT_EQ(bus_call_once(&call), 0);
	free(call.reply);
	call.reply = nullptr;
	call.path = "no.such.object";
	EXPECT_EQ(bus_call_once(&call), -1);
	EXPECT_EQ(call.reply, nullptr);

	call.path = "network.interface";
	call.message = "{not json";
	EXPECT_EQ(bus_call_once(&call), -1);
	EXPECT_TRUE(harness::system_log().wait_for("Failed to parse message data"));
}

TEST_F(link_bus_e2e, no_bus_is_reported)
{
	busd.kill();
	unlink("/var/run/ubus/ubus.sock");
	bus_call call = {};
	call.method = "notify_proto";
	call.path = "network.interface";
	EXPECT_EQ(bus_call_once(&call), -1);
	EXPECT_TRUE(harness::system_log().wait_for("ubus connect failed"));
}

} // namespace
