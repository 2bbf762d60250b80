// SPDX-License-Identifier: ISC
// Soak and fault campaign: the real daemon under a long stream of "at_cmd"
// calls from several callers while the module link and the bus misbehave.
//
// In a private sandbox it starts ravel-busd, the modem simulator (with a
// control socket), a recording "network.interface" and ravel_tools -i cpe.
// Caller processes (each with its own bus connection) take call tickets from
// a shared counter; a fault thread drops, silences and garbles the module
// link, sends unsolicited text, resets the link and restarts the bus daemon.
// Every call must end with a reply or a bus status that the moment explains
// (a bus status only while the bus restarts), within its bound; the daemon's
// RSS and descriptors after warm-up and at the end must match.
//
// Exit status: 0 pass, 1 fail, 2 bad usage, 77 no sandbox here (skip).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "world.h"
#include "soak.h"

using namespace std::chrono_literals;
using namespace soak;

namespace {

constexpr const char *STATE_FILE = harness::world::state_file;

void usage(FILE *to)
{
	std::fprintf(to,
		     "Usage: ravel_soak [options]\n"
		     "  --calls N          at_cmd calls in all (default 100000)\n"
		     "  --callers N        concurrent callers, 1-%d (default 4)\n"
		     "  --restarts N       bus daemon restarts (default 2)\n"
		     "  --fault-every N    calls between link faults (default calls/40, at least 200)\n"
		     "  --wait MS          \"wait\" of each request (default 500)\n"
		     "  --rss-slack KIB    allowed RSS growth (default 16)\n"
		     "  --no-rss-check     report RSS without judging it\n"
		     "  --seed N           command mix seed (default 1)\n"
		     "  --skip FAULT       leave out a link fault (drop, garbage, silence, scan, huge,\n"
		     "                     urc, trickle, close-after, outage, reset-event); repeatable\n"
		     "  --flood MS         no link faults or restarts: unsolicited text every MS ms\n"
		     "                     instead, and every answer must begin with its own echo\n"
		     "  --dump-log         print the captured system log at the end\n"
		     "  --daemon-log N     start the daemon with -l N\n"
		     "  --daemon-env N=V   add to the daemon's environment (e.g. ASAN_OPTIONS); repeatable\n"
		     "  --quiet            no progress lines\n",
		     MAX_CALLERS);
}

bool parse_options(int argc, char **argv, options &o)
{
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		auto number = [&](long lo, long hi, long &out) {
			if (i + 1 >= argc)
				return false;
			char *end = nullptr;
			long v = std::strtol(argv[++i], &end, 10);
			if (!end || *end || v < lo || v > hi)
				return false;
			out = v;
			return true;
		};
		long v = 0;
		if (a == "--calls" && number(1, 100000000, v))
			o.calls = v;
		else if (a == "--callers" && number(1, MAX_CALLERS, v))
			o.callers = int(v);
		else if (a == "--restarts" && number(0, 20, v))
			o.restarts = int(v);
		else if (a == "--fault-every" && number(10, 100000000, v))
			o.fault_every = v;
		else if (a == "--wait" && number(1, 10000, v))
			o.wait_ms = int(v);
		else if (a == "--rss-slack" && number(0, 1 << 20, v))
			o.rss_slack_kib = v;
		else if (a == "--seed" && number(0, 1L << 31, v))
			o.seed = unsigned(v);
		else if (a == "--flood" && number(1, 10000, v)) {
			o.flood_ms = int(v);
			o.restarts = 0;
		} else if (a == "--no-rss-check")
			o.rss_check = false;
		else if (a == "--quiet")
			o.quiet = true;
		else if (a == "--dump-log")
			o.dump_log = true;
		else if (a == "--daemon-log" && number(0, 7, v))
			o.daemon_level = std::to_string(v);
		else if (a == "--daemon-env" && i + 1 < argc && std::strchr(argv[i + 1], '='))
			o.daemon_env.push_back(argv[++i]);
		else if (a == "--skip" && i + 1 < argc)
			o.skip.push_back(argv[++i]);
		else if (a == "-h" || a == "--help") {
			usage(stdout);
			std::exit(0);
		} else
			return false;
	}
	if (o.fault_every == 0)
		o.fault_every = std::max(200L, o.calls / 40);
	return true;
}

// ---------------------------------------------------------------- the campaign

