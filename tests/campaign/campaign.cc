// SPDX-License-Identifier: ISC
// Wrong-answer campaign: runs the real bus daemon, ravel_tools and the modem
// simulator in the sandbox under slow, lossy and out-of-step modules. Every
// call's command is unique (AT+ECHO<tag>), so each answer is checked against
// its own command; per scenario it prints the calls made, the answers that
// were another command's text reported as code 0, the cut answers reported
// as 0, and the codes seen. With --vanish it instead times how the daemon
// notices a module that went silent with its link left open, and what netifd
// and the link-state file are told meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "world.h"

// After every C++ header: libubox's utils.h defines __constructor and
// __destructor, names that the standard library uses too.
extern "C" {
#include <libubox/blobmsg.h>
#include <libubus.h>
}

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

enum class call_kind { ECHO, LOOK, PIPE };

struct scenario {
	const char *name;
	const char *what;
	bool udp = false;
	const char *model = "";
	std::vector<std::string> sim_options;
	const char *arm = nullptr; // control line before every call
	call_kind kind = call_kind::ECHO;
	int wait_ms = 1000;
	int callers = 1;
	int min_seconds = 0; // the heartbeat comes every 20 s
	bool cli = false;    // ravel_tools_cli runs among the callers
};

std::vector<scenario> all_scenarios()
{
	return {
		{"slow-tcp",
		 "answers 1.5 s late, wait 1000, tcp plain",
		 false,
		 "",
		 {"--answer-delay", "1500"}},
		{"slow-framed",
		 "answers 1.5 s late, wait 1000, framed RM520N",
		 false,
		 "RM520N",
		 {"-f", "--answer-delay", "1500"}},
		{"slow-udp",
		 "answers 1.5 s late, wait 1000, udp plain",
		 true,
		 "",
		 {"--answer-delay", "1500"}},
		{"jitter",
		 "500 +- 250 ms, wait 1000, tcp plain",
		 false,
		 "",
		 {"--answer-delay", "500", "--jitter", "250"}},
		{"heartbeat",
		 "answers 300 ms late, calls back to back, tcp plain",
		 false,
		 "",
		 {"--answer-delay", "300"},
		 nullptr,
		 call_kind::ECHO,
		 1000,
		 1,
		 25},
		{"look",
		 "\"look\" in a message body, echo ahead of a 200 ms answer, tcp plain",
		 false,
		 "",
		 {"--echo-ahead", "--answer-delay", "200"},
		 nullptr,
		 call_kind::LOOK,
		 2000},
		{"close-mid", "module closes mid-answer, tcp plain", false, "", {}, "close-after"},
		{"frame-pause",
		 "framed answer paused 1 s mid-frame, wait 3000",
		 false,
		 "RM520N",
		 {"-f"},
		 "split 1000",
		 call_kind::ECHO,
		 3000},
		{"udp-5000",
		 "5,000-byte answer in one datagram, udp plain",
		 true,
		 "",
		 {"--udp-chunk", "6000", "--echo-pad", "5000"},
		 nullptr,
		 call_kind::ECHO,
		 2000},
		{"pipe-udp-loss",
		 "A|B lines, udp plain, 10% datagrams lost",
		 true,
		 "",
		 {"--loss", "10", "--seed", "7"},
		 nullptr,
		 call_kind::PIPE,
		 1000},
		{"cli-busy",
		 "ravel_tools_cli runs among 4 busy callers, 1 s module, wait 2000",
		 false,
		 "",
		 {"--answer-delay", "1000"},
		 nullptr,
		 call_kind::ECHO,
		 2000,
		 4,
		 0,
		 true},
	};
}

// What one caller saw; sent whole through a pipe (well under PIPE_BUF).
struct tally {
	long calls = 0;
	long right = 0;
	long wrong_ok = 0;     // code 0 with another command's text (or none of ours)
	long truncated_ok = 0; // code 0 with our answer cut short
	long bus_failed = 0;   // no reply from the bus
	long codes[8] = {};    // codes 0..6, 7 for any other
	char example[160] = {};

