// SPDX-License-Identifier: ISC
// ravel-busd: the development bus daemon. Serves the bus protocol on a unix
// socket for development machines and tests.
#include "busd_core.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_signal(int sig)
{
	stop_signal = sig;
}

void usage()
{
	fprintf(stderr, "Usage: ravel-busd [-s <socket>]\n");
}

void make_parent_dir(const char *path)
{
	char dir[sizeof(sockaddr_un::sun_path)];
	snprintf(dir, sizeof(dir), "%s", path);
	char *slash = strrchr(dir, '/');
	if (!slash || slash == dir)
		return;
	*slash = 0;
	for (char *p = dir + 1;; p++) {
		if (*p == '/' || !*p) {
			char c = *p;
			*p = 0;
			mkdir(dir, 0755);
			*p = c;
			if (!c)
				break;
		}
	}
}

// The names of the last peer's user and group; most peers are the same one.
struct peer_names {
	uid_t uid = uid_t(-1);
	gid_t gid = gid_t(-1);
	char user[64] = "root", group[64] = "root";

	void look_up(int fd)
	{
		struct ucred cred;
		socklen_t len = sizeof(cred);
		if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
			return;
		if (cred.uid != uid) {
			struct passwd *pw = getpwuid(cred.uid);
			if (pw)
				snprintf(user, sizeof(user), "%s", pw->pw_name);
			else
				snprintf(user, sizeof(user), "%u", unsigned(cred.uid));
			uid = pw ? cred.uid : uid_t(-1); // an unknown one is looked up again
		}
		if (cred.gid != gid) {
			struct group *gr = getgrgid(cred.gid);
			if (gr)
				snprintf(group, sizeof(group), "%s", gr->gr_name);
			else
				snprintf(group, sizeof(group), "%u", unsigned(cred.gid));
			gid = gr ? cred.gid : gid_t(-1);
		}
	}
};

struct server {
	int epfd = -1;
	int lfd = -1;
	bool listening = false; // the listener is in the epoll set
	busd::bus bus;
	busd::vec<uint32_t> doomed; // clients to drop once the current events are handled
	busd::vec<uint32_t> batch;  // the dirty or doomed clients being handled
	peer_names names;
	struct timespec rested = {}; // when the listener last went out

	void doom(busd::client &c)
	{
		if (!c.dead)
			doomed.push(c.id);
		c.dead = true;
	}

	void set_events(busd::client &c, bool out)
	{
		if (c.wants_write == out)
			return;
		struct epoll_event ev = {};
		ev.events = EPOLLIN | (out ? uint32_t(EPOLLOUT) : 0u);
		ev.data.u64 = c.id;
		epoll_ctl(epfd, EPOLL_CTL_MOD, c.fd, &ev);
		c.wants_write = out;
	}

	void flush(busd::client &c)
	{
		while (!c.out.empty() && !c.dead) {
			struct iovec iov[64];
			int n = 0;
			size_t off = c.out_off;
			for (busd::out_msg *m = c.out.head; m && n < 64; m = m->next, off = 0)
				iov[n++] = {m->data + off, m->len - off};
			ssize_t w = writev(c.fd, iov, n);
			if (w < 0) {
				if (errno == EINTR)
					continue;
				if (errno == EAGAIN || errno == EWOULDBLOCK) {
					set_events(c, true);
					return;
				}
				doom(c);
				return;
			}
			size_t done = size_t(w);
			c.out_bytes -= done;
			while (done > 0) {
				size_t left = c.out.head->len - c.out_off;
				if (done < left) {
					c.out_off += done;
					break;
				}
				done -= left;
				c.out.pop();
				c.out_off = 0;
			}
		}
		set_events(c, false);
	}

	static void drain(void *arg, busd::client &c) { static_cast<server *>(arg)->flush(c); }

	// Out of descriptors, the listener rests: it stays readable, and polling
	// it would only fail again. It comes back when a client leaves, and on a
	// timer for descriptors freed elsewhere.
	void listen_again(bool on)
	{
		if (on == listening)
			return;
		struct epoll_event ev = {};
		ev.events = EPOLLIN;
		ev.data.u64 = 0; // client ids are never 0
		epoll_ctl(epfd, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, lfd, &ev);
		listening = on;
		if (!on)
			clock_gettime(CLOCK_MONOTONIC, &rested);
	}

