// SPDX-License-Identifier: ISC
// The simulator as the daemon meets it: a process on a TCP or UDP port,
// plain or framed.
#include "sim_process.h"
#include "sim_test_util.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace {

std::string frame_of(unsigned type, const std::string &payload)
{
	return frame_bytes(type, payload);
}

} // namespace

TEST(SimLink, PlainTcpAnswersFromTheDefaultTable)
{
	sim_process sim({});
	fd_guard fd(tcp_connect_to(sim.port()));
	ASSERT_GE(fd, 0);
	send_bytes(fd, "AT\r");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "\r\nOK\r\n");
	send_bytes(fd, "ati\r");
	std::string ati = read_until(fd, "OK\r\n");
	EXPECT_NE(ati.find("Revision:"), std::string::npos);
	send_bytes(fd, "AT+CSQ\r\n"); // CRLF ending: one command, one answer
	EXPECT_EQ(read_until(fd, "OK\r\n"), "\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
	send_bytes(fd, "AT+UNKNOWN\r");
	EXPECT_EQ(read_until(fd, "ERROR\r\n"), "\r\nERROR\r\n");
	EXPECT_EQ(read_for(fd, 150), ""); // nothing extra
}

TEST(SimLink, EchoRepeatsTheCommandBeforeItsAnswer)
{
	sim_process sim({"--echo"});
	fd_guard fd(tcp_connect_to(sim.port()));
	send_bytes(fd, "AT\r");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "AT\r\r\nOK\r\n");
	send_bytes(fd, "ATE0\r");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "ATE0\r\r\nOK\r\n");
	send_bytes(fd, "AT\r");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "\r\nOK\r\n");
}

TEST(SimLink, TwoStepCommandPromptsThenTakesTextUpToCtrlZ)
{
	sim_process sim({});
	fd_guard fd(tcp_connect_to(sim.port()));
	send_bytes(fd, "AT+CMGS=\"+100\"\r");
	EXPECT_EQ(read_until(fd, "> "), "\r\n> ");
	send_bytes(fd, "first\rpart");
	EXPECT_EQ(read_for(fd, 150), ""); // a CR inside the text ends nothing
	send_bytes(fd, "\x1a");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
	send_bytes(fd, "AT+CMGS=\"+100\"\rsecond\x1a");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "\r\n> \r\n+CMGS: 2\r\n\r\nOK\r\n");
	EXPECT_NE(sim.log_text().find(" text first\\rpart\\x1a\n"), std::string::npos);
}

TEST(SimLink, AnswersComeFromFileAndControlAndTheDefaultIsConfigurable)
{
	char path[] = "/tmp/ravel_sim_answers.XXXXXX";
	int tmp = mkstemp(path);
	ASSERT_GE(tmp, 0);
	close(tmp);
	{
		std::ofstream f(path);
		f << "# comment\n\nAT+XTEMP => \\r\\n+XTEMP: 41\\r\\n\\r\\nOK\\r\\n\nAT+SILENT =>\n";
	}
	sim_process sim({"--answers", path, "--default-answer", "\\r\\n+CME ERROR: 4\\r\\n"});
	unlink(path);
	fd_guard fd(tcp_connect_to(sim.port()));
	send_bytes(fd, "at+xtemp\r");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "\r\n+XTEMP: 41\r\n\r\nOK\r\n");
	send_bytes(fd, "AT+SILENT\r");
	EXPECT_EQ(read_for(fd, 150), "");
	send_bytes(fd, "AT+WHAT\r");
	EXPECT_EQ(read_until(fd, "4\r\n"), "\r\n+CME ERROR: 4\r\n");
	EXPECT_EQ(sim.control("answer AT+WHAT => \\r\\nNOW\\r\\n\\r\\nOK\\r\\n"), "ok");
	EXPECT_EQ(sim.control("answer AT+BROKEN"), "error expected COMMAND => ANSWER or COMMAND =>> ANSWER");
	send_bytes(fd, "AT+WHAT\r");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "\r\nNOW\r\n\r\nOK\r\n");
}

TEST(SimLink, BadAnswersFileOrOptionsStopTheStart)
{
	EXPECT_THROW(sim_process({"--answers", "/nonexistent/answers"}), std::runtime_error);
	for (const char *bad : {"--port=70000", "--ready-delay=-1", "--bogus", "'--default-answer=\\q'"}) {
		std::string cmd = "timeout 5 " + std::string(RAVEL_MODEM_SIM_PATH) + " " + bad +
				  " --no-stdin 2>/dev/null";
		int status = system(cmd.c_str());
		EXPECT_EQ(WEXITSTATUS(status), 2) << bad;
	}
	std::string help = std::string(RAVEL_MODEM_SIM_PATH) + " --help";
	FILE *p = popen(help.c_str(), "r");
	ASSERT_NE(p, nullptr);
	std::string text;
	char buf[4096];
	while (size_t n = fread(buf, 1, sizeof buf, p))
		text.append(buf, n);
	EXPECT_EQ(pclose(p), 0);
	for (const char *word : {"--framed", "--ready-delay", "close-after", "refuse", "--log"})
		EXPECT_NE(text.find(word), std::string::npos) << word;
}

