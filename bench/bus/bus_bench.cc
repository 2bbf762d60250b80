// SPDX-License-Identifier: ISC
// Our bus daemon under load, and beside it, when given, another bus daemon
// built for the same protocol: calls through an object that answers at once
// (1 and 4 callers), memory after 100,000 calls, PINGs with and without 5,000
// idle clients, CPU while out of descriptors, and the largest PING echoed.
// Runs alternate between the two daemons; every process is pinned to CPU 0.
//
//   bus_bench [other-daemon]        (or BUS_BENCH_OTHER=<path>)
//
// Also printed: the floor of a relayed call (client -> middle process ->
// server and back over unix sockets, 64-byte messages).
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libubox/uloop.h>
#include <libubus.h>
}

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int ONE_CALLS = 40000;  // one caller
constexpr int FOUR_CALLS = 60000; // four callers together; 100,000 in all
constexpr int CALLERS = 4;
constexpr int ROUNDS = 3;
constexpr int IDLE = 5000;
constexpr int PINGS = 20000;

double us_since(clock_type::time_point t0)
{
	return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	return v.empty() ? 0 : v[v.size() / 2];
}

struct stats {
	double median, p99, per_s;
};

stats summarize(std::vector<double> &lat, double total_us)
{
	std::sort(lat.begin(), lat.end());
	return {lat[lat.size() / 2], lat[lat.size() * 99 / 100], lat.size() / (total_us / 1e6)};
}

// ---- a daemon on a socket of its own ----
struct daemon_run {
	pid_t pid = -1;
	std::string dir, sock;

	daemon_run(const std::string &prog, rlim_t nofile = 0)
	{
		char tmpl[] = "/tmp/ravel-bus-bench-XXXXXX";
		dir = mkdtemp(tmpl);
		sock = dir + "/ubus.sock";
		pid = fork();
		if (pid == 0) {
			if (nofile) {
				struct rlimit rl = {nofile, nofile};
				setrlimit(RLIMIT_NOFILE, &rl);
			}
			execl(prog.c_str(), prog.c_str(), "-s", sock.c_str(), nullptr);
			_exit(127);
		}
		for (int i = 0; i < 500 && access(sock.c_str(), F_OK) != 0; i++)
			usleep(10000);
	}
	~daemon_run()
	{
		kill(pid, SIGTERM);
		waitpid(pid, nullptr, 0);
		std::filesystem::remove_all(dir);
	}
	long status_kib(const char *field) const
	{
		std::string path = "/proc/" + std::to_string(pid) + "/status";
		FILE *f = std::fopen(path.c_str(), "r");
		char line[256];
		long v = -1;
		size_t n = std::strlen(field);
		while (f && std::fgets(line, sizeof(line), f))
			if (!std::strncmp(line, field, n) && line[n] == ':')
				v = std::atol(line + n + 1);
		if (f)
			std::fclose(f);
		return v;
	}
	double cpu_s() const // user + system time
	{
		std::string path = "/proc/" + std::to_string(pid) + "/stat";
		FILE *f = std::fopen(path.c_str(), "r");
		char buf[1024] = {};
		size_t n = f ? std::fread(buf, 1, sizeof(buf) - 1, f) : 0;
		if (f)
			std::fclose(f);
		buf[n] = 0;
		const char *p = std::strrchr(buf, ')');
		unsigned long ut = 0, st = 0;
		if (p)
			std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st);
		return double(ut + st) / double(sysconf(_SC_CLK_TCK));
	}
};

// ---- the object that answers at once ----
struct blob_buf reply_buf;

int echo_handler(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
		 struct blob_attr *)
{
	ubus_send_reply(ctx, req, reply_buf.head);
	return 0;
}

const struct ubus_method methods[] = {{"echo", echo_handler, 0, 0, nullptr, 0}};
struct ubus_object_type type = {"bench", 0, methods, 1};
struct ubus_object obj = {};

