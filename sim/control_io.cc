// SPDX-License-Identifier: ISC
#include "sim/control_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace sim {

namespace {

bool write_all(int fd, std::string_view data, bool socket)
{
	while (!data.empty()) {
		ssize_t n = socket ? send(fd, data.data(), data.size(), MSG_NOSIGNAL)
				   : write(fd, data.data(), data.size());
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			pollfd p{fd, POLLOUT, 0};
			if (poll(&p, 1, 1000) <= 0)
				return false;
			continue;
		}
		if (n <= 0)
			return false;
		data.remove_prefix(static_cast<size_t>(n));
	}
	return true;
}

} // namespace

control_io::~control_io()
{
	if (listener_)
		unlink(path_.c_str());
}

bool control_io::listen_unix(const std::string &path, std::string *error)
{
	sockaddr_un addr{};
	if (path.empty() || path.size() >= sizeof addr.sun_path) {
		*error = "control socket path empty or too long: " + path;
		return false;
	}
	addr.sun_family = AF_UNIX;
	memcpy(addr.sun_path, path.c_str(), path.size() + 1);
	unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
	if (!fd) {
		*error = std::string("control socket: ") + strerror(errno);
		return false;
	}
	unlink(path.c_str());
	if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(fd.get(), 8) < 0) {
		*error = "control socket " + path + ": " + strerror(errno);
		return false;
	}
	listener_ = std::move(fd);
	path_ = path;
	return true;
}

void control_io::add_pollfds(std::vector<pollfd> *fds) const
{
	if (listener_)
		fds->push_back({listener_.get(), POLLIN, 0});
	for (const auto &c : clients_)
		fds->push_back({c.fd.get(), POLLIN, 0});
	if (stdin_open_)
		fds->push_back({STDIN_FILENO, POLLIN, 0});
}

bool control_io::read_lines(int fd, std::string *buf, bool is_stdin)
{
	char chunk[4096];
	ssize_t n = read(fd, chunk, sizeof chunk);
	if (n < 0)
		return errno == EINTR || errno == EAGAIN;
	if (n == 0)
		return false;
	buf->append(chunk, static_cast<size_t>(n));
	size_t end;
	while ((end = buf->find('\n')) != std::string::npos) {
		std::string line = buf->substr(0, end);
		buf->erase(0, end + 1);
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		std::string reply = handler_(line) + "\n";
		bool ok = is_stdin ? write_all(STDOUT_FILENO, reply, false) : write_all(fd, reply, true);
		if (!ok && !is_stdin)
			return false;
	}
	if (buf->size() > MAX_LINE) {
		buf->clear();
		std::string reply = "error line too long\n";
		if (is_stdin)
			write_all(STDOUT_FILENO, reply, false);
		else if (!write_all(fd, reply, true))
			return false;
	}
	return true;
}

void control_io::handle(const std::vector<pollfd> &fds)
{
	auto ready = [&fds](int fd) {
		for (const auto &p : fds)
			if (p.fd == fd)
				return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
		return false;
	};
	if (stdin_open_ && ready(STDIN_FILENO) && !read_lines(STDIN_FILENO, &stdin_buf_, true))
		stdin_open_ = false; // end of input: the simulator keeps running
	for (size_t i = 0; i < clients_.size();) {
		if (ready(clients_[i].fd.get()) && !read_lines(clients_[i].fd.get(), &clients_[i].buf, false))
			clients_.erase(clients_.begin() + static_cast<long>(i));
		else
			i++;
	}
	if (listener_ && ready(listener_.get())) {
		for (;;) {
			int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
			if (fd < 0)
				break;
			clients_.push_back(client{unique_fd(fd), {}});
		}
	}
}

} // namespace sim