	void add(const tally &t)
	{
		calls += t.calls;
		right += t.right;
		wrong_ok += t.wrong_ok;
		truncated_ok += t.truncated_ok;
		bus_failed += t.bus_failed;
		for (int i = 0; i < 8; i++)
			codes[i] += t.codes[i];
		if (!example[0])
			std::memcpy(example, t.example, sizeof example);
	}
};

bool has(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

// Any "+ECHO: <tag>" line whose tag is not one of ours, another message's
// reference, or the heartbeat's echo.
bool foreign_text(const std::string &answer, const std::vector<std::string> &tags, bool look)
{
	for (size_t at = answer.find("+ECHO: "); at != std::string::npos;
	     at = answer.find("+ECHO: ", at + 1)) {
		size_t end = answer.find('\r', at);
		std::string tag =
			answer.substr(at + 7, end == std::string::npos ? std::string::npos : end - at - 7);
		bool ours = false;
		for (const auto &t : tags)
			ours = ours || t == tag ||
			       (end == std::string::npos && t.compare(0, tag.size(), tag) == 0);
		if (!ours)
			return true;
	}
	for (size_t at = answer.find("AT+ECHO"); at != std::string::npos;
	     at = answer.find("AT+ECHO", at + 1)) {
		size_t end = answer.find('\r', at);
		if (end == std::string::npos)
			continue;
		std::string tag = answer.substr(at + 7, end - at - 7);
		bool ours = false;
		for (const auto &t : tags)
			ours = ours || t == tag;
		if (!ours)
			return true;
	}
	if (!look && has(answer, "+CMGS:"))
		return true;
	return answer.rfind("AT\r", 0) == 0 || has(answer, "\nAT\r");
}

// Sorts one reply into the tally.
void judge(tally *t, int code, const std::string &answer, const std::vector<std::string> &tags,
	   call_kind kind)
{
	t->calls++;
	t->codes[code >= 0 && code < 7 ? code : 7]++;
	if (code != 0)
		return;
	bool look = kind == call_kind::LOOK;
	bool complete = true, seen = false;
	for (const auto &tag : tags) {
		seen = seen || has(answer, tag);
		if (look) {
			size_t body = answer.find(tag);
			size_t ref = answer.find("+CMGS:", body == std::string::npos ? 0 : body);
			complete = complete && body != std::string::npos && ref != std::string::npos &&
				   answer.find("\r\nOK\r\n", ref) != std::string::npos;
		} else {
			complete = complete && has(answer, "+ECHO: " + tag + "\r\nOK\r\n");
		}
	}
	bool foreign = foreign_text(answer, tags, look);
	if (complete && !foreign) {
		t->right++;
		return;
	}
	bool cut = seen && !foreign;
	(cut ? t->truncated_ok : t->wrong_ok)++;
	if (!t->example[0]) {
		std::string shown;
		for (char c : answer.substr(0, 60))
			shown += c == '\r'   ? std::string("\\r")
				 : c == '\n' ? std::string("\\n")
					     : std::string(1, c);
		std::snprintf(t->example, sizeof t->example, "%s %s: \"%s\"", cut ? "cut" : "wrong",
			      tags[0].c_str(), shown.c_str());
	}
}

struct reply {
	bool data = false;
	int code = -1;
	std::string answer;
};

void on_reply(struct ubus_request *req, int, struct blob_attr *msg)
{
	auto *r = static_cast<reply *>(req->priv);
	enum { F_ANSWER, F_CODE, F_MAX };
	static const struct blobmsg_policy policy[F_MAX] = {
		{"respone", BLOBMSG_TYPE_STRING},
		{"code", BLOBMSG_TYPE_INT32},
	};
	struct blob_attr *tb[F_MAX] = {};
	if (!msg)
		return;
	r->data = true;
	blobmsg_parse(policy, F_MAX, tb, blobmsg_data(msg), blobmsg_len(msg));
	if (tb[F_CODE])
		r->code = int(blobmsg_get_u32(tb[F_CODE]));
	if (tb[F_ANSWER])
		r->answer = blobmsg_get_string(tb[F_ANSWER]);
}

std::string command_for(call_kind kind, const std::string &tag, std::vector<std::string> *tags)
{
	switch (kind) {
	case call_kind::LOOK:
		*tags = {tag};
		return "AT+CMGS=\"+15550100\">Please look at this " + tag;
	case call_kind::PIPE:
		*tags = {tag + "A", tag + "B"};
		return "AT+ECHO" + tag + "A|AT+ECHO" + tag + "B";
	case call_kind::ECHO:
		break;
	}
	*tags = {tag};
	return "AT+ECHO" + tag;
}

// One caller process: back-to-back calls until the end, then its tally
// through the pipe.
[[noreturn]] void run_caller(harness::world &w, const scenario &s, int me, clock_type::time_point end,
			     int out)
{
	tally t;
	struct ubus_context *ctx = ubus_connect(nullptr);
	uint32_t id = 0;
	struct blob_buf b = {};
	if (ctx && ubus_lookup_id(ctx, "ravelcpe", &id) == 0) {
		for (long n = 0; clock_type::now() < end; n++) {
			// LOOK alternates with plain AT+ECHO calls, which catch a late "+CMGS:".
			call_kind kind = s.kind == call_kind::LOOK && n % 2 ? call_kind::ECHO : s.kind;
			std::vector<std::string> tags;
			std::string cmd =
				command_for(kind, "c" + std::to_string(me) + "N" + std::to_string(n), &tags);
			if (s.arm)
				w.sim_control(s.arm);
			blob_buf_init(&b, 0);
			blobmsg_add_string(&b, "cmd", cmd.c_str());
			blobmsg_add_u32(&b, "wait", uint32_t(s.wait_ms));
			reply r;
			int st = ubus_invoke(ctx, id, "at_cmd", b.head, on_reply, &r, 30000);
			if (st != 0 || !r.data) {
				t.calls++;
				t.bus_failed++;
				usleep(100000);
				continue;
			}
			judge(&t, r.code, r.answer, tags, kind);
			if (r.code == 2)
				usleep(50000); // no link: a caller would not hammer it
		}
	} else {
		std::snprintf(t.example, sizeof t.example, "caller %d found no bus object", me);
	}
	blob_buf_free(&b);
	if (ctx)
		ubus_free(ctx);
	(void)!write(out, &t, sizeof t);
	_exit(0);
}

struct cli_tally {
	long runs = 0, printed_nothing = 0, ran_anyway = 0, said_may_run = 0, log_may_run = 0;
};

struct options {
	int seconds = 10;
	bool vanish = false;  // the vanished-module runs instead of the scenarios
	int cap = 150;        // longest wait for the daemon to notice, in seconds
	int outage = 90;      // the UDP outage, in seconds
	std::string programs; // folder of ravel_tools and ravel_tools_cli to test
	std::vector<std::string> only;
};

std::string program(const options &o, const std::string &name)
{
	return o.programs.empty() ? harness::program_path(name) : o.programs + "/" + name;
}

std::vector<std::string> program_env(const options &o)
{
	if (o.programs.empty())
		return {};
	return {"LD_LIBRARY_PATH=" + o.programs};
}

void stop(harness::process &p)
{
	if (p.pid() > 0 && p.running()) {
		p.signal(SIGTERM);
		if (!p.wait(5s).ended)
			p.kill();
	}
}

std::string start_scenario(harness::world &w, const options &o, const scenario &s)
{
	unlink("/tmp/modem.port");
	unlink(harness::world::sim_ctl);
	w.port = 0;
	std::vector<std::string> sim = {"-e"};
	sim.insert(sim.end(), s.sim_options.begin(), s.sim_options.end());
	if (s.udp)
		sim.push_back("-u");
	if (auto why = w.start_sim(sim, s.cli); !why.empty())
		return why;
	std::string config = "config channel 'cpe'\n\toption server '127.0.0.1'\n\toption port '" +
			     std::to_string(w.port) + "'\n\toption proto '" + (s.udp ? "udp" : "tcp") + "'\n";
	if (*s.model)
		config += std::string("\toption model '") + s.model + "'\n";
	harness::write_config("ravel_tools", config);
	harness::system_log().clear();
	w.daemon = harness::process::spawn({program(o, "ravel_tools"), "-i", "cpe"}, program_env(o));
	if (!harness::system_log().wait_for("attach_odu ok", 15s))
		return "the daemon did not attach: " + w.daemon.err();
	std::this_thread::sleep_for(300ms);
	return {};
}

// ravel_tools_cli runs one after another until the end; each has a unique
// command, later looked up in what the module received.
cli_tally run_cli(harness::world &w, const options &o, const scenario &s, clock_type::time_point end)
{
	cli_tally c;
	std::vector<std::string> tags;
	while (clock_type::now() < end) {
		std::string tag = "cliN" + std::to_string(c.runs);
		auto r = harness::run({program(o, "ravel_tools_cli"), "-i", "cpe", "-c", "AT+ECHO" + tag,
				       "-w", std::to_string(s.wait_ms)},
				      30s, program_env(o));
		c.runs++;
		if (r.out.empty()) {
			c.printed_nothing++;
			tags.push_back(tag);
		}
		if (has(r.err, "may still run"))
			c.said_may_run++;
	}
	// Give the queue time to drain before asking the module what it ran.
	std::this_thread::sleep_for(8s);
	std::string received = w.sim_received();
	for (const auto &tag : tags)
		if (has(received, "AT+ECHO" + tag + "\\r"))
			c.ran_anyway++;
	for (const auto &line : harness::system_log().find("may still run"))
		if (line.ident == "ravel_tools_cli")
			c.log_may_run++;
	return c;
}

void print_row(const scenario &s, const tally &t, const cli_tally *c)
{
	std::string codes;
	for (int i = 0; i < 8; i++)
		if (t.codes[i])
			codes += (codes.empty() ? "" : " ") +
				 (i < 7 ? std::to_string(i) : std::string("other")) + ":" +
				 std::to_string(t.codes[i]);
	std::printf("%-14s %6ld %7ld %10ld %12ld %8ld  %s\n", s.name, t.calls, t.right, t.wrong_ok,
		    t.truncated_ok, t.bus_failed, codes.c_str());
	if (c)
		std::printf("%-14s cli runs %ld: printed nothing %ld, module ran it anyway %ld, said it may "
			    "still "
			    "run %ld (log lines %ld)\n",
			    "", c->runs, c->printed_nothing, c->ran_anyway, c->said_may_run, c->log_may_run);
	if (t.example[0])
		std::printf("%-14s first: %s\n", "", t.example);
	std::fflush(stdout);
}

// ---- A module that vanishes: it stops answering anything (heartbeats
// included) while its TCP connection stays open, as when its cable is pulled.

double seconds_since(clock_type::time_point from, clock_type::time_point to)
{
	return std::chrono::duration<double>(to - from).count();
}

// Every replacement of the link-state file (a rename onto its name, or a
// write closed on it), with whether it then said attached.
class state_watch {
public:
	struct change {
		clock_type::time_point at;
		bool attached;
	};

	state_watch()
	{
		fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
		if (fd_ >= 0)
			inotify_add_watch(fd_, "/tmp/oriel/cache", IN_MOVED_TO | IN_CLOSE_WRITE);
		thread_ = std::thread([this] { run(); });
	}
	~state_watch()
	{
		stop_ = true;
		thread_.join();
		if (fd_ >= 0)
			close(fd_);
	}
	state_watch(const state_watch &) = delete;
	state_watch &operator=(const state_watch &) = delete;

	std::vector<change> changes()
	{
		std::lock_guard<std::mutex> hold(mutex_);
		return changes_;
	}
	long count(clock_type::time_point from, clock_type::time_point to)
	{
		long n = 0;
		for (const auto &c : changes())
			n += c.at >= from && c.at < to;
		return n;
	}
	// When the file first said detached after from, if it did.
	std::optional<clock_type::time_point> detached_after(clock_type::time_point from)
	{
		for (const auto &c : changes())
			if (c.at >= from && !c.attached)
				return c.at;
		return std::nullopt;
	}

private:
	void run()
	{
		alignas(struct inotify_event) char buf[4096];
		const std::string name =
			std::filesystem::path(harness::world::state_file).filename().string();
		while (!stop_) {
			struct pollfd p = {fd_, POLLIN, 0};
			if (fd_ < 0 || poll(&p, 1, 50) <= 0)
				continue;
			ssize_t n = read(fd_, buf, sizeof buf);
			for (ssize_t at = 0; n > 0 && at < n;) {
				const auto *e = reinterpret_cast<const struct inotify_event *>(buf + at);
				if (e->len && name == e->name) {
					std::string text =
						harness::read_file(harness::world::state_file).value_or("");
					std::lock_guard<std::mutex> hold(mutex_);
					changes_.push_back({clock_type::now(), has(text, "\"server\"")});
				}
				at += ssize_t(sizeof *e) + e->len;
			}
		}
	}

	int fd_ = -1;
	std::atomic<bool> stop_{false};
	std::mutex mutex_;
	std::vector<change> changes_;
	std::thread thread_;
};

// The recorder's notify_proto lines: how many said available true and false.
struct notes {
	long total = 0, up = 0, down = 0;
};

notes count_notes(const std::string &log)
{
	notes n;
	for (size_t at = log.find("notify_proto"); at != std::string::npos;
	     at = log.find("notify_proto", at + 1)) {
		n.total++;
		size_t end = log.find('\n', at);
		size_t a = log.find("\"available\"", at);
		if (a == std::string::npos || a > end)
			continue;
		a = log.find_first_not_of(": ", a + 11);
		(log.compare(a, 4, "true") == 0 ? n.up : n.down)++;
	}
	return n;
}

notes operator-(notes a, const notes &b)
{
	return {a.total - b.total, a.up - b.up, a.down - b.down};
}

std::string shown(const notes &n)
{
	return std::to_string(n.total) + " (true " + std::to_string(n.up) + ", false " +
	       std::to_string(n.down) + ")";
}

// Shown on one line: line breaks as \r and \n, at most 60 characters.
std::string one_line(const std::string &text)
{
	std::string out;
	for (char c : text.substr(0, 60))
		out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
	return out;
}

// Idle: attached, no calls, then the module goes silent. Times the daemon's
// "lost" line, the link-state file saying detached and available:false.
void vanish_idle(harness::world &w, const options &o, bool udp)
{
	scenario s;
	s.name = udp ? "vanish-udp" : "vanish-tcp";
	s.what = "";
	s.udp = udp;
	std::printf("%s: silent module while idle, nothing called\n", s.name);
	if (auto why = start_scenario(w, o, s); !why.empty()) {
		std::printf("  not run: %s\n", why.c_str());
		return;
	}
	state_watch watch;
	notes before = count_notes(w.notifications());
	std::this_thread::sleep_for(2s);
	auto t0 = clock_type::now();
	std::printf("  simulator: %s\n", w.sim_control("silence on").c_str());
	std::optional<double> lost, detached, down;
	auto cap = t0 + std::chrono::seconds(o.cap);
	while (clock_type::now() < cap && (!lost || !detached || !down)) {
		std::this_thread::sleep_for(50ms);
		if (!lost)
			if (auto l = harness::system_log().find("link of cpe lost"); !l.empty())
				lost = seconds_since(t0, l.front().received);
		if (!detached)
			if (auto d = watch.detached_after(t0))
				detached = seconds_since(t0, *d);
		if (!down && (count_notes(w.notifications()) - before).down > 0)
			down = seconds_since(t0, clock_type::now());
	}
	auto figure = [&](const char *what, const std::optional<double> &t) {
		if (t)
			std::printf("  %-28s %6.1f s\n", what, *t);
		else
			std::printf("  %-28s not within %d s\n", what, o.cap);
	};
	figure("\"lost\" in the log after", lost);
	figure("state file detached after", detached);
	figure("available:false sent after", down);
	if (auto l = harness::system_log().find("link of cpe lost"); !l.empty())
		std::printf("  log (level %d): %s\n", l.front().level, one_line(l.front().text).c_str());
	std::printf("  notify_proto while silent: %s; state file rewrites: %ld\n",
		    shown(count_notes(w.notifications()) - before).c_str(),
		    watch.count(t0, clock_type::now()));
	// The module comes back a while after the loss, once the link is rebuilt.
	std::this_thread::sleep_for(3s);
	std::printf("  simulator: %s\n", w.sim_control("silence off").c_str());
	std::vector<std::string> tags;
	std::string cmd = command_for(call_kind::ECHO, "back", &tags);
	auto r = harness::run({program(o, "ravel_tools_cli"), "-i", "cpe", "-c", cmd, "-w", "2000"}, 30s,
			      program_env(o));
	std::printf("  first call once back: exit %d, %s: \"%s\"\n", r.status.code,
		    has(r.out, "+ECHO: back") ? "answered" : "not answered", one_line(r.out + r.err).c_str());
	std::fflush(stdout);
	stop(w.daemon);
	stop(w.sim);
}

// One caller every second (wait 1000) until end; what it saw, with when its
// first answer after back came, in the steady clock's nanoseconds.
struct paced_tally {
	long calls = 0, codes[8] = {}, bus_failed = 0;
	long long first_ok_after_back = -1;
};

[[noreturn]] void run_paced_caller(clock_type::time_point back, clock_type::time_point end, int out)
{
	paced_tally t;
	struct ubus_context *ctx = ubus_connect(nullptr);
	uint32_t id = 0;
	struct blob_buf b = {};
	auto next = clock_type::now();
	for (long n = 0; ctx && clock_type::now() < end; n++) {
		std::this_thread::sleep_until(next);
		next += 1s;
		reply r;
		int st = ubus_lookup_id(ctx, "ravelcpe", &id);
		if (st == 0) {
			blob_buf_init(&b, 0);
			blobmsg_add_string(&b, "cmd", ("AT+ECHOpN" + std::to_string(n)).c_str());
			blobmsg_add_u32(&b, "wait", 1000);
			st = ubus_invoke(ctx, id, "at_cmd", b.head, on_reply, &r, 30000);
		}
		t.calls++;
		if (st != 0 || !r.data) {
			t.bus_failed++;
			continue;
		}
		t.codes[r.code >= 0 && r.code < 7 ? r.code : 7]++;
		auto now = clock_type::now();
		if (r.code == 0 && now >= back && t.first_ok_after_back < 0)
			t.first_ok_after_back =
				std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch())
					.count();
		next = std::max(next, now);
	}
	blob_buf_free(&b);
	if (ctx)
		ubus_free(ctx);
	(void)!write(out, &t, sizeof t);
	_exit(0);
}