[[noreturn]] void run_server(const std::string &sock)
{
	struct ubus_context *ctx = ubus_connect(sock.c_str());
	if (!ctx)
		_exit(1);
	blob_buf_init(&reply_buf, 0);
	blobmsg_add_string(&reply_buf, "result", "ok");
	obj.name = "bench.obj";
	obj.type = &type;
	obj.methods = methods;
	obj.n_methods = 1;
	if (ubus_add_object(ctx, &obj))
		_exit(1);
	ubus_add_uloop(ctx);
	uloop_run();
	_exit(0);
}

std::vector<double> run_calls(const std::string &sock, int n, double *total_us,
			      clock_type::time_point *begin = nullptr)
{
	struct ubus_context *ctx = ubus_connect(sock.c_str());
	if (!ctx) {
		std::fprintf(stderr, "cannot connect to %s\n", sock.c_str());
		std::exit(1);
	}
	uint32_t id = 0;
	for (int i = 0; i < 500 && ubus_lookup_id(ctx, "bench.obj", &id); i++)
		usleep(10000);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "cmd", "AT");
	std::vector<double> lat;
	lat.reserve(size_t(n));
	for (int i = 0; i < 200; i++) // warm-up
		ubus_invoke(ctx, id, "echo", b.head, nullptr, nullptr, 2000);
	auto start = clock_type::now();
	if (begin)
		*begin = start;
	for (int i = 0; i < n; i++) {
		auto t0 = clock_type::now();
		if (ubus_invoke(ctx, id, "echo", b.head, nullptr, nullptr, 2000) != 0) {
			std::fprintf(stderr, "call failed\n");
			std::exit(1);
		}
		lat.push_back(us_since(t0));
	}
	*total_us = us_since(start);
	blob_buf_free(&b);
	ubus_free(ctx);
	return lat;
}

struct call_figures {
	stats one;
	double four_per_s;
	long hwm_kib, anon_kib;
};

call_figures calls_through(const std::string &prog)
{
	daemon_run d(prog);
	pid_t server = fork();
	if (server == 0)
		run_server(d.sock);
	call_figures f;
	double total = 0;
	std::vector<double> lat = run_calls(d.sock, ONE_CALLS, &total);
	f.one = summarize(lat, total);

	// four callers at once, each in its own process; the span runs from the
	// first caller's first call to the last caller's last call
	int fds[2];
	if (pipe(fds) != 0)
		std::exit(1);
	for (int c = 0; c < CALLERS; c++) {
		if (fork() == 0) {
			close(fds[0]);
			double t;
			auto begin = clock_type::now();
			run_calls(d.sock, FOUR_CALLS / CALLERS, &t, &begin);
			int64_t span[2] = {begin.time_since_epoch().count(),
					   clock_type::now().time_since_epoch().count()};
			(void)!write(fds[1], span, sizeof(span));
			_exit(0);
		}
	}
	close(fds[1]);
	int64_t first = INT64_MAX, last = 0, span[2];
	while (read(fds[0], span, sizeof(span)) == ssize_t(sizeof(span))) {
		first = std::min(first, span[0]);
		last = std::max(last, span[1]);
	}
	close(fds[0]);
	for (int c = 0; c < CALLERS; c++)
		wait(nullptr);
	f.four_per_s = FOUR_CALLS / std::chrono::duration<double>(clock_type::duration(last - first)).count();
	f.hwm_kib = d.status_kib("VmHWM");
	f.anon_kib = d.status_kib("RssAnon");
	kill(server, SIGTERM);
	waitpid(server, nullptr, 0);
	return f;
}

// ---- raw clients: PINGs, idle connections ----
int raw_connect(const std::string &sock, bool read_hello = true)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	std::snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", sock.c_str());
	if (connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) != 0) {
		close(fd);
		return -1;
	}
	uint8_t hello[12];
	if (read_hello && read(fd, hello, sizeof(hello)) != ssize_t(sizeof(hello))) {
		close(fd);
		return -1;
	}
	return fd;
}

bool read_full(int fd, uint8_t *p, size_t n, int timeout_ms = 5000)
{
	while (n > 0) {
		struct pollfd pf = {fd, POLLIN, 0};
		int ready = poll(&pf, 1, timeout_ms);
		if (ready < 0 && errno == EINTR) // the library's loop catches SIGCHLD in this process
			continue;
		if (ready <= 0)
			return false;
		ssize_t r = read(fd, p, n);
		if (r <= 0)
			return false;
		p += r;
		n -= size_t(r);
	}
	return true;
}

