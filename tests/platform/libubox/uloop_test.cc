// SPDX-License-Identifier: ISC
// Event loop: timer order and re-arming, ending the loop, descriptors,
// signal handling and child reaping. Timing checks assert order and bounds.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libubox/uloop.h>
}

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0)
{
	return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

class Uloop : public ::testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(uloop_init(), 0); }
	void TearDown() override { uloop_done(); }
};

struct named_timer {
	uloop_timeout t{};
	char name = 0;
	std::string *log = nullptr;
	int stop_after = 0;
};

size_t g_stop_len;

void log_timer(uloop_timeout *t)
{
	auto *n = container_of(t, named_timer, t);
	*n->log += n->name;
	if (n->log->size() >= g_stop_len)
		uloop_end();
}

// Runs `body` in a child process and returns its exit status; signal
// dispositions changed there do not leak into other tests.
template <typename F>
int in_child(F body)
{
	pid_t pid = fork();
	if (pid == 0) {
		_exit(body());
	}
	int st = 0;
	waitpid(pid, &st, 0);
	return WIFEXITED(st) ? WEXITSTATUS(st) : 100 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

} // namespace

TEST_F(Uloop, TimersFireByExpiryThenInOrderSet)
{
	std::string log;
	named_timer t[5];
	const char names[] = "ABCDE";
	for (int i = 0; i < 5; i++) {
		t[i].name = names[i];
		t[i].log = &log;
		t[i].t.cb = log_timer;
	}
	g_stop_len = 5;
	uloop_timeout_set(&t[0].t, 50);
	uloop_timeout_set(&t[1].t, 50);
	uloop_timeout_set(&t[2].t, 50);
	uloop_timeout_set(&t[3].t, 10);
	uloop_timeout_set(&t[4].t, 0);
	uloop_timeout_set(&t[1].t, 50); // re-set: behind its equals
	EXPECT_EQ(uloop_run(), 0);
	EXPECT_EQ(log, "EDACB");
	for (auto &n : t)
		EXPECT_FALSE(n.t.pending);
}

TEST_F(Uloop, TimerBookkeeping)
{
	uloop_timeout t{};
	EXPECT_EQ(uloop_timeout_remaining64(&t), -1);
	EXPECT_EQ(uloop_timeout_cancel(&t), -1);
	EXPECT_EQ(uloop_get_next_timeout(), -1);
	auto before = Clock::now();
	uloop_timeout_set(&t, 50);
	int64_t r = uloop_timeout_remaining64(&t);
	EXPECT_LE(r, 50);
	// Less only by the time taken since the set (the thread may wait for a
	// core in between), give or take the millisecond of rounding.
	EXPECT_GE(r, 50 - ms_since(before) - 1);
	EXPECT_EQ(uloop_timeout_add(&t), -1);
	EXPECT_GT(uloop_get_next_timeout(), 0);
	uloop_timeout_set(&t, -5);
	EXPECT_LE(uloop_timeout_remaining64(&t), -5);
	EXPECT_EQ(uloop_get_next_timeout(), 0);
	EXPECT_EQ(uloop_timeout_cancel(&t), 0);
	EXPECT_FALSE(t.pending);

	// A zeroed expiry is long past: it fires on the next pass.
	static bool fired;
	fired = false;
	uloop_timeout z{};
	z.cb = [](uloop_timeout *) { fired = true; };
	EXPECT_EQ(uloop_timeout_add(&z), 0);
	uloop_run_timeout(0);
	EXPECT_TRUE(fired);

	// uloop_done cancels what is left.
	uloop_timeout_set(&t, 1000);
	uloop_done();
	EXPECT_FALSE(t.pending);
	ASSERT_EQ(uloop_init(), 0);
}

TEST_F(Uloop, RearmFromCallbackAndTimerAlreadyRemoved)
{
	struct rec {
		uloop_timeout t{};
		int count = 0;
		bool pending_in_cb = true;
		Clock::time_point start;
	} r;
	r.start = Clock::now();
	r.t.cb = [](uloop_timeout *t) {
		auto *p = container_of(t, rec, t);
		p->pending_in_cb = p->pending_in_cb && t->pending;
		if (++p->count < 5)
			uloop_timeout_set(t, 5);
		else
			uloop_end();
	};
	uloop_timeout_set(&r.t, 5);
	EXPECT_EQ(uloop_run(), 0);
	EXPECT_EQ(r.count, 5);
	EXPECT_FALSE(r.pending_in_cb);
	EXPECT_GE(ms_since(r.start), 5 * 5 - 5); // up to 1 ms early per timer
}