TEST(SimLink, FramedReadinessComesAfterTheDelayThenFramesAreAnswered)
{
	sim_process sim({"--framed", "--ready-delay", "300"});
	long long start = now_ms();
	fd_guard fd(tcp_connect_to(sim.port()));
	std::string ready = read_until(fd, "READY", 3000);
	long long took = now_ms() - start;
	EXPECT_EQ(ready, frame_of(0xE0, "RGMII_ATC_READY"));
	EXPECT_GE(took, 280);
	EXPECT_LT(took, 2500);

	send_bytes(fd, frame_of(0xA4, "AT+CSQ\r"));
	EXPECT_EQ(read_until(fd, "OK\r\n"), frame_of(0xA0, "\r\n+CSQ: 23,99\r\n\r\nOK\r\n"));
	// A command may be cut anywhere inside its frame.
	std::string f = frame_of(0xA4, "AT\r");
	send_bytes(fd, f.substr(0, 2));
	EXPECT_EQ(read_for(fd, 100), "");
	send_bytes(fd, f.substr(2));
	EXPECT_EQ(read_until(fd, "OK\r\n"), frame_of(0xA0, "\r\nOK\r\n"));
	// Heartbeats need no answer; they are recorded.
	send_bytes(fd, frame_of(0xE4, "HEARBEAT_REQ"));
	EXPECT_EQ(read_for(fd, 150), "");
	std::string log = sim.log_text();
	EXPECT_NE(log.find(" frame a4 AT+CSQ\\r\n"), std::string::npos);
	EXPECT_NE(log.find(" frame e4 HEARBEAT_REQ\n"), std::string::npos);
}

TEST(SimLink, FramedReadinessCanBeLowerCaseWithheldOrSentOnDemand)
{
	{
		sim_process sim({"--framed", "--ready-lower", "--heartbeat-reply"});
		fd_guard fd(tcp_connect_to(sim.port()));
		EXPECT_EQ(read_until(fd, "ready"), frame_of(0xE0, "rgmii_atc_ready"));
		send_bytes(fd, frame_of(0xE4, "HEARBEAT_REQ"));
		EXPECT_EQ(read_until(fd, "RSP"), frame_of(0xE4, "HEARBEAT_RSP"));
	}
	sim_process sim({"--framed", "--no-ready", "--ready-token", "RGMII_QMI_READY"});
	fd_guard fd(tcp_connect_to(sim.port()));
	EXPECT_EQ(read_for(fd, 300), "");
	EXPECT_EQ(sim.control("ready"), "ok");
	EXPECT_EQ(read_until(fd, "READY"), frame_of(0xE0, "RGMII_QMI_READY"));
}

TEST(SimLink, UdpAnswersGoToTheSenderAsDatagrams)
{
	sim_process sim({"--udp", "--echo"});
	fd_guard fd(udp_connect_to(sim.port()));
	send_bytes(fd, "AT\r");
	EXPECT_EQ(read_until(fd, "OK\r\n"), "AT\r\r\nOK\r\n");
	EXPECT_EQ(sim.control("urc \\r\\nQSCAN: 1\\r\\n"), "ok");
	EXPECT_EQ(read_until(fd, "1\r\n"), "\r\nQSCAN: 1\r\n");
}

TEST(SimLink, UdpFramedHugeAnswerIsSplitIntoBoundedFrames)
{
	sim_process sim({"--udp", "--framed", "--udp-chunk", "512"});
	fd_guard fd(udp_connect_to(sim.port()));
	EXPECT_EQ(sim.control("huge 5000"), "ok");
	send_bytes(fd, frame_of(0xA4, "AT\r"));
	// The first datagram starts the session: readiness first, then the answer.
	std::string text;
	bool ready = false;
	long long deadline = now_ms() + 3000;
	while (text.find("OK\r\n") == std::string::npos && now_ms() < deadline) {
		std::string dgram = read_once(fd, 500);
		if (dgram.empty())
			break;
		ASSERT_LE(dgram.size(), 512u);
		ASSERT_GE(dgram.size(), 3u);
		size_t len = static_cast<unsigned char>(dgram[1]) << 8 | static_cast<unsigned char>(dgram[2]);
		ASSERT_EQ(len + 3, dgram.size());
		if (static_cast<unsigned char>(dgram[0]) == 0xE0)
			ready = true;
		else
			text += dgram.substr(3);
	}
	EXPECT_TRUE(ready);
	EXPECT_EQ(text.size(), 5000u + 6);
}

TEST(SimLink, ReceivedLogHasMonotonicTimesAndEscapedBytes)
{
	sim_process sim({});
	fd_guard fd(tcp_connect_to(sim.port()));
	timespec before{}, after{};
	clock_gettime(CLOCK_MONOTONIC, &before);
	send_bytes(fd, "AT\r");
	read_until(fd, "OK\r\n");
	clock_gettime(CLOCK_MONOTONIC, &after);
	send_bytes(fd, "AT+X=\"\t\x01\"\n");
	read_until(fd, "ERROR\r\n");
	std::string log = sim.log_text();
	size_t at = log.find(" cmd AT\\r\n");
	ASSERT_NE(at, std::string::npos) << log;
	size_t line = log.rfind('\n', at);
	double t = std::stod(log.substr(line == std::string::npos ? 0 : line + 1));
	EXPECT_GE(t, before.tv_sec + before.tv_nsec / 1e9 - 0.001);
	EXPECT_LE(t, after.tv_sec + after.tv_nsec / 1e9 + 0.001);
	EXPECT_NE(log.find(" cmd AT+X=\"\\t\\x01\"\\n\n"), std::string::npos) << log;
	EXPECT_NE(log.find(" event connect 127.0.0.1:"), std::string::npos);
}
