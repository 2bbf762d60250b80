// SPDX-License-Identifier: ISC
#include "link/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/log.h"
#include "common/own.h"

namespace {

int set_flag(int fd, bool nonblocking)
{
	if (fd < 0)
		return -1;
	int flags = fcntl(fd, F_GETFL);
	if (flags < 0)
		return -1;
	flags = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
	return fcntl(fd, F_SETFL, flags) < 0 ? -1 : 0;
}

struct proto_texts {
	const char *bad_argument;
	const char *no_socket;
	const char *no_nonblock;
};

constexpr proto_texts tcp_texts = {
	"bad argument for connect TCP function",
	"cannot create the TCP for connect",
	"cannot set the TCP fd nonblock",
};

constexpr proto_texts udp_texts = {
	"bad argument for connect UDP function",
	"cannot create the UDP for connect",
	"cannot set the UDP fd nonblock",
};

int connect_ipv4(int type, const proto_texts &texts, const char *server, int port, int nonblocking)
{
	if (!server || !*server || port <= 0) {
		log_message(3, "%s", texts.bad_argument);
		return -1;
	}

	fd_owner fd(socket(AF_INET, type, 0));
	if (!fd) {
		log_message(3, "%s", texts.no_socket);
		return -1;
	}

	sockaddr_in addr;
	memset(&addr, 0, sizeof(addr));
	addr.sin_family = AF_INET;
	addr.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
	if (inet_pton(AF_INET, server, &addr.sin_addr) <= 0) {
		log_message(3, "cannot inet_pton the ip(%s for connect)", server);
		return -1;
	}

	if (type == SOCK_STREAM) {
		// Set before connecting: on Linux the blocking connect honours it too.
		timeval tv = {2, 0};
		if (setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == -1) {
			log_message(3, "setsockopt error");
			return -1;
		}
	}

	if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) < 0)
		return -1;

	if (nonblocking && fd_set_nonblocking(fd.get()) < 0)
		log_message(3, "%s", texts.no_nonblock);
	return fd.release();
}

} // namespace

int fd_set_blocking(int fd)
{
	return set_flag(fd, false);
}

int fd_set_nonblocking(int fd)
{
	return set_flag(fd, true);
}

int tcp_connect(const char *server, int port, int nonblocking)
{
	return connect_ipv4(SOCK_STREAM, tcp_texts, server, port, nonblocking);
}

int udp_connect(const char *server, int port, int nonblocking)
{
	return connect_ipv4(SOCK_DGRAM, udp_texts, server, port, nonblocking);
}