TEST_F(Uloop, RunClearsEarlierEndAndEndFinishesTimerPass)
{
	static int fired;
	fired = 0;
	uloop_timeout a{}, b{}, late{}, stop{};
	a.cb = [](uloop_timeout *) {
		fired |= 1;
		uloop_end();
	};
	b.cb = [](uloop_timeout *) { fired |= 2; };
	late.cb = [](uloop_timeout *) { fired |= 4; };
	stop.cb = [](uloop_timeout *) { uloop_end(); };

	uloop_end();            // no effect: entry clears the mark
	auto t0 = Clock::now(); // before the timer is set: a pause between the two must not count
	uloop_timeout_set(&stop, 20);
	EXPECT_EQ(uloop_run(), 0);
	EXPECT_GE(ms_since(t0), 18);

	uloop_timeout_set(&a, 0);
	uloop_timeout_set(&b, 0);
	uloop_timeout_set(&late, 3000);
	EXPECT_EQ(uloop_run(), 0);
	EXPECT_EQ(fired, 3);
	EXPECT_TRUE(late.pending);
	EXPECT_FALSE(uloop_cancelling());
	uloop_timeout_cancel(&late);
}

TEST_F(Uloop, ForeignSignalHandlerEndsTheWaitPromptly)
{
	struct sigaction sa {
	}, old{};
	sa.sa_handler = [](int) { uloop_end(); };
	sa.sa_flags = SA_RESTART;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGALRM, &sa, &old);

	uloop_timeout long_timer{};
	long_timer.cb = [](uloop_timeout *) {};
	uloop_timeout_set(&long_timer, 3000);
	itimerval it{};
	it.it_value.tv_usec = 100 * 1000;
	setitimer(ITIMER_REAL, &it, nullptr);
	auto t0 = Clock::now();
	EXPECT_EQ(uloop_run(), 0);
	long elapsed = ms_since(t0);
	EXPECT_GE(elapsed, 90);
	EXPECT_LT(elapsed, 2000);
	EXPECT_TRUE(long_timer.pending);
	uloop_timeout_cancel(&long_timer);
	sigaction(SIGALRM, &old, nullptr);
}

TEST(UloopSignals, TerminationSignalsReturnTheirNumber)
{
	for (int sig : {SIGTERM, SIGINT}) {
		int rc = in_child([sig] {
			if (uloop_init() != 0)
				return 1;
			static int s;
			s = sig;
			uloop_timeout t{};
			t.cb = [](uloop_timeout *) { raise(s); };
			uloop_timeout_set(&t, 10);
			int r = uloop_run();
			// After uloop_end the result is 0 again.
			uloop_timeout e{};
			e.cb = [](uloop_timeout *) { uloop_end(); };
			uloop_timeout_set(&e, 1);
			int r2 = uloop_run();
			uloop_done();
			return r == s && r2 == 0 ? 0 : 2;
		});
		EXPECT_EQ(rc, 0) << sig;
	}
}

TEST(UloopSignals, InstalledOnlyOverDefaultsAndRestoredByDone)
{
	int rc = in_child([] {
		static void (*const custom)(int) = [](int) {};
		signal(SIGINT, SIG_IGN);
		signal(SIGTERM, custom);
		signal(SIGPIPE, SIG_DFL);
		signal(SIGCHLD, SIG_DFL);
		if (uloop_init() != 0)
			return 1;
		struct sigaction cur {};
		sigaction(SIGINT, nullptr, &cur);
		if (cur.sa_handler != SIG_IGN)
			return 2;
		sigaction(SIGTERM, nullptr, &cur);
		if (cur.sa_handler != custom)
			return 3;
		sigaction(SIGCHLD, nullptr, &cur);
		if (cur.sa_handler == SIG_DFL || (cur.sa_flags & SA_RESTART))
			return 4;
		sigaction(SIGPIPE, nullptr, &cur);
		if (cur.sa_handler != SIG_IGN)
			return 5;
		uloop_done();
		sigaction(SIGCHLD, nullptr, &cur);
		if (cur.sa_handler != SIG_DFL)
			return 6;
		sigaction(SIGPIPE, nullptr, &cur);
		if (cur.sa_handler != SIG_IGN)
			return 7;

		// A caught SIGTERM does not make uloop_run return its number when a
		// program handler owns the signal.
		if (uloop_init() != 0)
			return 8;
		uloop_timeout t{};
		t.cb = [](uloop_timeout *) {
			raise(SIGTERM);
			uloop_end();
		};
		uloop_timeout_set(&t, 1);
		int r = uloop_run();
		uloop_done();
		return r == 0 ? 0 : 9;
	});
	EXPECT_EQ(rc, 0);
}

