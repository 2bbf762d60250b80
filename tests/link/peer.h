// SPDX-License-Identifier: ISC
// A scripted modem module on the other end of a socketpair, run on its own
// thread, for driving the chat engine without a network.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "link/at_channel.h"

namespace linktest {

using namespace std::chrono_literals;

class peer_end {
public:
	explicit peer_end(int fd) : fd_(fd) {}
	// Reads until `end` arrives (included) or the deadline; what was read.
	std::string read_until(char end, std::chrono::milliseconds deadline = 5s);
	// Reads exactly n bytes unless the deadline or the end of the stream comes first.
	std::string read_n(size_t n, std::chrono::milliseconds deadline = 5s);
	// Everything that arrives within the quiet time.
	std::string drain(std::chrono::milliseconds quiet = 100ms);
	void send(const std::string &bytes);
	void close_now();
	int fd() const { return fd_; }

private:
	int fd_;
};

// Owns both ends: link_fd() is the daemon's side (blocking mode as the
// engine leaves it), the script runs on the module's side.
class peer {
public:
	peer();
	~peer();
	int link_fd() const { return fds_[0]; }
	void run(std::function<void(peer_end &)> script);
	void join();
	// Fills the daemon-to-module direction so that the next write blocks.
	void fill_link();

private:
	int fds_[2] = {-1, -1};
	std::thread thread_;
};

// A record as the configuration leaves it, attached to fd.
at_channel plain_channel(int fd);
at_channel framed_channel(int fd, bool ready);

std::string rgmii_frame(unsigned char type, const std::string &payload);

} // namespace linktest
