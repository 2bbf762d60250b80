// SPDX-License-Identifier: ISC
// Prints: decode throughput of 0xA0 answer frames, and the time the chat
// engine takes to collect answers of growing size from a local peer, with
// the cost per byte so that linear growth is visible.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "common/log.h"
#include "link/chat.h"
#include "link/framing.h"

using clk = std::chrono::steady_clock;

namespace {

std::string frame(const std::string &payload)
{
	std::string f;
	f += '\xA0';
	f += static_cast<char>((payload.size() >> 8) & 0xff);
	f += static_cast<char>(payload.size() & 0xff);
	return f + payload;
}

void bench_decode()
{
	at_channel ch = {};
	ch.link_fd = -1;
	for (size_t payload : {16u, 256u, 1020u}) {
		std::string read = frame(std::string(payload, 'x'));
		read += '\0';
		const int n = static_cast<int>(read.size() - 1);
		size_t bytes = 0;
		long calls = 0;
		auto start = clk::now();
		auto until = start + std::chrono::milliseconds(500);
		while (clk::now() < until) {
			for (int i = 0; i < 1000; i++) {
				int len = 0;
				char *text = rgmii_decode(&ch, read.data(), n, &len);
				free(text);
			}
			bytes += static_cast<size_t>(n) * 1000;
			calls += 1000;
		}
		double s = std::chrono::duration<double>(clk::now() - start).count();
		printf("decode 0xA0 frame, payload %5zu B: %8.1f MB/s, %6.1f ns/frame\n", payload,
		       bytes / s / 1e6, s * 1e9 / calls);
	}
}

// The floor: the same select and 1023-byte reads with nothing else done.
double floor_once(int fd, size_t size)
{
	static char sink[1024];
	size_t got = 0;
	auto start = clk::now();
	while (got < size) {
		fd_set set;
		FD_ZERO(&set);
		FD_SET(fd, &set);
		timeval tv = {0, 500000};
		if (select(fd + 1, &set, nullptr, nullptr, &tv) <= 0)
			break;
		ssize_t n = read(fd, sink, 1023);
		if (n <= 0)
			break;
		got += static_cast<size_t>(n);
	}
	return std::chrono::duration<double>(clk::now() - start).count();
}

double collect_once(size_t size, bool floor_only)
{
	int fds[2];
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
		return -1;
	int buf = 4 * 1024 * 1024;
	setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
	std::string body;
	body.reserve(size);
	while (body.size() + 6 < size)
		body += static_cast<char>('a' + body.size() % 7);
	body += "\r\nOK\r\n";

	at_channel ch = {};
	ch.link_fd = fds[0];
	ch.link_state = LINK_ATTACHED;
	// The whole answer is queued before the clock starts, so only the
	// engine's own work is measured (one select and one read per 1023 bytes).
	size_t done = 0;
	while (done < body.size()) {
		ssize_t n = write(fds[1], body.data() + done, body.size() - done);
		if (n <= 0)
			break;
		done += static_cast<size_t>(n);
	}
	if (floor_only) {
		double s = floor_once(fds[0], body.size());
		close(fds[0]);
		close(fds[1]);
		return s;
	}
	char *answer = nullptr;
	int len = 0;
	auto start = clk::now();
	chat_recv(&ch, &answer, &len, nullptr, 3000);
	double s = std::chrono::duration<double>(clk::now() - start).count();
	if (static_cast<size_t>(len) != body.size())
		fprintf(stderr, "collected %d of %zu bytes\n", len, body.size());
	free(answer);
	close(fds[0]);
	close(fds[1]);
	return s;
}

void bench_collect()
{
	for (size_t kib : {4u, 16u, 64u, 128u, 256u}) {
		std::vector<double> runs, floors;
		for (int i = 0; i < 15; i++) {
			runs.push_back(collect_once(kib * 1024, false));
			floors.push_back(collect_once(kib * 1024, true));
		}
		std::sort(runs.begin(), runs.end());
		std::sort(floors.begin(), floors.end());
		// The best run shows the cost of the work; the median also holds
		// whatever else the machine was doing.
		const double bytes = kib * 1024.0;
		printf("collect %4zu KiB answer: best %8.1f us (%5.2f ns/byte), median %8.1f us; "
		       "select+read floor best %8.1f us (%5.2f ns/byte)\n",
		       kib, runs[0] * 1e6, runs[0] * 1e9 / bytes, runs[runs.size() / 2] * 1e6,
		       floors[0] * 1e6, floors[0] * 1e9 / bytes);
	}
}

} // namespace

int main()
{
	log_threshold = -1;
	signal(SIGPIPE, SIG_IGN);
	bench_decode();
	bench_collect();
	return 0;
}