// UDP, one call a second, the module silent for the outage and then back:
// notifications and state-file rewrites during it, and how soon after it
// netifd hears available:true.
void outage_udp(harness::world &w, const options &o)
{
	scenario s;
	s.name = "outage-udp";
	s.what = "";
	s.udp = true;
	std::printf("outage-udp: module silent %d s, one call a second (wait 1000), udp\n", o.outage);
	if (auto why = start_scenario(w, o, s); !why.empty()) {
		std::printf("  not run: %s\n", why.c_str());
		return;
	}
	state_watch watch;
	notes at_start = count_notes(w.notifications());
	auto t_on = clock_type::now() + 3s;
	auto t_off = t_on + std::chrono::seconds(o.outage);
	auto end = t_off + 40s;
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0)
		return;
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		run_paced_caller(t_off, end, fds[1]);
	}
	close(fds[1]);
	std::this_thread::sleep_until(t_on);
	notes at_on = count_notes(w.notifications());
	std::printf("  simulator: %s\n", w.sim_control("silence on").c_str());
	std::this_thread::sleep_until(t_off);
	notes during = count_notes(w.notifications()) - at_on;
	long lost_lines = long(harness::system_log().find("link of cpe lost").size());
	long rebuilt = long(harness::system_log().find("at fail,disattach_odu").size());
	std::printf("  simulator: %s\n", w.sim_control("silence off").c_str());
	notes at_off = count_notes(w.notifications());
	std::optional<double> up;
	while (clock_type::now() < end && !up) {
		std::this_thread::sleep_for(50ms);
		if ((count_notes(w.notifications()) - at_off).up > 0)
			up = seconds_since(t_off, clock_type::now());
	}
	paced_tally t;
	if (read(fds[0], &t, sizeof t) != sizeof t)
		t = paced_tally{};
	close(fds[0]);
	if (pid > 0)
		waitpid(pid, nullptr, 0);
	std::printf("  during the outage: notify_proto %s, state file rewrites %ld, \"lost\" lines %ld, "
		    "links rebuilt for a failed call %ld\n",
		    shown(during).c_str(), watch.count(t_on, t_off), lost_lines, rebuilt);
	std::printf("  available:false ever sent: %s\n",
		    (count_notes(w.notifications()) - at_start).down > 0 ? "yes" : "no");
	if (up)
		std::printf("  available:true after back:  %.1f s\n", up.value());
	else
		std::printf("  available:true after back:  not within %d s\n", 40);
	if (t.first_ok_after_back >= 0) {
		clock_type::time_point ok{std::chrono::nanoseconds(t.first_ok_after_back)};
		std::printf("  first answered call after back: %.1f s\n", seconds_since(t_off, ok));
	} else {
		std::printf("  first answered call after back: none within 40 s\n");
	}
	std::string codes;
	for (int i = 0; i < 8; i++)
		if (t.codes[i])
			codes += " " + (i < 7 ? std::to_string(i) : std::string("other")) + ":" +
				 std::to_string(t.codes[i]);
	std::printf("  calls %ld, no reply %ld, codes%s\n", t.calls, t.bus_failed, codes.c_str());
	std::printf("  after attach, all notify_proto: %s; state file rewrites: %ld\n",
		    shown(count_notes(w.notifications()) - at_start).c_str(), long(watch.changes().size()));
	std::fflush(stdout);
	stop(w.daemon);
	stop(w.sim);
}

