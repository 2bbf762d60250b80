// SPDX-License-Identifier: ISC
// The system log of the sandbox: /dev/log read by a thread, lines parsed.
#include "harness.h"
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <regex.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>

namespace harness {

namespace {

// A substring that ends with a newline also matches at the end of a text,
// which never keeps its last one.
bool holds(const std::string &text, const std::string &substring)
{
	if (text.find(substring) != std::string::npos)
		return true;
	if (substring.empty() || substring.back() != '\n')
		return false;
	size_t n = substring.size() - 1;
	return text.size() >= n && text.compare(text.size() - n, n, substring, 0, n) == 0;
}

} // namespace

std::optional<log_line> parse_log_line(const std::string &raw)
{
	std::string s = raw;
	while (!s.empty() && s.back() == '\0')
		s.pop_back();
	// musl ends every message with a newline, glibc sends the text as it
	// is: the text, as a log reader shows it, never ends with one.
	if (!s.empty() && s.back() == '\n')
		s.pop_back();
	if (s.size() < 3 || s[0] != '<')
		return std::nullopt;
	size_t close_pos = s.find('>');
	if (close_pos == std::string::npos || close_pos == 1 || close_pos > 4)
		return std::nullopt;
	int pri = 0;
	for (size_t i = 1; i < close_pos; i++) {
		if (s[i] < '0' || s[i] > '9')
			return std::nullopt;
		pri = pri * 10 + (s[i] - '0');
	}
	log_line line;
	line.raw = raw;
	line.level = pri & 7;
	line.facility = pri >> 3;

	// "Mmm dd hh:mm:ss " as glibc writes it.
	std::string rest = s.substr(close_pos + 1);
	if (rest.size() > 16 && rest[3] == ' ' && rest[6] == ' ' && rest[9] == ':' && rest[12] == ':' &&
	    rest[15] == ' ') {
		line.timestamp = rest.substr(0, 15);
		rest = rest.substr(16);
	}
	size_t colon = rest.find(": ");
	if (colon == std::string::npos)
		return std::nullopt;
	std::string tag = rest.substr(0, colon);
	line.text = rest.substr(colon + 2);
	size_t bracket = tag.find('[');
	if (bracket != std::string::npos && tag.back() == ']') {
		line.ident = tag.substr(0, bracket);
		line.pid = std::atoi(tag.substr(bracket + 1, tag.size() - bracket - 2).c_str());
	} else {
		line.ident = tag;
	}
	return line;
}

syslog_capture::syslog_capture()
{
	if (!in_sandbox())
		throw std::runtime_error("the syslog capture needs the sandbox");
	fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd_ < 0)
		throw std::runtime_error(errno_text("socket"));
	int size = 4 << 20;
	setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
	struct sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	strcpy(addr.sun_path, "/dev/log");
	unlink(addr.sun_path);
	if (bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
		close(fd_);
		throw std::runtime_error(errno_text("binding /dev/log"));
	}
	chmod(addr.sun_path, 0666);
	if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
		close(fd_);
		throw std::runtime_error(errno_text("pipe"));
	}
	thread_ = std::thread([this] { drain(); });
}

syslog_capture::~syslog_capture()
{
	(void)!write(stop_pipe_[1], "x", 1);
	if (thread_.joinable())
		thread_.join();
	close(stop_pipe_[0]);
	close(stop_pipe_[1]);
	close(fd_);
}

void syslog_capture::drain()
{
	std::vector<char> buf(64 * 1024);
	for (;;) {
		struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
		if (poll(fds, 2, -1) < 0) {
			if (errno == EINTR)
				continue;
			return;
		}
		if (fds[1].revents)
			return;
		for (;;) {
			ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
			if (n < 0)
				break;
			std::string raw(buf.data(), static_cast<size_t>(n));
			log_line line;
			if (auto parsed = parse_log_line(raw))
				line = *parsed;
			else
				line.raw = line.text = raw;
			line.received = std::chrono::steady_clock::now();
			std::lock_guard lock(mutex_);
			lines_.push_back(std::move(line));
			cv_.notify_all();
		}
	}
}

std::vector<log_line> syslog_capture::lines()
{
	std::lock_guard lock(mutex_);
	return lines_;
}

template <typename Pred>
std::optional<log_line> syslog_capture::wait_until(Pred pred, ms deadline)
{
	auto end = std::chrono::steady_clock::now() + deadline;
	std::unique_lock lock(mutex_);
	size_t seen = 0;
	for (;;) {
		for (; seen < lines_.size(); seen++)
			if (pred(lines_[seen]))
				return lines_[seen];
		if (cv_.wait_until(lock, end) == std::cv_status::timeout) {
			for (; seen < lines_.size(); seen++)
				if (pred(lines_[seen]))
					return lines_[seen];
			return std::nullopt;
		}
	}
}

std::optional<log_line> syslog_capture::wait_for(const std::string &substring, ms deadline)
{
	return wait_until([&](const log_line &l) { return holds(l.text, substring); }, deadline);
}

std::optional<log_line> syslog_capture::wait_for_regex(const std::string &pattern, ms deadline)
{
	regex_t re;
	if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
		throw std::invalid_argument("bad pattern: " + pattern);
	auto found = wait_until(
		[&](const log_line &l) { return regexec(&re, l.text.c_str(), 0, nullptr, 0) == 0; },
		deadline);
	regfree(&re);
	return found;
}

std::vector<log_line> syslog_capture::find(const std::string &substring)
{
	std::vector<log_line> out;
	std::lock_guard lock(mutex_);
	for (const auto &l : lines_)
		if (holds(l.text, substring))
			out.push_back(l);
	return out;
}

void syslog_capture::clear()
{
	std::lock_guard lock(mutex_);
	lines_.clear();
}

std::string syslog_capture::dump()
{
	std::string out;
	std::lock_guard lock(mutex_);
	for (const auto &l : lines_) {
		out += l.raw;
		if (out.empty() || out.back() != '\n')
			out += '\n';
	}
	return out;
}

syslog_capture &system_log()
{
	static syslog_capture capture;
	return capture;
}

} // namespace harness
