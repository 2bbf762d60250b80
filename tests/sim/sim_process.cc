// SPDX-License-Identifier: ISC
#include "sim_process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

long long now_ms()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

sim_process::sim_process(std::vector<std::string> extra, bool control_stdin)
{
	char tmpl[] = "/tmp/ravel_sim_test.XXXXXX";
	if (!mkdtemp(tmpl))
		throw std::runtime_error("mkdtemp failed");
	dir_ = tmpl;
	std::vector<std::string> args = {RAVEL_MODEM_SIM_PATH, "--port-file", dir_ + "/port", "--control",
					 dir_ + "/ctl",        "--log",       dir_ + "/log",  "-q"};
	if (!control_stdin)
		args.push_back("--no-stdin");
	args.insert(args.end(), extra.begin(), extra.end());

	int in_pipe[2], out_pipe[2];
	if (pipe2(in_pipe, O_CLOEXEC) < 0 || pipe2(out_pipe, O_CLOEXEC) < 0)
		throw std::runtime_error("pipe failed");
	pid_ = fork();
	if (pid_ == 0) {
		dup2(in_pipe[0], STDIN_FILENO);
		dup2(out_pipe[1], STDOUT_FILENO);
		std::vector<char *> argv;
		for (auto &a : args)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		execv(argv[0], argv.data());
		_exit(127);
	}
	close(in_pipe[0]);
	close(out_pipe[1]);
	stdin_fd_ = in_pipe[1];
	stdout_fd_ = out_pipe[0];

	long long deadline = now_ms() + 5000;
	while (now_ms() < deadline) {
		std::ifstream f(dir_ + "/port");
		if (f >> port_)
			break;
		int status;
		if (waitpid(pid_, &status, WNOHANG) == pid_) {
			pid_ = -1; // it refused to start
			break;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	if (port_ <= 0) {
		stop();
		close(stdin_fd_);
		close(stdout_fd_);
		std::error_code ec;
		std::filesystem::remove_all(dir_, ec);
		throw std::runtime_error("simulator did not start");
	}
}

sim_process::~sim_process()
{
	// A clean end is exit status 0; a sanitizer report in the simulator is not.
	if (pid_ > 0) {
		int status = stop();
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "simulator status " << status;
	}
	if (stdin_fd_ >= 0)
		close(stdin_fd_);
	if (stdout_fd_ >= 0)
		close(stdout_fd_);
	std::error_code ec;
	std::filesystem::remove_all(dir_, ec);
}

int sim_process::stop()
{
	if (pid_ <= 0)
		return -1;
	kill(pid_, SIGTERM);
	int status = 0;
	waitpid(pid_, &status, 0);
	pid_ = -1;
	return status;
}

std::string sim_process::control(const std::string &line) const
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	std::string path = dir_ + "/ctl";
	memcpy(addr.sun_path, path.c_str(), path.size() + 1);
	if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
		close(fd);
		return "connect failed";
	}
	send_bytes(fd, line + "\n");
	std::string reply = read_until(fd, "\n", 3000);
	close(fd);
	if (!reply.empty() && reply.back() == '\n')
		reply.pop_back();
	return reply;
}

std::string sim_process::control_stdin(const std::string &line)
{
	std::string data = line + "\n";
	if (write(stdin_fd_, data.data(), data.size()) < 0)
		return "write failed";
	long long deadline = now_ms() + 3000;
	size_t end;
	while ((end = stdout_buf_.find('\n')) == std::string::npos ||
	       stdout_buf_.compare(0, 10, "listening ") == 0) {
		if (end != std::string::npos) {
			stdout_buf_.erase(0, end + 1); // the start-up line
			continue;
		}
		pollfd p{stdout_fd_, POLLIN, 0};
		long long left = deadline - now_ms();
		if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
			return "timeout";
		char buf[512];
		ssize_t n = read(stdout_fd_, buf, sizeof buf);
		if (n <= 0)
			return "eof";
		stdout_buf_.append(buf, static_cast<size_t>(n));
	}
	std::string reply = stdout_buf_.substr(0, end);
	stdout_buf_.erase(0, end + 1);
	return reply;
}

std::string sim_process::log_text() const
{
	std::ifstream f(dir_ + "/log");
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

static int connect_to(int type, int port)
{
	int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

int tcp_connect_to(int port)
{
	return connect_to(SOCK_STREAM, port);
}

int udp_connect_to(int port)
{
	return connect_to(SOCK_DGRAM, port);
}

void send_bytes(int fd, const std::string &bytes)
{
	size_t done = 0;
	while (done < bytes.size()) {
		ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
		if (n <= 0)
			return;
		done += static_cast<size_t>(n);
	}
}

static bool read_some(int fd, std::string *out, int timeout_ms, bool *closed)
{
	pollfd p{fd, POLLIN, 0};
	if (poll(&p, 1, timeout_ms) <= 0)
		return false;
	char buf[65536];
	ssize_t n = recv(fd, buf, sizeof buf, 0);
	if (n <= 0) {
		if (closed)
			*closed = true;
		return false;
	}
	out->append(buf, static_cast<size_t>(n));
	return true;
}

std::string read_once(int fd, int timeout_ms)
{
	std::string out;
	read_some(fd, &out, timeout_ms, nullptr);
	return out;
}

std::string read_until(int fd, const std::string &want, int timeout_ms)
{
	std::string out;
	long long deadline = now_ms() + timeout_ms;
	while (out.find(want) == std::string::npos) {
		long long left = deadline - now_ms();
		if (left <= 0 || !read_some(fd, &out, static_cast<int>(left), nullptr))
			break;
	}
	return out;
}

std::string read_for(int fd, int ms)
{
	std::string out;
	long long deadline = now_ms() + ms;
	for (long long left; (left = deadline - now_ms()) > 0;)
		if (!read_some(fd, &out, static_cast<int>(left), nullptr))
			break;
	return out;
}

std::string read_to_close(int fd, int timeout_ms, bool *closed)
{
	std::string out;
	*closed = false;
	long long deadline = now_ms() + timeout_ms;
	for (long long left; !*closed && (left = deadline - now_ms()) > 0;)
		if (!read_some(fd, &out, static_cast<int>(left), closed))
			break;
	return out;
}

std::string frame_bytes(unsigned type, const std::string &payload)
{
	std::string f;
	f += static_cast<char>(type);
	f += static_cast<char>(payload.size() >> 8);
	f += static_cast<char>(payload.size() & 0xff);
	return f + payload;
}