void run_vanish(harness::world &w, const options &o)
{
	auto wanted = [&](const char *name) {
		return o.only.empty() || std::find(o.only.begin(), o.only.end(), name) != o.only.end();
	};
	if (wanted("vanish-tcp"))
		vanish_idle(w, o, false);
	if (wanted("vanish-udp"))
		vanish_idle(w, o, true);
	if (wanted("outage-udp"))
		outage_udp(w, o);
}

const char usage[] = "Usage: ravel_campaign [--seconds N] [--programs DIR] [--only NAME]... [--list]\n"
		     "  --seconds N     length of each scenario (default 10; the heartbeat case runs\n"
		     "                  at least 25, the heartbeat comes every 20 s)\n"
		     "  --programs DIR  take ravel_tools and ravel_tools_cli from the build folder DIR\n"
		     "                  (DIR/daemon, DIR/cli or DIR itself), with its libraries; they\n"
		     "                  are copied next to this program. The bus and the simulator\n"
		     "                  stay this build's\n"
		     "  --only NAME     run only this scenario (repeatable)\n"
		     "  --list          list the scenarios\n"
		     "  --vanish        instead, a module that goes silent with its link open:\n"
		     "                  vanish-tcp and vanish-udp (idle, time until noticed) and\n"
		     "                  outage-udp (one call a second through an outage); --only\n"
		     "                  picks among them\n"
		     "  --cap N         longest wait for the daemon to notice (default 150 s)\n"
		     "  --outage N      length of the UDP outage (default 90 s)\n";

