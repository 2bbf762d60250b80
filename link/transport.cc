// SPDX-License-Identifier: ISC
#include "link/transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
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

// How a connect goes: to its end before the call returns, or started and
// finished by the caller's event loop.
enum class connect_mode : unsigned char { blocking, started };

int connect_ipv4(int type, const proto_texts &texts, const char *server, int port, bool nonblocking,
		 connect_mode mode, bool *in_progress)
{
	if (in_progress)
		*in_progress = false;
	if (!server || !*server || port <= 0) {
		log_message(LOG_ERR, "%s", texts.bad_argument);
		return -1;
	}

	fd_owner fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
	if (!fd) {
		log_message(LOG_ERR, "%s", texts.no_socket);
		return -1;
	}

	sockaddr_in addr;
	memset(&addr, 0, sizeof(addr));
	addr.sin_family = AF_INET;
	addr.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
	if (inet_pton(AF_INET, server, &addr.sin_addr) <= 0) {
		log_message(LOG_ERR, "cannot inet_pton the ip(%s for connect)", server);
		return -1;
	}

	if (type == SOCK_STREAM) {
		// Set before connecting: on Linux a blocking connect honours it too,
		// and every later write on the link does.
		timeval tv = {LINK_SEND_TIMEOUT_S, 0};
		if (setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == -1) {
			log_message(LOG_ERR, "setsockopt error");
			return -1;
		}
	}

	if (mode == connect_mode::started) {
		if (fd_set_nonblocking(fd.get()) < 0) {
			log_message(LOG_ERR, "%s", texts.no_nonblock);
			return -1;
		}
		if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) < 0) {
			if (errno != EINPROGRESS)
				return -1;
			if (in_progress)
				*in_progress = true;
		}
		return fd.release();
	}

	if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) < 0)
		return -1;

	if (nonblocking && fd_set_nonblocking(fd.get()) < 0)
		log_message(LOG_ERR, "%s", texts.no_nonblock);
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

int tcp_connect(const char *server, int port, bool nonblocking)
{
	return connect_ipv4(SOCK_STREAM, tcp_texts, server, port, nonblocking, connect_mode::blocking,
			    nullptr);
}

int udp_connect(const char *server, int port, bool nonblocking)
{
	return connect_ipv4(SOCK_DGRAM, udp_texts, server, port, nonblocking, connect_mode::blocking,
			    nullptr);
}

int link_connect_start(const char *server, int port, bool udp, bool *in_progress)
{
	return udp ? connect_ipv4(SOCK_DGRAM, udp_texts, server, port, true, connect_mode::started,
				  in_progress)
		   : connect_ipv4(SOCK_STREAM, tcp_texts, server, port, true, connect_mode::started,
				  in_progress);
}

int link_connect_result(int fd)
{
	int error = 0;
	socklen_t len = sizeof(error);
	if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0)
		return errno;
	return error;
}