// One message; returns its type, or -1 when none came.
int read_msg(int fd, std::vector<uint8_t> &body, int timeout_ms = 5000)
{
	uint8_t hdr[12];
	if (!read_full(fd, hdr, sizeof(hdr), timeout_ms))
		return -1;
	uint32_t len;
	std::memcpy(&len, hdr + 8, 4);
	len = ntohl(len) & 0xffffff;
	if (len < 4)
		return -1;
	body.resize(len - 4);
	if (!read_full(fd, body.data(), body.size(), timeout_ms))
		return -1;
	return hdr[1];
}

// A PING whose padded body is `len` bytes (one filler attribute inside).
std::vector<uint8_t> ping_msg(size_t len)
{
	std::vector<uint8_t> m(8 + len, 0);
	m[1] = UBUS_MSG_PING;
	uint32_t outer = htonl(uint32_t(len));
	std::memcpy(&m[8], &outer, 4);
	if (len >= 8) {
		uint32_t filler = htonl(uint32_t(UBUS_ATTR_GROUP) << 24 | uint32_t(len - 4));
		std::memcpy(&m[12], &filler, 4);
	}
	return m;
}

bool write_all(int fd, const std::vector<uint8_t> &m)
{
	size_t off = 0;
	while (off < m.size()) {
		ssize_t w = write(fd, m.data() + off, m.size() - off);
		if (w <= 0)
			return false;
		off += size_t(w);
	}
	return true;
}

double pings_per_s(const std::string &sock)
{
	int fd = raw_connect(sock);
	std::vector<uint8_t> ping = ping_msg(4), body;
	auto one = [&] {
		return write_all(fd, ping) && read_msg(fd, body) == UBUS_MSG_DATA &&
		       read_msg(fd, body) == UBUS_MSG_STATUS;
	};
	for (int i = 0; i < 500; i++)
		one();
	auto t0 = clock_type::now();
	int done = 0;
	while (done < PINGS && one())
		done++;
	double s = us_since(t0) / 1e6;
	close(fd);
	return done / s;
}

struct ping_figures {
	double quiet, crowded;
};

ping_figures pings_with_idle(const std::string &prog)
{
	daemon_run d(prog);
	ping_figures f;
	f.quiet = pings_per_s(d.sock);
	std::vector<int> idle;
	for (int i = 0; i < IDLE; i++) {
		int fd = raw_connect(d.sock);
		if (fd < 0)
			break;
		idle.push_back(fd);
	}
	f.crowded = idle.size() == size_t(IDLE) ? pings_per_s(d.sock) : 0;
	for (int fd : idle)
		close(fd);
	return f;
}

struct emfile_figures {
	double cpu_pct;
	bool resumed;
};

// The daemon may hold 32 descriptors; 48 clients knock. After a second of
// that, one connected client leaves and a waiting one must get its HELLO.
emfile_figures out_of_descriptors(const std::string &prog)
{
	daemon_run d(prog, 32);
	std::vector<int> fds;
	for (int i = 0; i < 48; i++)
		fds.push_back(raw_connect(d.sock, false));
	usleep(300000);
	double c0 = d.cpu_s();
	auto t0 = clock_type::now();
	usleep(1000000);
	emfile_figures f;
	f.cpu_pct = 100 * (d.cpu_s() - c0) / (us_since(t0) / 1e6);
	// find the clients that were served and those still waiting
	std::vector<int> served, waiting;
	uint8_t hello[12];
	for (int fd : fds) {
		struct pollfd p = {fd, POLLIN, 0};
		if (poll(&p, 1, 0) > 0 && read_full(fd, hello, sizeof(hello), 100))
			served.push_back(fd);
		else
			waiting.push_back(fd);
	}
	f.resumed = false;
	if (!served.empty() && !waiting.empty()) {
		close(served.back());
		served.pop_back();
		for (int fd : waiting) {
			struct pollfd p = {fd, POLLIN, 0};
			if (poll(&p, 1, fd == waiting.front() ? 3000 : 0) > 0) {
				f.resumed = true;
				break;
			}
		}
	}
	for (int fd : served)
		close(fd);
	for (int fd : waiting)
		close(fd);
	return f;
}

