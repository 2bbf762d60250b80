// SPDX-License-Identifier: ISC
// Socket transport to the modem module: IPv4 TCP or UDP client sockets and
// switching a descriptor between blocking and non-blocking mode.
#pragma once

// 0 on success, -1 on failure (also for a negative fd, without a system call).
int fd_set_blocking(int fd);
int fd_set_nonblocking(int fd);

// Connect to a dotted-decimal IPv4 server (host names are not resolved).
// The port's low 16 bits are used. With nonblocking set the returned socket
// is switched to non-blocking mode (a failure to switch is logged, not fatal).
// TCP sockets carry a 2-second send time-out, set before the connect so the
// connect itself gives up after about 2 seconds. Returns the socket or -1;
// nothing stays open on failure.
int tcp_connect(const char *server, int port, int nonblocking);
int udp_connect(const char *server, int port, int nonblocking);