struct window {
	int64_t from_ns, to_ns;
};

// A sanitizer's report, or a crash note, in what a program wrote.
bool has_sanitizer_report(const std::string &err)
{
	return err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos;
}

class campaign {
public:
	explicit campaign(const options &o) : o_(o), bound_ms_(call_bound_ms(o)) {}
	int run();

private:
	bool start_world();
	void fault_thread();
	void flood_thread();
	void inject(const std::string &fault);
	void restart_bus(bool hard);
	bool probe_ok(harness::ms deadline);
	footprint settle_and_measure();
	bool wait_done(long count);
	void note(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
	void problem(const std::string &what);
	int report();

	const options o_;
	const int bound_ms_;
	shared_state *s_ = nullptr;
	std::vector<pid_t> callers_;
	harness::world w_;

	std::mutex mutex_; // guards what follows, written by the fault thread
	std::vector<window> restart_windows_;
	std::map<std::string, int> faults_;
	std::vector<std::string> problems_;
	std::vector<std::string> bus_errs_; // stderr of bus daemons that ended
	int restarts_done_ = 0;
	std::mutex fault_mutex_; // held while a fault is being made
	bool faults_enabled_ = false;
	std::atomic<bool> end_faults_{false};

	footprint warm_, end_;
	int64_t t0_ = 0, t_end_ = 0;
	long warmup_calls_ = 0;
};

void campaign::note(const char *fmt, ...)
{
	if (o_.quiet)
		return;
	va_list ap;
	va_start(ap, fmt);
	std::printf("[%7.1fs] ", double(now_ns() - t0_) / 1e9);
	std::vprintf(fmt, ap);
	std::printf("\n");
	std::fflush(stdout);
	va_end(ap);
}

void campaign::problem(const std::string &what)
{
	std::lock_guard lock(mutex_);
	problems_.push_back(what);
}

bool campaign::start_world()
{
	std::string why = w_.start_bus();
	if (why.empty())
		why = w_.start_recorder();
	if (why.empty())
		why = w_.start_sim({"-e"});
	if (why.empty()) {
		harness::world::daemon_options d;
		if (!o_.daemon_level.empty())
			d.args = {"-l", o_.daemon_level};
		d.env = o_.daemon_env;
		d.deadline = 15s;
		why = w_.start_daemon(d);
	}
	if (!why.empty())
		return problem(why), false;
	return true;
}

// One attempt at a quiet call through the bus tool: the link is up and the
// daemon answers.
bool campaign::probe_ok(harness::ms deadline)
{
	auto until = std::chrono::steady_clock::now() + deadline;
	while (std::chrono::steady_clock::now() < until) {
		auto r = harness::run({harness::program_path("ravel-bus"), "-t", "10", "call", OBJECT,
				       "at_cmd", "{\"cmd\":\"AT\"}"},
				      15s);
		if (r.status.exited && r.status.code == 0 && r.out.find("\"code\": 0") != std::string::npos)
			return true;
		std::this_thread::sleep_for(300ms);
	}
	return false;
}

// The footprint of the daemon at rest: the link attached (the state file
// names the server), the notification after the attach done, the loop idle.
footprint campaign::settle_and_measure()
{
	w_.sim_control("silence off");
	w_.sim_control("refuse off");
	w_.sim_control("clear");
	if (!probe_ok(30s))
		problem("the daemon did not answer a quiet call after the faults");
	for (int i = 0; i < 50; i++) {
		if (harness::read_file(STATE_FILE).value_or("").find("127.0.0.1") != std::string::npos)
			break;
		std::this_thread::sleep_for(100ms);
	}
	std::this_thread::sleep_for(1500ms);
	w_.daemon.wait_idle(5s);
	footprint f = measure(w_.daemon.pid());
	// Two readings in a row must agree, so a poll run in flight is not taken.
	for (int i = 0; i < 10; i++) {
		std::this_thread::sleep_for(300ms);
		w_.daemon.wait_idle(5s);
		footprint g = measure(w_.daemon.pid());
		if (g.fds == f.fds && g.rss_kib == f.rss_kib)
			break;
		f = g;
	}
	return f;
}

void campaign::restart_bus(bool hard)
{
	int64_t from = now_ns();
	size_t reconnects = harness::system_log().find("reconnected to ubus").size();
	note("bus restart %d (%s)", restarts_done_ + 1, hard ? "SIGKILL" : "SIGTERM");
	if (hard) {
		w_.bus.kill();
	} else {
		w_.bus.signal(SIGTERM);
		auto st = w_.bus.wait(10s);
		if (!st.ended || !st.exited || st.code != 0)
			problem("the bus daemon did not end cleanly on SIGTERM");
	}
	{
		std::lock_guard lock(mutex_);
		bus_errs_.push_back(w_.bus.err());
	}
	std::this_thread::sleep_for(1s);
	if (!w_.start_bus().empty())
		problem("the bus daemon did not come back");
	if (!w_.recorder.running())
		w_.start_recorder();
	// The daemon retries every 2 s; give it a few rounds.
	bool back = false;
	for (int i = 0; i < 200 && !back; i++) {
		back = harness::system_log().find("reconnected to ubus").size() > reconnects;
		if (!back)
			std::this_thread::sleep_for(100ms);
	}
	if (!back)
		problem("the daemon did not reconnect to the bus within 20 s of restart " +
			std::to_string(restarts_done_ + 1));
	// Callers find the object again after their pause and a lookup.
	std::this_thread::sleep_for(1s);
	std::lock_guard lock(mutex_);
	restart_windows_.push_back({from, now_ns() + int64_t(bound_ms_) * 1000000 + 2000000000LL});
	restarts_done_++;
	faults_["bus restart"]++;
}

void campaign::inject(const std::string &fault)
{
	auto ctl = [&](const std::string &line, bool need_link = true) {
		std::string r = w_.sim_control(line);
		// A fault that needs the link waits for the daemon to attach again.
		for (int i = 0; need_link && i < 100 && r.find("no connection") != std::string::npos; i++) {
			std::this_thread::sleep_for(100ms);
			r = w_.sim_control(line);
		}
		if (r.compare(0, 2, "ok") != 0 && (need_link || r.find("no connection") == std::string::npos))
			problem("simulator control \"" + line + "\" answered \"" + r + "\"");
	};
	if (fault == "drop") {
		ctl("drop");
	} else if (fault == "silence") {
		ctl("silence on");
		std::this_thread::sleep_for(2s);
		ctl("silence off");
	} else if (fault == "garbage") {
		ctl("garbage 5");
	} else if (fault == "scan") {
		ctl("scan 1,460,00,-95");
		ctl("scan 2,460,01,-101");
	} else if (fault == "urc") {
		ctl("urc \\r\\n+CREG: 1\\r\\n");
	} else if (fault == "huge") {
		ctl("huge 65536");
	} else if (fault == "trickle") {
		ctl("trickle 200 20");
	} else if (fault == "close-after") {
		ctl("close-after");
	} else if (fault == "outage") {
		ctl("refuse on");
		ctl("drop", false);
		std::this_thread::sleep_for(1500ms);
		ctl("refuse off");
	} else if (fault == "reset-event") {
		auto r = harness::run({harness::program_path("ravel-bus"), "send", "ravel.cpe.reset", "{}"},
				      10s);
		if (r.status.code != 0)
			problem("the reset event could not be sent: " + r.err);
	}
	note("fault: %s", fault.c_str());
	std::lock_guard lock(mutex_);
	faults_[fault]++;
}

// A stream of text the module sends on its own, scan reports among it, some
// of it holding a final result. It is sent between batches of calls (no call
// in flight), so all of it reaches the daemon before the next commands go
// out, and none of it may reach their answers. (Text that a module sends
// just as a command reaches it cannot be told from the answer.)
void campaign::flood_thread()
{
	static const char *const texts[] = {
		"urc \\r\\n+QIND: \"csq\",23,99\\r\\n",
		"scan 1,460,00,-95",
		"urc \\r\\n+QIND: FOTA OK\\r\\n",
		"urc \\r\\n+CME ERROR: 30\\r\\n",
	};
	long sent = 0;
	s_->fault_gate = 0;
	while (!end_faults_ && s_->fault_gate.load() < o_.calls) {
		while (!end_faults_ && s_->done.load() < s_->fault_gate.load())
			std::this_thread::sleep_for(1ms);
		{
			// Nothing is sent while the footprint is measured.
			std::lock_guard lock(fault_mutex_);
			for (int i = 0; faults_enabled_ && i < 1 + int(sent % 3); i++)
				if (w_.sim_control(texts[sent % 4]).compare(0, 2, "ok") == 0)
					sent++;
		}
		s_->fault_gate = std::min(o_.calls, s_->fault_gate.load() + 2L * o_.callers);
		std::this_thread::sleep_for(std::chrono::milliseconds(o_.flood_ms));
	}
	s_->fault_gate = o_.calls;
	note("flood: %ld unsolicited texts sent", sent);
	std::lock_guard lock(mutex_);
	faults_["flood"] = int(sent);
}

const char *const ROTATION[] = {"drop", "garbage", "silence",     "scan",   "huge",
				"urc",  "trickle", "close-after", "outage", "reset-event"};
constexpr int N_ROTATION = sizeof(ROTATION) / sizeof(ROTATION[0]);

// Faults by the number of calls done: two rounds of every link fault during
// warm-up (so its footprint includes what they allocate), then one every
// fault_every calls, and the bus restarts spread over the main phase.
void campaign::fault_thread()
{
	struct step {
		long at;
		std::string fault;
	};
	std::vector<std::string> rotation;
	for (const char *f : ROTATION)
		if (std::find(o_.skip.begin(), o_.skip.end(), f) == o_.skip.end())
			rotation.push_back(f);
	// Two rounds in warm-up: the allocator reaches its high-water mark for
	// a huge answer only at the second one (the heap's layout differs).
	std::vector<step> plan;
	const long slots = long(2 * rotation.size() + 2);
	for (size_t i = 0; i < 2 * rotation.size(); i++)
		plan.push_back({warmup_calls_ * long(i + 1) / slots, rotation[i % rotation.size()]});
	size_t next = 0;
	for (long at = warmup_calls_ + o_.fault_every / 2;
	     !rotation.empty() && at < o_.calls - o_.fault_every / 2; at += o_.fault_every)
		plan.push_back({at, rotation[next++ % rotation.size()]});
	long main_calls = o_.calls - warmup_calls_;
	for (int r = 0; r < o_.restarts; r++)
		plan.push_back({warmup_calls_ + main_calls * (r + 1) / (o_.restarts + 1) + o_.fault_every / 4,
				r % 2 ? "bus restart hard" : "bus restart"});
	std::stable_sort(plan.begin(), plan.end(), [](const step &a, const step &b) { return a.at < b.at; });
	plan.push_back({o_.calls, ""});
	plan.push_back({o_.calls, ""});

	// Calls run at most up to the fault after the next one, so every fault
	// is made while calls are still flowing.
	s_->fault_gate = plan[1].at;
	for (size_t k = 0; k + 2 < plan.size(); k++) {
		const step &st = plan[k];
		for (;;) {
			if (end_faults_)
				return;
			if (s_->done.load() >= st.at) {
				std::lock_guard lock(fault_mutex_);
				if (faults_enabled_) {
					if (st.fault == "bus restart")
						restart_bus(false);
					else if (st.fault == "bus restart hard")
						restart_bus(true);
					else
						inject(st.fault);
					s_->fault_gate = plan[k + 2].at;
					break;
				}
			}
			std::this_thread::sleep_for(5ms);
		}
	}
}

bool campaign::wait_done(long count)
{
	const int64_t hang_ns = (int64_t(bound_ms_) + 10000) * 1000000;
	long last_done = -1;
	int64_t last_note = now_ns();
	while (s_->done.load() < count) {
		std::this_thread::sleep_for(100ms);
		int64_t t = now_ns();
		for (int c = 0; c < o_.callers; c++) {
			long ticket = s_->current[c].load();
			if (ticket < 0)
				continue;
			int64_t started = s_->records[ticket].start_ns.load();
			if (started && t - started > hang_ns) {
				problem("call " + std::to_string(ticket) + " of caller " + std::to_string(c) +
					" hangs past its bound");
				return false;
			}
		}
		if (!w_.daemon.running()) {
			problem("the daemon ended during the campaign");
			return false;
		}
		for (pid_t pid : callers_) {
			int status = 0;
			// A caller leaves with 0 once the tickets are gone; anything else is a crash.
			if (waitpid(pid, &status, WNOHANG) == pid &&
			    !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
				problem("caller process " + std::to_string(pid) + " ended early (status " +
					std::to_string(status) + ")");
				return false;
			}
		}
		long d = s_->done.load();
		if (t - last_note > 10000000000LL && d != last_done) {
			note("%ld calls done", d);
			last_note = t;
			last_done = d;
		}
	}
	return true;
}

int campaign::run()
{
	std::string why = harness::enter_sandbox();
	if (!why.empty()) {
		// Under CI a run that did not happen must not pass as skipped.
		std::fprintf(stderr, "ravel_soak: no private sandbox here (%s); %s\n", why.c_str(),
			     harness::under_ci() ? "failed (CI is set)" : "skipped");
		return harness::under_ci() ? 1 : 77;
	}
	s_ = make_shared_state(o_.calls);
	if (!s_) {
		std::perror("ravel_soak: mmap");
		return 1;
	}
	// The callers are forked before any thread exists in this process.
	for (int c = 0; c < o_.callers; c++) {
		pid_t pid = fork();
		if (pid == 0)
			run_caller(s_, c, o_, bound_ms_);
		if (pid < 0) {
			std::perror("ravel_soak: fork");
			s_->stop = 1;
			return 1;
		}
		callers_.push_back(pid);
	}
	t0_ = now_ns();
	harness::system_log();
	bool ok = start_world();
	warmup_calls_ = std::min(o_.calls / 2, std::max(300L, o_.calls / 20));
	std::thread faults;
	if (ok) {
		note("world up; warm-up of %ld calls with two rounds of link faults", warmup_calls_);
		faults_enabled_ = true;
		if (o_.flood_ms > 0) {
			faults = std::thread([this] { flood_thread(); });
		} else {
			faults = std::thread([this] { fault_thread(); });
		}
		s_->gate = warmup_calls_;
		ok = wait_done(warmup_calls_);
	}
	if (ok) {
		{
			// No fault while measuring.
			std::lock_guard lock(fault_mutex_);
			faults_enabled_ = false;
			warm_ = settle_and_measure();
			note("after warm-up: RSS %ld KiB, %d descriptors", warm_.rss_kib, warm_.fds);
			faults_enabled_ = true;
		}
		s_->gate = o_.calls;
		ok = wait_done(o_.calls);
	}
	t_end_ = now_ns();
	end_faults_ = true;
	if (faults.joinable())
		faults.join();
	s_->stop = 1;
	for (pid_t pid : callers_) {
		int status = 0;
		for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; i++)
			std::this_thread::sleep_for(100ms);
		if (waitpid(pid, &status, WNOHANG) == 0) {
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
		}
	}
	if (ok) {
		end_ = settle_and_measure();
		note("at the end: RSS %ld KiB, %d descriptors", end_.rss_kib, end_.fds);
	}
	// The programs must end cleanly, without a sanitizer's report.
	auto stop = [&](harness::process &p, const char *name) {
		if (!p.running() && p.pid() < 0)
			return;
		p.signal(SIGTERM);
		auto st = p.wait(10s);
		note("%s ended: %s %d, %zu bytes on stderr", name, st.exited ? "status" : "signal",
		     st.exited ? st.code : st.signal, p.err().size());
		if (!st.ended)
			problem(std::string(name) + " did not end within 10 s of SIGTERM");
		else if (!st.exited || st.code != 0)
			problem(std::string(name) + " ended with " +
				(st.exited ? "status " + std::to_string(st.code)
					   : "signal " + std::to_string(st.signal)));
		if (has_sanitizer_report(p.err()))
			problem(std::string(name) + " reported:\n" + p.err());
	};
	stop(w_.daemon, "ravel_tools");
	stop(w_.recorder, "ravel-bus serve");
	stop(w_.sim, "ravel_modem_sim");
	stop(w_.bus, "ravel-busd");
	for (const auto &err : bus_errs_)
		if (has_sanitizer_report(err))
			problem("a restarted ravel-busd reported:\n" + err);
	return report();
}

