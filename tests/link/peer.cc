// SPDX-License-Identifier: ISC
#include "peer.h"

#include <fcntl.h>
#include <stdio.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "link/framing.h"
#include "link/poll.h"

namespace linktest {

namespace {

bool wait_readable(int fd, std::chrono::steady_clock::time_point until)
{
	auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until -
									  std::chrono::steady_clock::now());
	if (left.count() < 0)
		return false;
	pollfd p = {fd, POLLIN, 0};
	return poll(&p, 1, static_cast<int>(left.count())) > 0;
}

} // namespace

std::string peer_end::read_until(char end, std::chrono::milliseconds deadline)
{
	auto until = std::chrono::steady_clock::now() + deadline;
	std::string out;
	char c;
	while (wait_readable(fd_, until) && read(fd_, &c, 1) == 1) {
		out += c;
		if (c == end)
			break;
	}
	return out;
}

std::string peer_end::read_n(size_t n, std::chrono::milliseconds deadline)
{
	auto until = std::chrono::steady_clock::now() + deadline;
	std::string out;
	char buf[4096];
	while (out.size() < n && wait_readable(fd_, until)) {
		size_t want = std::min(sizeof(buf), n - out.size());
		ssize_t got = read(fd_, buf, want);
		if (got <= 0)
			break;
		out.append(buf, static_cast<size_t>(got));
	}
	return out;
}

std::string peer_end::drain(std::chrono::milliseconds quiet)
{
	std::string out;
	char buf[4096];
	while (wait_readable(fd_, std::chrono::steady_clock::now() + quiet)) {
		ssize_t got = read(fd_, buf, sizeof(buf));
		if (got <= 0)
			break;
		out.append(buf, static_cast<size_t>(got));
	}
	return out;
}

void peer_end::send(const std::string &bytes)
{
	size_t done = 0;
	while (done < bytes.size()) {
		ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
		if (n <= 0)
			return;
		done += static_cast<size_t>(n);
	}
}

void peer_end::close_now()
{
	shutdown(fd_, SHUT_RDWR);
}

peer::peer()
{
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0)
		throw std::runtime_error("socketpair");
}

peer::~peer()
{
	join();
	close(fds_[0]);
	close(fds_[1]);
}

void peer::run(std::function<void(peer_end &)> script)
{
	thread_ = std::thread([this, script] {
		peer_end end(fds_[1]);
		script(end);
	});
}

void peer::join()
{
	if (thread_.joinable())
		thread_.join();
}

void peer::fill_link()
{
	int flags = fcntl(fds_[0], F_GETFL);
	fcntl(fds_[0], F_SETFL, flags | O_NONBLOCK);
	char junk[4096] = {};
	while (write(fds_[0], junk, sizeof(junk)) > 0) {
	}
	while (write(fds_[0], junk, 1) > 0) {
	}
	fcntl(fds_[0], F_SETFL, flags);
}

at_channel plain_channel(int fd)
{
	at_channel ch = {};
	snprintf(ch.name, sizeof(ch.name), "cpe");
	snprintf(ch.server, sizeof(ch.server), "127.0.0.1");
	snprintf(ch.proto, sizeof(ch.proto), "tcp");
	ch.port = 5000;
	ch.heartbeat_interval = 20000;
	ch.link_fd = fd;
	ch.connect_fd = -1;
	ch.take_pending = poll_take_pending;
	ch.link_state = fd >= 0 ? LINK_ATTACHED : LINK_NONE;
	return ch;
}

at_channel framed_channel(int fd, bool ready)
{
	at_channel ch = plain_channel(fd);
	ch.frame_header_len = 3;
	ch.encode_at = rgmii_encode_at;
	ch.decode_frame = rgmii_decode;
	ch.encode_heartbeat = rgmii_encode_heartbeat;
	ch.rgmii_ready = ready ? 1 : 0;
	return ch;
}

std::string rgmii_frame(unsigned char type, const std::string &payload)
{
	std::string f;
	f += static_cast<char>(type);
	f += static_cast<char>((payload.size() >> 8) & 0xff);
	f += static_cast<char>(payload.size() & 0xff);
	return f + payload;
}

} // namespace linktest