	// Milliseconds until the resting listener is tried again; -1 when listening.
	int rest_left()
	{
		if (listening)
			return -1;
		struct timespec now;
		clock_gettime(CLOCK_MONOTONIC, &now);
		long ms = (now.tv_sec - rested.tv_sec) * 1000 + (now.tv_nsec - rested.tv_nsec) / 1000000;
		return ms >= 1000 ? 0 : int(1000 - ms);
	}

	void drop(uint32_t id)
	{
		busd::client *c = bus.find_client(id);
		if (!c)
			return;
		epoll_ctl(epfd, EPOLL_CTL_DEL, c->fd, nullptr);
		close(c->fd);
		bus.remove_client(id);
		listen_again(true);
	}

	void accept_all()
	{
		for (;;) {
			int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
			if (fd < 0) {
				if (errno == EINTR || errno == ECONNABORTED)
					continue;
				if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
					listen_again(false);
				return;
			}
			names.look_up(fd);
			busd::client &c = bus.add_client(fd, names.user, names.group);
			struct epoll_event ev = {};
			ev.events = EPOLLIN;
			ev.data.u64 = c.id;
			if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) < 0) {
				close(fd);
				bus.remove_client(c.id);
			}
		}
	}

	void client_event(uint32_t id, uint32_t events)
	{
		busd::client *c = bus.find_client(id);
		if (!c || c->dead)
			return;
		if (events & EPOLLOUT)
			flush(*c);
		if (c->dead || !(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
			return;
		alignas(8) static uint8_t buf[65536];
		ssize_t n = read(c->fd, buf, sizeof(buf));
		if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) {
			doom(*c);
			return;
		}
		if (n > 0 && !bus.receive(id, buf, size_t(n)) && (c = bus.find_client(id)))
			doom(*c);
	}

	void flush_dirty()
	{
		batch.clear();
		batch.swap(bus.dirty);
		for (uint32_t id : batch)
			if (busd::client *c = bus.find_client(id))
				flush(*c);
	}

	void settle()
	{
		flush_dirty();
		// Dropping a client can produce events for others, hence the loop.
		while (!doomed.empty()) {
			batch.clear();
			batch.swap(doomed);
			for (uint32_t id : batch)
				drop(id);
			flush_dirty();
		}
	}
};

} // namespace

int main(int argc, char **argv)
{
	const char *path = UBUS_UNIX_SOCKET;
	int opt;
	while ((opt = getopt(argc, argv, "s:")) != -1) {
		switch (opt) {
		case 's':
			path = optarg;
			break;
		default:
			usage();
			return 1;
		}
	}
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	size_t path_len = strlen(path);
	if (path_len == 0 || path_len >= sizeof(sun.sun_path)) {
		fprintf(stderr, "ravel-busd: socket path too long\n");
		return 1;
	}
	memcpy(sun.sun_path, path, path_len);

	struct sigaction sa = {};
	sa.sa_handler = on_signal;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);

	make_parent_dir(path);
	unlink(path);
	server s;
	s.bus.drain = server::drain;
	s.bus.drain_arg = &s;
	s.lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	mode_t old = umask(0111);
	int r = s.lfd < 0 ? -1 : bind(s.lfd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun));
	umask(old);
	if (r < 0 || listen(s.lfd, SOMAXCONN) < 0) {
		fprintf(stderr, "ravel-busd: cannot listen on %s: %s\n", path, strerror(errno));
		return 1;
	}
	struct stat bound = {};
	stat(path, &bound);
	s.epfd = epoll_create1(EPOLL_CLOEXEC);
	s.listen_again(true);

	struct epoll_event events[64];
	while (!stop_signal) {
		int n = epoll_wait(s.epfd, events, 64, s.rest_left());
		if (n < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		if (s.rest_left() == 0)
			s.listen_again(true);
		for (int i = 0; i < n; i++) {
			if (events[i].data.u64 == 0)
				s.accept_all();
			else
				s.client_event(uint32_t(events[i].data.u64), events[i].events);
		}
		s.settle();
	}
	while (auto *c = static_cast<busd::client *>(s.bus.clients.any()))
		s.drop(c->id);
	close(s.lfd);
	close(s.epfd);
	// Only our own socket: a bus started after us may already own the path.
	struct stat now = {};
	if (stat(path, &now) == 0 && now.st_ino == bound.st_ino && now.st_dev == bound.st_dev)
		unlink(path);
	return 0;
}