// The largest padded PING body, up to 1 MiB, echoed whole and followed by its status.
size_t largest_echo(const std::string &prog)
{
	// The protocol's largest message. Not taken from the headers: the
	// router's ubus sets its limit when it is built, not in libubus.h.
	constexpr size_t max_msg = 1048576;
	daemon_run d(prog);
	size_t best = 0;
	for (size_t len : {size_t(65536), max_msg - 16, max_msg - 8, max_msg - 4, max_msg}) {
		int fd = raw_connect(d.sock);
		std::vector<uint8_t> body;
		// the reply comes while we are still writing
		pid_t w = fork();
		if (w == 0)
			_exit(write_all(fd, ping_msg(len)) ? 0 : 1);
		bool ok = read_msg(fd, body, 10000) == UBUS_MSG_DATA && body.size() + 4 == len &&
			  read_msg(fd, body, 10000) == UBUS_MSG_STATUS;
		waitpid(w, nullptr, 0);
		close(fd);
		if (ok)
			best = len;
	}
	return best;
}

// ---- the floor: client -> middle -> server, 64-byte messages ----
bool xfer(int from, int to, char *buf)
{
	size_t got = 0;
	while (got < 64) {
		ssize_t n = read(from, buf + got, 64 - got);
		if (n <= 0)
			return false;
		got += size_t(n);
	}
	return write(to, buf, 64) == 64;
}

stats relay_floor()
{
	int cm[2], ms[2];
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, cm) || socketpair(AF_UNIX, SOCK_STREAM, 0, ms))
		std::exit(1);
	pid_t server = fork();
	if (server == 0) {
		char buf[64];
		close(cm[0]);
		close(cm[1]);
		close(ms[0]);
		while (xfer(ms[1], ms[1], buf)) {
		}
		_exit(0);
	}
	pid_t middle = fork();
	if (middle == 0) {
		char buf[64];
		close(cm[0]);
		close(ms[1]);
		struct pollfd p[2] = {{cm[1], POLLIN, 0}, {ms[0], POLLIN, 0}};
		for (;;) {
			if (poll(p, 2, -1) < 0)
				continue;
			if ((p[0].revents & POLLIN) && !xfer(cm[1], ms[0], buf))
				break;
			if ((p[1].revents & POLLIN) && !xfer(ms[0], cm[1], buf))
				break;
			if ((p[0].revents | p[1].revents) & POLLHUP)
				break;
		}
		_exit(0);
	}
	close(cm[1]);
	close(ms[0]);
	close(ms[1]);
	char buf[64] = {};
	std::vector<double> lat;
	auto round_trip = [&] {
		if (write(cm[0], buf, 64) != 64)
			return false;
		size_t got = 0;
		while (got < 64) {
			ssize_t n = read(cm[0], buf + got, 64 - got);
			if (n <= 0)
				return false;
			got += size_t(n);
		}
		return true;
	};
	for (int i = 0; i < 200; i++)
		round_trip();
	auto start = clock_type::now();
	for (int i = 0; i < 20000; i++) {
		auto t0 = clock_type::now();
		if (!round_trip())
			break;
		lat.push_back(us_since(t0));
	}
	double total = us_since(start);
	close(cm[0]);
	waitpid(middle, nullptr, 0);
	waitpid(server, nullptr, 0);
	return summarize(lat, total);
}

struct figures {
	std::vector<double> one, one_median, four, quiet, crowded, cpu;
	long hwm = 0, anon = 0;
	bool resumed = true;
	size_t echo = 0;
};

