// SPDX-License-Identifier: ISC
// Event loop on epoll: ordered timeouts, descriptor callbacks (one per pass),
// child reaping and the termination signals.
#include "libubox/uloop.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

bool uloop_cancelled = false;
bool uloop_handle_sigchld = true;
uloop_fd_handler uloop_fd_set_cb = nullptr;

namespace {

constexpr int max_events = 10;
constexpr int max_running = 16;

LIST_HEAD(timeouts);
LIST_HEAD(processes);

int poll_fd = -1;
int waker_pipe[2] = {-1, -1};
struct uloop_fd waker_fd;

volatile sig_atomic_t status;
volatile sig_atomic_t sigchld_seen;
int run_depth;

struct epoll_event events[max_events];
int fetched;    // events returned by the last wait
int next_event; // next of those to dispatch

// Callbacks in progress, for replaying edge-triggered events that arrive for
// the same descriptor while its callback runs a nested loop.
struct running_fd {
	struct uloop_fd *fd;
	unsigned int events;
};
running_fd running[max_running];
int running_count;

struct saved_signal {
	int signo;
	bool installed;
	struct sigaction previous;
};
saved_signal saved[] = {{SIGINT, false, {}}, {SIGTERM, false, {}}, {SIGCHLD, false, {}}};

void gettime(struct timeval *tv)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	tv->tv_sec = ts.tv_sec;
	tv->tv_usec = ts.tv_nsec / 1000;
}

int64_t tv_diff(const struct timeval *t1, const struct timeval *t2)
{
	return int64_t(t1->tv_sec - t2->tv_sec) * 1000 + int64_t(t1->tv_usec - t2->tv_usec) / 1000;
}

void wake()
{
	if (waker_pipe[1] < 0)
		return;
	int saved_errno = errno;
	char c = 'w';
	ssize_t r = write(waker_pipe[1], &c, 1);
	(void)r;
	errno = saved_errno;
}

void handle_terminate(int signo)
{
	status = signo;
	uloop_cancelled = true;
	int saved_errno = errno;
	char c = char(signo);
	if (waker_pipe[1] >= 0) {
		ssize_t r = write(waker_pipe[1], &c, 1);
		(void)r;
	}
	errno = saved_errno;
}

void handle_sigchld(int)
{
	sigchld_seen = 1;
	wake();
}

void waker_consume(struct uloop_fd *fd, unsigned int)
{
	char buf[64];
	while (read(fd->fd, buf, sizeof(buf)) > 0) {
	}
}

void install_signal(saved_signal &s, void (*handler)(int))
{
	struct sigaction old;
	if (sigaction(s.signo, nullptr, &old) < 0)
		return;
	if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
		return;
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = handler;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = 0; // no SA_RESTART: a caught signal must interrupt the wait
	if (sigaction(s.signo, &sa, nullptr) == 0) {
		s.previous = old;
		s.installed = true;
	}
}

