// SPDX-License-Identifier: ISC
#pragma once

#include <chrono>
#include <string>
#include <vector>

// Runs the simulator as a child process in a scratch directory, with its
// port file, control socket and received log there, and talks to it.
class sim_process {
public:
	// extra: options besides those the fixture adds itself.
	explicit sim_process(std::vector<std::string> extra, bool control_stdin = false);
	~sim_process();
	sim_process(const sim_process &) = delete;
	sim_process &operator=(const sim_process &) = delete;

	int port() const { return port_; }
	const std::string &dir() const { return dir_; }
	// One control command over the unix socket; returns its reply line.
	std::string control(const std::string &line) const;
	// One control command through standard input (control_stdin set).
	std::string control_stdin(const std::string &line);
	std::string log_text() const;
	// Ends the process with SIGTERM and returns its exit status.
	int stop();

private:
	std::string dir_;
	int port_ = -1;
	int pid_ = -1;
	int stdin_fd_ = -1;
	int stdout_fd_ = -1;
	std::string stdout_buf_;
};

// Socket helpers; every wait is bounded.
int tcp_connect_to(int port); // -1 on failure
int udp_connect_to(int port);
void send_bytes(int fd, const std::string &bytes);
// Reads until `want` appears or the time runs out; returns all read.
std::string read_until(int fd, const std::string &want, int timeout_ms = 2000);
// One read (a datagram on UDP); empty when nothing came in time.
std::string read_once(int fd, int timeout_ms);
// Reads whatever arrives within the time.
std::string read_for(int fd, int ms);
// Reads until the peer closes (or the time runs out); sets *closed.
std::string read_to_close(int fd, int timeout_ms, bool *closed);
std::string frame_bytes(unsigned type, const std::string &payload);
long long now_ms();
