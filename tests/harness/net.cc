// SPDX-License-Identifier: ISC
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace harness {

black_hole::black_hole()
{
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	socklen_t len = sizeof(a);
	if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
	    listen(listener, 0) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
		return;
	filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (filler >= 0 && connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0)
		port = ntohs(a.sin_port);
}

black_hole::~black_hole()
{
	if (filler >= 0)
		close(filler);
	if (listener >= 0)
		close(listener);
}

} // namespace harness