void restore_signal(saved_signal &s, void (*handler)(int))
{
	if (!s.installed)
		return;
	s.installed = false;
	struct sigaction cur;
	if (sigaction(s.signo, nullptr, &cur) < 0)
		return;
	if (!(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == handler)
		sigaction(s.signo, &s.previous, nullptr);
}

void setup_signals()
{
	install_signal(saved[0], handle_terminate);
	install_signal(saved[1], handle_terminate);
	if (uloop_handle_sigchld)
		install_signal(saved[2], handle_sigchld);

	struct sigaction old;
	if (sigaction(SIGPIPE, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) &&
	    old.sa_handler == SIG_DFL) {
		struct sigaction sa;
		memset(&sa, 0, sizeof(sa));
		sa.sa_handler = SIG_IGN;
		sigemptyset(&sa.sa_mask);
		sigaction(SIGPIPE, &sa, nullptr);
	}
}

void process_timeouts()
{
	struct timeval now;
	gettime(&now);
	while (!list_empty(&timeouts)) {
		struct uloop_timeout *t = list_first_entry(&timeouts, struct uloop_timeout, list);
		if (tv_diff(&t->time, &now) > 0)
			break;
		uloop_timeout_cancel(t);
		if (t->cb)
			t->cb(t);
	}
}

void reap_children()
{
	sigchld_seen = 0;
	for (;;) {
		int wstatus;
		pid_t pid = waitpid(-1, &wstatus, WNOHANG);
		if (pid < 0 && errno == EINTR)
			continue;
		if (pid <= 0)
			return;
		struct uloop_process *p, *tmp;
		list_for_each_entry_safe (p, tmp, &processes, list) {
			if (p->pid < pid)
				continue;
			if (p->pid > pid)
				break;
			uloop_process_delete(p);
			if (p->cb)
				p->cb(p, wstatus);
			break;
		}
	}
}

running_fd *find_running(struct uloop_fd *fd)
{
	for (int i = 0; i < running_count; i++)
		if (running[i].fd == fd)
			return &running[i];
	return nullptr;
}

void dispatch_one(struct uloop_fd *u, unsigned int ev)
{
	if (running_count >= max_running) {
		u->cb(u, ev);
		return;
	}
	running_fd *r = &running[running_count++];
	r->fd = u;
	r->events = 0;
	int slot = running_count - 1;
	u->cb(u, ev);
	// Replay what was buffered meanwhile; the descriptor may have gone.
	while (running[slot].fd && running[slot].events) {
		unsigned int again = running[slot].events;
		running[slot].events = 0;
		u->flags &= uint8_t(~ULOOP_EVENT_BUFFERED);
		if (!u->cb)
			break;
		u->cb(u, again);
	}
	running_count--;
}

void run_events(int timeout)
{
	if (next_event >= fetched) {
		next_event = fetched = 0;
		int n = poll_fd >= 0 ? epoll_wait(poll_fd, events, max_events, timeout) : -1;
		// An error or a caught signal: back to the loop, which checks
		// uloop_cancelled before waiting again.
		if (n <= 0)
			return;
		fetched = n;
	}

	while (next_event < fetched) {
		struct epoll_event &e = events[next_event++];
		auto *u = static_cast<struct uloop_fd *>(e.data.ptr);
		if (!u)
			continue;

		unsigned int ev = 0;
		if (e.events & (EPOLLERR | EPOLLHUP)) {
			u->error = true;
			if (!(u->flags & ULOOP_ERROR_CB))
				uloop_fd_delete(u);
		}
		if (e.events & EPOLLRDHUP)
			u->eof = true;
		if (e.events & EPOLLIN)
			ev |= ULOOP_READ;
		if (e.events & EPOLLOUT)
			ev |= ULOOP_WRITE;

		if (!u->cb)
			continue;

		if (u->flags & ULOOP_EDGE_TRIGGER) {
			if (running_fd *r = find_running(u)) {
				r->events |= ev;
				u->flags |= ULOOP_EVENT_BUFFERED;
				continue;
			}
		}
		dispatch_one(u, ev);
		return;
	}
}

} // namespace

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags)
{
	if (!(flags & (ULOOP_READ | ULOOP_WRITE)))
		return uloop_fd_delete(sock);

	if (!sock->registered && !(flags & ULOOP_BLOCKING)) {
		int fl = fcntl(sock->fd, F_GETFL);
		if (fl >= 0)
			fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
	}

	struct epoll_event ev;
	memset(&ev, 0, sizeof(ev));
	if (flags & ULOOP_READ)
		ev.events |= EPOLLIN | EPOLLRDHUP;
	if (flags & ULOOP_WRITE)
		ev.events |= EPOLLOUT;
	if (flags & ULOOP_EDGE_TRIGGER)
		ev.events |= EPOLLET;
	ev.data.ptr = sock;

	int op = sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
	if (epoll_ctl(poll_fd, op, sock->fd, &ev) < 0)
		return -1;

	if (uloop_fd_set_cb)
		uloop_fd_set_cb(sock, flags);
	sock->flags = uint8_t(flags);
	sock->registered = true;
	sock->eof = false;
	sock->error = false;
	return 0;
}

int uloop_fd_delete(struct uloop_fd *sock)
{
	for (int i = next_event; i < fetched; i++)
		if (events[i].data.ptr == sock)
			events[i].data.ptr = nullptr;
	for (int i = 0; i < running_count; i++)
		if (running[i].fd == sock)
			running[i].fd = nullptr;

	if (!sock->registered)
		return 0;

	if (uloop_fd_set_cb)
		uloop_fd_set_cb(sock, 0);
	sock->registered = false;
	sock->flags = 0;
	return epoll_ctl(poll_fd, EPOLL_CTL_DEL, sock->fd, nullptr);
}

