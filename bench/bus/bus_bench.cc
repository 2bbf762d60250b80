// Calls through our bus daemon to an object that answers at once, next to the
// floor of a relayed call (client → middle process → server and back over
// unix sockets, three processes, 64-byte messages).
#include <algorithm>
#include <climits>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <poll.h>
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
constexpr int CALLS = 20000;
constexpr int CALLERS = 4;

double us_since(clock_type::time_point t0)
{
	return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

struct stats {
	double median, p99, per_s;
};

stats summarize(std::vector<double> &lat, double total_us)
{
	std::sort(lat.begin(), lat.end());
	return {lat[lat.size() / 2], lat[lat.size() * 99 / 100], lat.size() / (total_us / 1e6)};
}

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

std::vector<double> run_calls(const std::string &sock, int n, double *total_us, clock_type::time_point *begin = nullptr)
{
	struct ubus_context *ctx = ubus_connect(sock.c_str());
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

// ---- the floor: client → middle → server, 64-byte messages ----
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
	socketpair(AF_UNIX, SOCK_STREAM, 0, cm);
	socketpair(AF_UNIX, SOCK_STREAM, 0, ms);
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
	for (int i = 0; i < CALLS; i++) {
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

} // namespace

int main()
{
	signal(SIGPIPE, SIG_IGN);
	char tmpl[] = "/tmp/ravel-bus-bench-XXXXXX";
	std::string dir = mkdtemp(tmpl);
	std::string sock = dir + "/ubus.sock";
	pid_t busd = fork();
	if (busd == 0) {
		execl(RAVEL_BUSD, RAVEL_BUSD, "-s", sock.c_str(), nullptr);
		_exit(127);
	}
	for (int i = 0; i < 500 && access(sock.c_str(), F_OK) != 0; i++)
		usleep(10000);
	pid_t server = fork();
	if (server == 0)
		run_server(sock);

	double total = 0;
	std::vector<double> lat = run_calls(sock, CALLS, &total);
	stats one = summarize(lat, total);

	// four callers at once, each in its own process; the span runs from the
	// first caller's first call to the last caller's last call
	int fds[2];
	if (pipe(fds) != 0)
		return 1;
	for (int c = 0; c < CALLERS; c++) {
		if (fork() == 0) {
			close(fds[0]);
			double t;
			auto begin = clock_type::now();
			run_calls(sock, CALLS / CALLERS, &t, &begin);
			int64_t span[2] = {begin.time_since_epoch().count(), clock_type::now().time_since_epoch().count()};
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
	double four_s = std::chrono::duration<double>(clock_type::duration(last - first)).count();
	double four_per_s = CALLS / four_s;

	kill(server, SIGTERM);
	waitpid(server, nullptr, 0);
	kill(busd, SIGTERM);
	waitpid(busd, nullptr, 0);
	std::filesystem::remove_all(dir);

	stats floor = relay_floor();
	std::printf("bus call, 1 caller:   median %.1f us, p99 %.1f us, %.0f calls/s (%d calls)\n", one.median, one.p99,
		    one.per_s, CALLS);
	std::printf("bus call, %d callers:  %.0f calls/s total (first call to last call)\n", CALLERS, four_per_s);
	std::printf("relay floor:          median %.1f us, p99 %.1f us, %.0f round trips/s\n", floor.median, floor.p99,
		    floor.per_s);
	std::printf("median / floor:       %.2f (target <= 1.3)\n", one.median / floor.median);
	std::printf("targets: >= 15000 calls/s with 1 caller: %s; >= 41000 with %d: %s\n",
		    one.per_s >= 15000 ? "met" : "NOT met", CALLERS, four_per_s >= 41000 ? "met" : "NOT met");
	return 0;
}