bool parse(int argc, char **argv, options *o)
{
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if (a == "--list") {
			for (const auto &s : all_scenarios())
				std::printf("%-14s %s\n", s.name, s.what);
			std::exit(0);
		}
		if (a == "--vanish") {
			o->vanish = true;
			continue;
		}
		if (i + 1 >= argc)
			return false;
		if (a == "--seconds") {
			o->seconds = std::atoi(argv[++i]);
			if (o->seconds < 1 || o->seconds > 3600)
				return false;
		} else if (a == "--cap" || a == "--outage") {
			int n = std::atoi(argv[++i]);
			if (n < 1 || n > 3600)
				return false;
			(a == "--cap" ? o->cap : o->outage) = n;
		} else if (a == "--programs") {
			o->programs = argv[++i];
		} else if (a == "--only") {
			o->only.push_back(argv[++i]);
		} else {
			return false;
		}
	}
	return true;
}

// The sandbox starts with an empty /tmp and sees only the source and build
// trees: programs from another build are copied next to this program, with
// the libraries of that build, which they then load through
// LD_LIBRARY_PATH (it goes before the RUNPATH they were linked with).
std::string take_programs(options *o)
{
	namespace fs = std::filesystem;
	std::error_code ec;
	fs::path from = fs::absolute(o->programs, ec);
	fs::path to = fs::read_symlink("/proc/self/exe", ec).parent_path() / "programs";
	fs::create_directories(to, ec);
	if (ec)
		return "cannot make " + to.string() + ": " + ec.message();
	for (const char *name : {"daemon/ravel_tools", "cli/ravel_tools_cli"}) {
		fs::path p = from / name;
		if (!fs::exists(p))
			p = from / fs::path(name).filename();
		if (!fs::copy_file(p, to / p.filename(), fs::copy_options::overwrite_existing, ec))
			return "cannot copy " + p.string() + ": " + ec.message();
	}
	for (auto it = fs::recursive_directory_iterator(from, ec);
	     !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
		std::string file = it->path().filename().string();
		if (file.rfind("lib", 0) == 0 && file.find(".so") != std::string::npos && !it->is_directory())
			fs::copy_file(it->path(), to / file, fs::copy_options::overwrite_existing, ec);
	}
	if (ec)
		return "cannot copy the libraries of " + from.string() + ": " + ec.message();
	o->programs = to.string();
	return {};
}

} // namespace

