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
int tcp_connect(const char *server, int port, bool nonblocking);
int udp_connect(const char *server, int port, bool nonblocking);

// Seconds a write on the link (and a blocking connect) may take.
constexpr int LINK_SEND_TIMEOUT_S = 2;

// The daemon's connect, which never blocks: the socket is non-blocking from
// the start and the connect is only started. Same checks and log lines as
// above. Returns the socket or -1; *in_progress tells whether the connect
// is still on its way (a TCP connect that did not end at once): the socket
// becomes writable when it ends, and link_connect_result tells how.
int link_connect_start(const char *server, int port, bool udp, bool *in_progress);

// 0 when the connect of fd succeeded, else its error number.
int link_connect_result(int fd);