// Control characters escaped, for printing a module's text on one line.
std::string visible(const char *text)
{
	std::string out;
	for (const char *p = text; *p; p++) {
		if (*p == '\r')
			out += "\\r";
		else if (*p == '\n')
			out += "\\n";
		else if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) >= 0x7f) {
			char hex[8];
			std::snprintf(hex, sizeof(hex), "\\x%02x", static_cast<unsigned char>(*p));
			out += hex;
		} else
			out += *p;
	}
	return out;
}

bool in_restart_window(const std::vector<window> &ws, const call_record &r)
{
	for (const auto &w : ws)
		if (r.start_ns.load() <= w.to_ns && r.end_ns.load() >= w.from_ns)
			return true;
	return false;
}

double percentile(std::vector<double> &v, double p)
{
	if (v.empty())
		return 0;
	size_t i = std::min(v.size() - 1, size_t(double(v.size()) * p));
	return v[i];
}

int campaign::report()
{
	long counts[OUT_COUNT] = {};
	long codes[8] = {};
	long odd_codes = 0, unexplained = 0, without_final = 0, finished = 0, foreign_first = 0;
	std::vector<double> lat_all, lat_ok;
	std::string first_unexplained, first_foreign;
	for (long i = 0; i < o_.calls; i++) {
		const call_record &r = s_->records[i];
		if (!r.end_ns.load()) {
			counts[OUT_NONE]++;
			continue;
		}
		finished++;
		counts[r.outcome]++;
		double ms = double(r.end_ns.load() - r.start_ns.load()) / 1e6;
		lat_all.push_back(ms);
		switch (r.outcome) {
		case OUT_REPLY:
			if (r.code >= 0 && r.code < 8 && r.code != 1 && r.code != 7)
				codes[r.code]++;
			else
				odd_codes++;
			if (r.code == 0) {
				lat_ok.push_back(ms);
				if (!r.final_seen)
					without_final++;
				if (r.has_answer && !r.own_first && !foreign_first++)
					first_foreign = "call " + std::to_string(i) + " \"" +
							command_text(r.kind, i) + "\": answer begins \"" +
							visible(r.head) + "\"";
			}
			break;
		case OUT_BUS_TIMEOUT:
		case OUT_CONN_FAILED:
		case OUT_NOT_FOUND:
		case OUT_CONNECT_FAILED:
			if (!in_restart_window(restart_windows_, r)) {
				if (!unexplained++)
					first_unexplained =
						"call " + std::to_string(i) + ": " + outcome_name(r.outcome) +
						" (status " + std::to_string(r.status) + ") at " +
						std::to_string(double(r.start_ns.load() - t0_) / 1e9) + " s";
			}
			break;
		default:
			break;
		}
	}
	std::sort(lat_all.begin(), lat_all.end());
	std::sort(lat_ok.begin(), lat_ok.end());
	double secs = double(t_end_ - t0_) / 1e9;

	std::printf("\n== soak campaign ==\n");
	std::printf("calls            %ld requested, %ld finished, %d callers, wait %d ms, bound %d ms\n",
		    o_.calls, finished, o_.callers, o_.wait_ms, bound_ms_);
	std::printf("outcomes\n");
	for (int c = 0; c < 8; c++)
		if (codes[c])
			std::printf("  code %d             %ld\n", c, codes[c]);
	if (odd_codes)
		std::printf("  other code         %ld\n", odd_codes);
	for (int o = OUT_NO_DATA; o < OUT_COUNT; o++)
		if (counts[o])
			std::printf("  %-19s%ld\n", outcome_name(o), counts[o]);
	if (counts[OUT_NONE])
		std::printf("  unfinished         %ld\n", counts[OUT_NONE]);
	std::printf("  bus outcomes outside a bus restart: %ld\n", unexplained);
	std::printf("  code 0 without OK/ERROR in the answer: %ld (module faults cut answers short)\n",
		    without_final);
	std::printf("  code 0 with other text before the command's echo: %ld (stale or unsolicited text)\n",
		    foreign_first);
	if (foreign_first)
		std::printf("    first: %s\n", first_foreign.c_str());
	std::printf("throughput       %.0f calls/s over %.1f s (faults included)\n", double(finished) / secs,
		    secs);
	std::printf("latency, all     median %.2f ms, p99 %.2f ms, max %.2f ms\n", percentile(lat_all, 0.5),
		    percentile(lat_all, 0.99), lat_all.empty() ? 0 : lat_all.back());
	std::printf("latency, code 0  median %.2f ms, p99 %.2f ms, max %.2f ms\n", percentile(lat_ok, 0.5),
		    percentile(lat_ok, 0.99), lat_ok.empty() ? 0 : lat_ok.back());
	// Under emulation the resident memory is the emulator's, whose cache of
	// translated code grows with every path the daemon takes: no measure of
	// the daemon (its own heap lives unseen inside the emulator's mappings).
	bool rss_check = o_.rss_check && warm_.emulator.empty();
	std::printf("daemon RSS       %ld KiB after warm-up, %ld KiB at the end (%+ld KiB)%s\n",
		    warm_.rss_kib, end_.rss_kib, end_.rss_kib - warm_.rss_kib,
		    rss_check ? "" : " [not judged]");
	if (o_.rss_check && !rss_check)
		std::printf("                 not judged: the daemon runs under %s, so this is the "
			    "emulator's memory, its cache of translated code included\n",
			    warm_.emulator.c_str());
	std::printf("daemon fds       %d after warm-up, %d at the end\n", warm_.fds, end_.fds);
	std::printf("bus restarts     %d\n", restarts_done_);
	std::printf("faults injected ");
	int total = 0;
	for (const auto &[name, n] : faults_) {
		std::printf(" %s %d,", name.c_str(), n);
		total += n;
	}
	std::printf(" %d in all\n", total);
	std::printf("daemon log       %zu \"attach_odu ok\", %zu \"at fail,disattach_odu\", %zu "
		    "\"reconnected to ubus\"\n",
		    harness::system_log().find("attach_odu ok").size(),
		    harness::system_log().find("at fail,disattach_odu").size(),
		    harness::system_log().find("reconnected to ubus").size());

	auto &problems = problems_;
	if (counts[OUT_NONE])
		problems.push_back(std::to_string(counts[OUT_NONE]) + " calls never finished");
	if (counts[OUT_NO_DATA] || counts[OUT_BAD_REPLY] || counts[OUT_OTHER_STATUS] || odd_codes)
		problems.push_back("replies lost or malformed, or an undocumented status or code");
	if (unexplained)
		problems.push_back(std::to_string(unexplained) +
				   " bus outcomes outside a bus restart; first: " + first_unexplained);
	if (o_.flood_ms > 0 && foreign_first)
		problems.push_back(
			std::to_string(foreign_first) +
			" answers held unsolicited text before their own echo; first: " + first_foreign);
	if (restarts_done_ != o_.restarts)
		problems.push_back("only " + std::to_string(restarts_done_) + " bus restarts were made");
	if (warm_.fds < 0 || end_.fds != warm_.fds) {
		std::string diff = "descriptors changed:";
		for (const auto &t : warm_.fd_targets)
			if (std::find(end_.fd_targets.begin(), end_.fd_targets.end(), t) ==
			    end_.fd_targets.end())
				diff += "\n  gone " + t;
		for (const auto &t : end_.fd_targets)
			if (std::find(warm_.fd_targets.begin(), warm_.fd_targets.end(), t) ==
			    warm_.fd_targets.end())
				diff += "\n  new  " + t;
		problems.push_back(diff);
	}
	if (rss_check && (warm_.rss_kib < 0 || end_.rss_kib - warm_.rss_kib > o_.rss_slack_kib)) {
		std::string diff = "RSS grew by more than " + std::to_string(o_.rss_slack_kib) + " KiB:";
		for (const auto &[name, kib] : end_.rss_by_mapping) {
			auto w = warm_.rss_by_mapping.find(name);
			long before = w == warm_.rss_by_mapping.end() ? 0 : w->second;
			if (kib != before)
				diff += "\n  " + name + " " + std::to_string(before) + " -> " +
					std::to_string(kib) + " KiB";
		}
		problems.push_back(diff);
	}
	if (o_.dump_log)
		std::printf("\n== system log ==\n%s\n", harness::system_log().dump().c_str());
	if (problems.empty()) {
		std::printf("result           PASS\n");
		return 0;
	}
	std::printf("result           FAIL\n");
	for (const auto &p : problems)
		std::printf("  - %s\n", p.c_str());
	return 1;
}

} // namespace

int main(int argc, char **argv)
{
	options o;
	if (!parse_options(argc, argv, o)) {
		usage(stderr);
		return 2;
	}
#if defined(__SANITIZE_ADDRESS__)
	// The sanitizer's allocator keeps freed memory in quarantine: RSS says
	// nothing about leaks there (the leak check at the daemon's exit does).
	o.rss_check = false;
#endif
	signal(SIGPIPE, SIG_IGN);
	std::setvbuf(stdout, nullptr, _IOLBF, 0);
	campaign c(o);
	return c.run();
}