int main(int argc, char **argv)
{
	options o;
	if (!parse(argc, argv, &o)) {
		std::fputs(usage, stderr);
		return 1;
	}
	if (!o.programs.empty()) {
		if (auto why = take_programs(&o); !why.empty()) {
			std::fprintf(stderr, "ravel_campaign: %s\n", why.c_str());
			return 1;
		}
	}
	std::string why = harness::enter_sandbox();
	if (!why.empty()) {
		std::fprintf(stderr, "ravel_campaign: no private sandbox here (%s)\n", why.c_str());
		return 77;
	}
	harness::system_log();
	harness::world w;
	why = w.start_bus();
	if (why.empty())
		why = w.start_recorder();
	if (!why.empty()) {
		std::fprintf(stderr, "ravel_campaign: %s\n", why.c_str());
		return 1;
	}
	std::printf("daemon: %s\n", program(o, "ravel_tools").c_str());
	if (o.vanish) {
		run_vanish(w, o);
		w.stop();
		return 0;
	}
	std::printf("%-14s %6s %7s %10s %12s %8s  %s\n", "scenario", "calls", "right", "wrong-ok",
		    "truncated-ok", "no-reply", "codes");
	int failed = 0;
	for (const scenario &s : all_scenarios()) {
		if (!o.only.empty() && std::find(o.only.begin(), o.only.end(), s.name) == o.only.end())
			continue;
		why = start_scenario(w, o, s);
		if (!why.empty()) {
			std::printf("%-14s not run: %s\n", s.name, why.c_str());
			failed++;
			stop(w.daemon);
			stop(w.sim);
			continue;
		}
		auto end = clock_type::now() + std::chrono::seconds(std::max(o.seconds, s.min_seconds));
		int fds[2];
		if (pipe2(fds, O_CLOEXEC) != 0)
			return 1;
		std::vector<pid_t> callers;
		for (int c = 0; c < s.callers; c++) {
			pid_t pid = fork();
			if (pid == 0) {
				close(fds[0]);
				run_caller(w, s, c, end, fds[1]);
			}
			if (pid > 0)
				callers.push_back(pid);
		}
		close(fds[1]);
		cli_tally c;
		if (s.cli)
			c = run_cli(w, o, s, end);
		tally all;
		for (size_t i = 0; i < callers.size(); i++) {
			tally t;
			if (read(fds[0], &t, sizeof t) == sizeof t)
				all.add(t);
		}
		close(fds[0]);
		for (pid_t pid : callers)
			waitpid(pid, nullptr, 0);
		print_row(s, all, s.cli ? &c : nullptr);
		stop(w.daemon);
		stop(w.sim);
	}
	w.stop();
	return failed ? 1 : 0;
}
