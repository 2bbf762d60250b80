// ravel-busd: the development bus daemon. Serves the bus protocol on a unix
// socket for development machines and tests.
#include "busd_core.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_signal(int sig) { stop_signal = sig; }

void usage()
{
	std::fprintf(stderr, "Usage: ravel-busd [-s <socket>]\n");
}

void make_parent_dir(const std::string &path)
{
	auto slash = path.rfind('/');
	if (slash == std::string::npos || slash == 0)
		return;
	std::string dir = path.substr(0, slash);
	for (size_t i = 1; i <= dir.size(); i++) {
		if (i == dir.size() || dir[i] == '/')
			mkdir(dir.substr(0, i).c_str(), 0755);
	}
}

struct server {
	int epfd = -1;
	int lfd = -1;
	busd::bus bus;

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
			for (auto it = c.out.begin(); it != c.out.end() && n < 64; ++it, off = 0)
				iov[n++] = {it->data() + off, it->size() - off};
			ssize_t w = writev(c.fd, iov, n);
			if (w < 0) {
				if (errno == EINTR)
					continue;
				if (errno == EAGAIN || errno == EWOULDBLOCK) {
					set_events(c, true);
					return;
				}
				c.dead = true;
				return;
			}
			size_t done = size_t(w);
			c.out_bytes -= done;
			while (done > 0) {
				size_t left = c.out.front().size() - c.out_off;
				if (done < left) {
					c.out_off += done;
					break;
				}
				done -= left;
				c.out.pop_front();
				c.out_off = 0;
			}
		}
		set_events(c, false);
	}

	void drop(uint32_t id)
	{
		busd::client *c = bus.find_client(id);
		if (!c)
			return;
		epoll_ctl(epfd, EPOLL_CTL_DEL, c->fd, nullptr);
		close(c->fd);
		bus.remove_client(id);
	}

	void accept_all()
	{
		for (;;) {
			int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
			if (fd < 0) {
				if (errno == EINTR)
					continue;
				return;
			}
			std::string user = "root", group = "root";
			struct ucred cred;
			socklen_t len = sizeof(cred);
			if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
				struct passwd *pw = getpwuid(cred.uid);
				struct group *gr = getgrgid(cred.gid);
				user = pw ? pw->pw_name : std::to_string(cred.uid);
				group = gr ? gr->gr_name : std::to_string(cred.gid);
			}
			busd::client &c = bus.add_client(fd, user, group);
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
		if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
			static uint8_t buf[65536];
			ssize_t n = read(c->fd, buf, sizeof(buf));
			if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) {
				c->dead = true;
				return;
			}
			if (n > 0 && !bus.receive(id, buf, size_t(n))) {
				if ((c = bus.find_client(id)))
					c->dead = true;
			}
		}
	}

	void settle()
	{
		std::vector<uint32_t> dirty;
		dirty.swap(bus.dirty);
		for (uint32_t id : dirty)
			if (busd::client *c = bus.find_client(id))
				flush(*c);
		// Dropping a client can produce events for others, hence the loop.
		for (;;) {
			std::vector<uint32_t> dead;
			for (auto &[id, c] : bus.clients)
				if (c.dead)
					dead.push_back(id);
			if (dead.empty())
				break;
			for (uint32_t id : dead)
				drop(id);
			dirty.clear();
			dirty.swap(bus.dirty);
			for (uint32_t id : dirty)
				if (busd::client *c = bus.find_client(id))
					flush(*c);
		}
	}
};

} // namespace

int main(int argc, char **argv)
{
	std::string path = UBUS_UNIX_SOCKET;
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
	if (path.empty() || path.size() >= sizeof(sun.sun_path)) {
		std::fprintf(stderr, "ravel-busd: socket path too long\n");
		return 1;
	}
	std::memcpy(sun.sun_path, path.c_str(), path.size());

	struct sigaction sa = {};
	sa.sa_handler = on_signal;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);

	make_parent_dir(path);
	unlink(path.c_str());
	server s;
	s.lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	mode_t old = umask(0111);
	int r = s.lfd < 0 ? -1 : bind(s.lfd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun));
	umask(old);
	if (r < 0 || listen(s.lfd, SOMAXCONN) < 0) {
		std::fprintf(stderr, "ravel-busd: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
		return 1;
	}
	struct stat bound = {};
	stat(path.c_str(), &bound);
	s.epfd = epoll_create1(EPOLL_CLOEXEC);
	struct epoll_event lev = {};
	lev.events = EPOLLIN;
	lev.data.u64 = 0; // client ids are never 0
	epoll_ctl(s.epfd, EPOLL_CTL_ADD, s.lfd, &lev);

	struct epoll_event events[64];
	while (!stop_signal) {
		int n = epoll_wait(s.epfd, events, 64, -1);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		for (int i = 0; i < n; i++) {
			if (events[i].data.u64 == 0)
				s.accept_all();
			else
				s.client_event(uint32_t(events[i].data.u64), events[i].events);
		}
		s.settle();
	}
	std::vector<uint32_t> ids;
	for (auto &[id, c] : s.bus.clients)
		ids.push_back(id);
	for (uint32_t id : ids)
		s.drop(id);
	close(s.lfd);
	close(s.epfd);
	// Only our own socket: a bus started after us may already own the path.
	struct stat now = {};
	if (stat(path.c_str(), &now) == 0 && now.st_ino == bound.st_ino && now.st_dev == bound.st_dev)
		unlink(path.c_str());
	return 0;
}