int uloop_timeout_add(struct uloop_timeout *timeout)
{
	if (timeout->pending)
		return -1;

	struct list_head *h = &timeouts;
	struct uloop_timeout *tmp;
	list_for_each_entry (tmp, &timeouts, list) {
		// Equal expiries (within 1 ms) keep the order they were set in.
		if (tv_diff(&tmp->time, &timeout->time) > 0) {
			h = &tmp->list;
			break;
		}
	}
	list_add_tail(&timeout->list, h);
	timeout->pending = true;
	return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs)
{
	struct timeval *time = &timeout->time;

	if (timeout->pending)
		uloop_timeout_cancel(timeout);

	gettime(time);
	time->tv_sec += msecs / 1000;
	time->tv_usec += (msecs % 1000) * 1000;
	if (time->tv_usec > 1000000) {
		time->tv_sec++;
		time->tv_usec -= 1000000;
	}
	return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;
	list_del(&timeout->list);
	timeout->pending = false;
	return 0;
}

int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;
	struct timeval now;
	gettime(&now);
	return tv_diff(&timeout->time, &now);
}

int uloop_timeout_remaining(struct uloop_timeout *timeout)
{
	int64_t r = uloop_timeout_remaining64(timeout);
	if (r > INT_MAX)
		return INT_MAX;
	if (r < INT_MIN)
		return INT_MIN;
	return int(r);
}

int uloop_get_next_timeout(void)
{
	if (list_empty(&timeouts))
		return -1;
	struct timeval now;
	gettime(&now);
	struct uloop_timeout *t = list_first_entry(&timeouts, struct uloop_timeout, list);
	int64_t diff = tv_diff(&t->time, &now);
	if (diff < 0)
		return 0;
	if (diff > INT_MAX)
		return INT_MAX;
	return int(diff);
}

int uloop_process_add(struct uloop_process *p)
{
	if (p->pending)
		return -1;
	struct list_head *h = &processes;
	struct uloop_process *tmp;
	list_for_each_entry (tmp, &processes, list) {
		if (tmp->pid > p->pid) {
			h = &tmp->list;
			break;
		}
	}
	list_add_tail(&p->list, h);
	p->pending = true;
	return 0;
}

int uloop_process_delete(struct uloop_process *p)
{
	if (!p->pending)
		return -1;
	list_del(&p->list);
	p->pending = false;
	return 0;
}

bool uloop_cancelling(void)
{
	return run_depth > 0 && uloop_cancelled;
}

int uloop_init(void)
{
	if (poll_fd >= 0)
		return 0;

	poll_fd = epoll_create1(EPOLL_CLOEXEC);
	if (poll_fd < 0)
		return -1;
	if (pipe2(waker_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
		close(poll_fd);
		poll_fd = -1;
		waker_pipe[0] = waker_pipe[1] = -1;
		return -1;
	}
	memset(&waker_fd, 0, sizeof(waker_fd));
	waker_fd.fd = waker_pipe[0];
	waker_fd.cb = waker_consume;
	uloop_fd_add(&waker_fd, ULOOP_READ);

	setup_signals();
	return 0;
}

int uloop_run_timeout(int timeout)
{
	run_depth++;
	status = 0;
	uloop_cancelled = false;
	do {
		process_timeouts();
		if (sigchld_seen)
			reap_children();
		if (uloop_cancelled)
			break;

		int next = uloop_get_next_timeout();
		if (timeout >= 0 && (next < 0 || timeout < next))
			next = timeout;
		run_events(next);
	} while (!uloop_cancelled && timeout < 0);
	run_depth--;
	return status;
}

void uloop_done(void)
{
	restore_signal(saved[0], handle_terminate);
	restore_signal(saved[1], handle_terminate);
	restore_signal(saved[2], handle_sigchld);

	if (waker_fd.registered)
		uloop_fd_delete(&waker_fd);
	if (poll_fd >= 0) {
		close(poll_fd);
		poll_fd = -1;
	}
	for (int &fd : waker_pipe) {
		if (fd >= 0)
			close(fd);
		fd = -1;
	}
	next_event = fetched = 0;

	while (!list_empty(&timeouts))
		uloop_timeout_cancel(list_first_entry(&timeouts, struct uloop_timeout, list));
	while (!list_empty(&processes))
		uloop_process_delete(list_first_entry(&processes, struct uloop_process, list));
}