TEST(UloopSignals, SigtermInterruptsBlockingRead)
{
	int rc = in_child([] {
		if (uloop_init() != 0)
			return 1;
		int p[2];
		if (pipe(p) < 0)
			return 2;
		pid_t parent = getpid();
		pid_t killer = fork();
		if (killer == 0) {
			usleep(50 * 1000);
			kill(parent, SIGTERM);
			_exit(0);
		}
		char c;
		ssize_t n = read(p[0], &c, 1);
		int err = errno;
		waitpid(killer, nullptr, 0);
		uloop_done();
		return n == -1 && err == EINTR && uloop_cancelled ? 0 : 3;
	});
	EXPECT_EQ(rc, 0);
}

namespace {

struct fd_probe {
	uloop_fd u{};
	std::vector<unsigned> events;
	std::vector<bool> registered;
	std::string data;
	bool end = true;
};

void probe_cb(uloop_fd *u, unsigned events)
{
	auto *p = container_of(u, fd_probe, u);
	p->events.push_back(events);
	p->registered.push_back(u->registered);
	char buf[16];
	ssize_t n;
	while ((n = read(u->fd, buf, sizeof(buf))) > 0)
		p->data.append(buf, size_t(n));
	if (p->end)
		uloop_end();
}

} // namespace

TEST_F(Uloop, ReadableDescriptorAndNonBlockingRule)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	fd_probe pr;
	pr.u.fd = p[0];
	pr.u.cb = probe_cb;
	ASSERT_EQ(uloop_fd_add(&pr.u, ULOOP_READ), 0);
	EXPECT_TRUE(fcntl(p[0], F_GETFL) & O_NONBLOCK);
	ASSERT_EQ(write(p[1], "hi", 2), 2);
	EXPECT_EQ(uloop_run(), 0);
	ASSERT_EQ(pr.events.size(), 1u);
	EXPECT_EQ(pr.events[0], unsigned(ULOOP_READ));
	EXPECT_EQ(pr.data, "hi");
	EXPECT_FALSE(pr.u.eof);
	EXPECT_FALSE(pr.u.error);

	// Writer closed: error, unregistered before the callback, no events.
	close(p[1]);
	EXPECT_EQ(uloop_run(), 0);
	ASSERT_EQ(pr.events.size(), 2u);
	EXPECT_EQ(pr.events[1], 0u);
	EXPECT_FALSE(pr.registered[1]);
	EXPECT_TRUE(pr.u.error);
	EXPECT_EQ(uloop_fd_delete(&pr.u), 0);
	close(p[0]);

	int q[2];
	ASSERT_EQ(pipe(q), 0);
	uloop_fd blocking{};
	blocking.fd = q[0];
	ASSERT_EQ(uloop_fd_add(&blocking, ULOOP_READ | ULOOP_BLOCKING), 0);
	EXPECT_FALSE(fcntl(q[0], F_GETFL) & O_NONBLOCK);
	EXPECT_EQ(uloop_fd_add(&blocking, 0), 0); // no events: same as delete
	EXPECT_FALSE(blocking.registered);
	close(q[0]);
	close(q[1]);

	uloop_fd bad{};
	bad.fd = 12345;
	EXPECT_EQ(uloop_fd_add(&bad, ULOOP_READ), -1);
	EXPECT_EQ(errno, EBADF);
	EXPECT_FALSE(bad.registered);
}

TEST_F(Uloop, PeerShutdownSetsEofAndDataStaysReadable)
{
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	fd_probe pr;
	pr.u.fd = sv[0];
	pr.u.cb = probe_cb;
	ASSERT_EQ(uloop_fd_add(&pr.u, ULOOP_READ), 0);
	ASSERT_EQ(write(sv[1], "hi", 2), 2);
	close(sv[1]);
	EXPECT_EQ(uloop_run(), 0);
	ASSERT_EQ(pr.events.size(), 1u);
	EXPECT_EQ(pr.events[0], unsigned(ULOOP_READ));
	EXPECT_TRUE(pr.u.eof);
	EXPECT_TRUE(pr.u.error);
	EXPECT_FALSE(pr.u.registered);
	EXPECT_EQ(pr.data, "hi");
	close(sv[0]);
}