void row(const char *what, double ours, double other, bool have_other, int decimals = 0)
{
	std::printf("%-36s", what);
	std::printf("%12.*f", decimals, ours);
	if (have_other) {
		std::printf("%12.*f", decimals, other);
		if (other > 0)
			std::printf("%10.2fx", ours / other);
	}
	std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
	signal(SIGPIPE, SIG_IGN);
	cpu_set_t cpu0;
	CPU_ZERO(&cpu0);
	CPU_SET(0, &cpu0);
	if (sched_setaffinity(0, sizeof(cpu0), &cpu0) != 0)
		std::perror("bus_bench: pinning to CPU 0");
	// room for the idle clients here and in the daemons, which inherit it
	struct rlimit rl;
	getrlimit(RLIMIT_NOFILE, &rl);
	rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, 2 * IDLE + 1000);
	setrlimit(RLIMIT_NOFILE, &rl);

	const char *ours_env = std::getenv("BUS_BENCH_OURS"); // another build of ours, for before/after
	std::string ours = ours_env && *ours_env ? ours_env : RAVEL_BUSD;
	const char *other_env = std::getenv("BUS_BENCH_OTHER");
	std::string other = argc > 1 ? argv[1] : other_env ? other_env : "";
	bool both = !other.empty();
	if (both && access(other.c_str(), X_OK) != 0) {
		std::fprintf(stderr, "bus_bench: %s is not an executable\n", other.c_str());
		return 1;
	}
	std::vector<std::string> progs = {ours};
	if (both)
		progs.push_back(other);
	figures f[2];

	for (int r = 0; r < ROUNDS; r++)
		for (size_t i = 0; i < progs.size(); i++) {
			call_figures c = calls_through(progs[i]);
			f[i].one.push_back(c.one.per_s);
			f[i].one_median.push_back(c.one.median);
			f[i].four.push_back(c.four_per_s);
			f[i].hwm = std::max(f[i].hwm, c.hwm_kib);
			f[i].anon = std::max(f[i].anon, c.anon_kib);
		}
	for (int r = 0; r < 2; r++)
		for (size_t i = 0; i < progs.size(); i++) {
			ping_figures p = pings_with_idle(progs[i]);
			f[i].quiet.push_back(p.quiet);
			f[i].crowded.push_back(p.crowded);
			emfile_figures e = out_of_descriptors(progs[i]);
			f[i].cpu.push_back(e.cpu_pct);
			f[i].resumed = f[i].resumed && e.resumed;
		}
	for (size_t i = 0; i < progs.size(); i++)
		f[i].echo = largest_echo(progs[i]);
	stats floor = relay_floor();

	std::printf("pinned to CPU 0; ours: %s\n", ours.c_str());
	if (both)
		std::printf("other: %s\n", other.c_str());
	std::printf("%-36s%12s%s\n", "", "ours", both ? "       other     ratio" : "");
	row("calls/s, 1 caller", median(f[0].one), median(f[1].one), both);
	row("calls/s, 4 callers", median(f[0].four), median(f[1].four), both);
	row("VmHWM after 100,000 calls, KiB", double(f[0].hwm), double(f[1].hwm), both);
	row("anonymous after 100,000 calls, KiB", double(f[0].anon), double(f[1].anon), both);
	row("PINGs/s, no idle clients", median(f[0].quiet), median(f[1].quiet), both);
	row("PINGs/s, 5,000 idle clients", median(f[0].crowded), median(f[1].crowded), both);
	row("CPU % out of descriptors", median(f[0].cpu), median(f[1].cpu), both, 1);
	std::printf("%-36s%12s%12s\n", "serves again when one frees", f[0].resumed ? "yes" : "NO",
		    both ? (f[1].resumed ? "yes" : "NO") : "");
	std::printf("%-36s%12zu", "largest PING body echoed, bytes", f[0].echo);
	if (both)
		std::printf("%12zu", f[1].echo);
	std::printf("\n\n");
	std::printf("relay floor: median %.1f us, p99 %.1f us, %.0f round trips/s\n", floor.median, floor.p99,
		    floor.per_s);
	double med = median(f[0].one_median);
	std::printf("ours, 1 caller: median %.1f us = %.2f x floor (target <= 1.3)\n", med,
		    med / floor.median);
	std::printf("targets: >= 15000 calls/s with 1 caller: %s; >= 41000 with %d: %s\n",
		    median(f[0].one) >= 15000 ? "met" : "NOT met", CALLERS,
		    median(f[0].four) >= 41000 ? "met" : "NOT met");
	return 0;
}
