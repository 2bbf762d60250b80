// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "common/log.h"
#include "common/bus_call.h"
#include "link/link.h"
#include "link/loss.h"
#include "link/poll.h"
#include "link/transport.h"
#include "peer.h"

using namespace linktest;

namespace {

class link_unit : public ::testing::Test {
protected:
	void SetUp() override { log_threshold = -1; }
};

std::string take(char *text)
{
	std::string s = text ? text : "(null)";
	free(text);
	return s;
}

TEST_F(link_unit, link_state_text_attached_and_detached)
{
	at_channel ch = plain_channel(-1);
	char name[LINK_STATE_NAME_SIZE];
	EXPECT_EQ(take(link_state_text(&ch, 1, name)),
		  "{\n\t\"name\": \"ravel_tools_cpe\",\n\t\"type\": 2,\n\t\"parameter\": {\n"
		  "\t\t\"channel\": \"cpe\",\n\t\t\"server\": \"127.0.0.1\",\n\t\t\"port\": 5000,\n"
		  "\t\t\"proto\": \"tcp\"\n\t}\n}");
	EXPECT_STREQ(name, "ravel_tools_cpe");
	EXPECT_EQ(take(link_state_text(&ch, 0, nullptr)),
		  "{\n\t\"name\": \"ravel_tools_cpe\",\n\t\"type\": 2,\n\t\"parameter\": {\n\t\t\n\t}\n}");
	EXPECT_EQ(link_state_text(nullptr, 1, name), nullptr);
}

TEST_F(link_unit, loss_notice_after_more_than_600_seconds)
{
	at_channel ch = plain_channel(-1);
	link_lost_check_at(&ch, 5000); // nothing pending
	EXPECT_EQ(ch.lost_since, 0u);

	ch.lost_since = 1000;
	link_lost_check_at(&ch, 1600);
	EXPECT_EQ(ch.lost_since, 1000u);
	link_lost_check_at(&ch, 1601);
	EXPECT_EQ(ch.lost_since, 0u);

	// The difference is taken modulo 2^32, like the counter itself.
	ch.lost_since = 0xFFFFFF00u;
	link_lost_check_at(&ch, 0x100u);
	EXPECT_EQ(ch.lost_since, 0xFFFFFF00u);
	link_lost_check_at(&ch, 0x200u);
	EXPECT_EQ(ch.lost_since, 0u);

	// A noted loss keeps its first second; clear forgets it.
	ch.lost_since = 77;
	link_lost_note(&ch);
	EXPECT_EQ(ch.lost_since, 77u);
	link_lost_clear(&ch);
	EXPECT_EQ(ch.lost_since, 0u);
}

TEST_F(link_unit, heartbeat_every_50th_counted_run)
{
	at_channel ch = plain_channel(3);
	ch.poll_count = 0;
	EXPECT_TRUE(poll_heartbeat_due(&ch));
	ch.poll_count = 1;
	EXPECT_FALSE(poll_heartbeat_due(&ch));
	ch.poll_count = 50;
	EXPECT_TRUE(poll_heartbeat_due(&ch));
	ch.heartbeat_interval = 0;
	EXPECT_FALSE(poll_heartbeat_due(&ch));
	ch.heartbeat_interval = 100; // shorter than a run: every run, no division by zero
	ch.poll_count = 7;
	EXPECT_TRUE(poll_heartbeat_due(&ch));

	at_channel framed = framed_channel(3, false);
	framed.poll_count = 0;
	EXPECT_FALSE(poll_heartbeat_due(&framed));
	framed.rgmii_ready = 1;
	EXPECT_TRUE(poll_heartbeat_due(&framed));
}

TEST_F(link_unit, runs_held_up_by_a_request_keep_the_heartbeat_rhythm)
{
	at_channel ch = plain_channel(3);
	ch.poll_count = 48;
	EXPECT_FALSE(poll_heartbeat_due_in(&ch, 2)); // runs 48, 49
	EXPECT_TRUE(poll_heartbeat_due_in(&ch, 3));  // run 50 among them
	ch.poll_count = 1;
	EXPECT_FALSE(poll_heartbeat_due_in(&ch, 49));
	EXPECT_TRUE(poll_heartbeat_due_in(&ch, 50));
}

TEST_F(link_unit, transport_argument_checks)
{
	EXPECT_EQ(fd_set_blocking(-1), -1);
	EXPECT_EQ(fd_set_nonblocking(-1), -1);
	EXPECT_EQ(tcp_connect("127.0.0.1", 0, 1), -1);
	EXPECT_EQ(tcp_connect("127.0.0.1", -4, 1), -1);
	EXPECT_EQ(tcp_connect("", 5000, 1), -1);
	EXPECT_EQ(tcp_connect(nullptr, 5000, 1), -1);
	EXPECT_EQ(udp_connect("", 5000, 1), -1);
	EXPECT_EQ(tcp_connect("localhost", 5000, 1), -1);
	EXPECT_EQ(udp_connect("1.2.3", 5000, 1), -1);
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

TEST_F(link_unit, tcp_connect_sets_send_timeout_and_mode)
{
	uint16_t port = 0;
	int lfd = listener(&port);
	// Above 65535 the low 16 bits are the port.
	int fd = tcp_connect("127.0.0.1", port + 65536, 1);
	ASSERT_GE(fd, 0);
	EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
	timeval tv = {};
	socklen_t len = sizeof(tv);
	getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
	EXPECT_EQ(tv.tv_sec, 2);
	EXPECT_EQ(fd_set_blocking(fd), 0);
	EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
	close(fd);

	fd = tcp_connect("127.0.0.1", port, 0);
	ASSERT_GE(fd, 0);
	EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
	close(fd);
	close(lfd);

	// Nobody listens any more: refused, nothing left open.
	EXPECT_EQ(tcp_connect("127.0.0.1", port, 1), -1);
}

TEST_F(link_unit, udp_connect_succeeds_without_a_listener)
{
	int fd = udp_connect("127.0.0.1", 9, 1);
	ASSERT_GE(fd, 0);
	EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
	close(fd);
}

TEST_F(link_unit, bus_call_refuses_incomplete_records)
{
	EXPECT_EQ(bus_call_once(nullptr), -1);
	bus_call call = {};
	call.method = "notify_proto";
	EXPECT_EQ(bus_call_once(&call), -1);
	call.path = "";
	EXPECT_EQ(bus_call_once(&call), -1);
	call.path = "network.interface";
	call.method = "";
	EXPECT_EQ(bus_call_once(&call), -1);
}

} // namespace