TEST_F(Uloop, OneDescriptorPerPassAfterTimers)
{
	static std::string log;
	log.clear();
	struct tagged {
		uloop_fd u{};
		char tag;
		int p[2];
	} fds[3];
	for (int i = 0; i < 3; i++) {
		ASSERT_EQ(pipe(fds[i].p), 0);
		fds[i].tag = char('1' + i);
		fds[i].u.fd = fds[i].p[0];
		fds[i].u.cb = [](uloop_fd *u, unsigned) {
			char c;
			while (read(u->fd, &c, 1) > 0) {
			}
			log += container_of(u, tagged, u)->tag;
		};
		ASSERT_EQ(uloop_fd_add(&fds[i].u, ULOOP_READ), 0);
		ASSERT_EQ(write(fds[i].p[1], "x", 1), 1);
	}
	uloop_timeout t{};
	t.cb = [](uloop_timeout *) { log += 'T'; };
	uloop_timeout_set(&t, 0);
	uloop_run_timeout(0);
	EXPECT_EQ(log.size(), 2u);
	EXPECT_EQ(log[0], 'T');
	uloop_timeout_set(&t, 0);
	uloop_run_timeout(0);
	uloop_run_timeout(0);
	EXPECT_EQ(log.size(), 5u);
	EXPECT_EQ(std::count(log.begin(), log.end(), 'T'), 2);
	for (char c : {'1', '2', '3'})
		EXPECT_NE(log.find(c), std::string::npos) << log;
	for (auto &f : fds) {
		uloop_fd_delete(&f.u);
		close(f.p[0]);
		close(f.p[1]);
	}
}

TEST_F(Uloop, DeletedDescriptorIsNotDispatchedFromFetchedEvents)
{
	static fd_probe a, b;
	a = fd_probe{};
	b = fd_probe{};
	int pa[2], pb[2];
	ASSERT_EQ(pipe(pa), 0);
	ASSERT_EQ(pipe(pb), 0);
	a.u.fd = pa[0];
	b.u.fd = pb[0];
	// Whichever runs first deletes the other.
	a.u.cb = [](uloop_fd *u, unsigned e) {
		uloop_fd_delete(&b.u);
		a.end = false;
		probe_cb(u, e);
	};
	b.u.cb = [](uloop_fd *u, unsigned e) {
		uloop_fd_delete(&a.u);
		b.end = false;
		probe_cb(u, e);
	};
	uloop_fd_add(&a.u, ULOOP_READ);
	uloop_fd_add(&b.u, ULOOP_READ);
	ASSERT_EQ(write(pa[1], "x", 1), 1);
	ASSERT_EQ(write(pb[1], "x", 1), 1);
	for (int i = 0; i < 3; i++)
		uloop_run_timeout(0);
	EXPECT_EQ(a.events.size() + b.events.size(), 1u);
	uloop_fd_delete(&a.u);
	uloop_fd_delete(&b.u);
	for (int fd : {pa[0], pa[1], pb[0], pb[1]})
		close(fd);
}

TEST(UloopChildren, RegisteredChildIsReportedAndOthersReaped)
{
	int rc = in_child([] {
		signal(SIGCHLD, SIG_DFL);
		if (uloop_init() != 0)
			return 1;
		pid_t watched = fork();
		if (watched == 0)
			_exit(7);
		pid_t other = fork();
		if (other == 0)
			_exit(0);
		static int got = -1;
		uloop_process p{};
		p.pid = watched;
		p.cb = [](uloop_process *, int st) {
			got = WIFEXITED(st) ? WEXITSTATUS(st) : -2;
			uloop_end();
		};
		uloop_process_add(&p);
		uloop_timeout guard{};
		guard.cb = [](uloop_timeout *) { uloop_end(); };
		uloop_timeout_set(&guard, 5000);
		uloop_run();
		// Give the other child time to be reaped as well.
		uloop_timeout_set(&guard, 100);
		uloop_run();
		int st;
		bool other_reaped = waitpid(other, &st, WNOHANG) == -1 && errno == ECHILD;
		uloop_done();
		return got == 7 && other_reaped ? 0 : 2;
	});
	EXPECT_EQ(rc, 0);
}
