// SPDX-License-Identifier: ISC
// Helpers for the bus tests: hex vectors, temporary folders, child processes.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using bytes = std::vector<uint8_t>;

// "00 01 ab" → bytes; whitespace ignored.
inline bytes hex(const std::string &s)
{
	bytes out;
	std::string digits;
	for (char c : s)
		if (std::isxdigit(static_cast<unsigned char>(c)))
			digits += c;
	for (size_t i = 0; i + 1 < digits.size(); i += 2)
		out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
	return out;
}

inline void put_be32(bytes &b, size_t off, uint32_t v)
{
	b[off] = uint8_t(v >> 24);
	b[off + 1] = uint8_t(v >> 16);
	b[off + 2] = uint8_t(v >> 8);
	b[off + 3] = uint8_t(v);
}

inline void put_be16(bytes &b, size_t off, uint16_t v)
{
	b[off] = uint8_t(v >> 8);
	b[off + 1] = uint8_t(v);
}

inline uint32_t get_be32(const bytes &b, size_t off)
{
	return uint32_t(b[off]) << 24 | uint32_t(b[off + 1]) << 16 | uint32_t(b[off + 2]) << 8 | b[off + 3];
}

struct temp_dir {
	std::filesystem::path path;
	temp_dir()
	{
		char tmpl[] = "/tmp/ravel-ubus-test-XXXXXX";
		path = mkdtemp(tmpl);
	}
	~temp_dir() { std::filesystem::remove_all(path); }
	std::string operator/(const std::string &name) const { return (path / name).string(); }
};

// A child process killed (SIGTERM, then reaped) when it goes out of scope.
struct child {
	pid_t pid = -1;
	child() = default;
	explicit child(std::vector<std::string> argv)
	{
		pid = fork();
		if (pid == 0) {
			std::vector<char *> a;
			for (auto &s : argv)
				a.push_back(s.data());
			a.push_back(nullptr);
			execv(a[0], a.data());
			_exit(127);
		}
	}
	child(child &&o) noexcept : pid(o.pid) { o.pid = -1; }
	child &operator=(child &&o) noexcept
	{
		stop();
		pid = o.pid;
		o.pid = -1;
		return *this;
	}
	~child() { stop(); }
	int stop(int sig = SIGTERM)
	{
		if (pid <= 0)
			return -1;
		kill(pid, sig);
		int status = 0;
		waitpid(pid, &status, 0);
		pid = -1;
		return status;
	}
};

inline bool can_connect(const std::string &path)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	path.copy(sun.sun_path, sizeof(sun.sun_path) - 1);
	bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) == 0;
	close(fd);
	return ok;
}

template <typename F>
bool wait_until(F cond, int ms = 5000)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
	while (std::chrono::steady_clock::now() < end) {
		if (cond())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	return cond();
}
