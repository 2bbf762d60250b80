// SPDX-License-Identifier: ISC
// End-to-end test harness: runs the real programs in a private sandbox.
// world.h starts the whole system of a scenario on top of it.
//
// The sandbox is a private mount namespace entered once per test process:
//   /tmp, /run (and so /var/run)  fresh tmpfs
//   /etc                          overlay on the host's /etc; /etc/config is an
//                                 empty scratch directory
//   /dev                          overlay on the host's /dev; /dev/log is a
//                                 datagram socket read by the harness
//   /proc/uptime                  a writable file bound over it, once
//                                 set_uptime() is called
// As root this is a plain unshare (also inside a chroot whose directory is not
// a mount point); otherwise a user namespace is tried. When neither works,
// e2e tests skip with the cause, or fail with it when CI is set (sandbox_test).
//
// ctest runs each test as its own process (gtest_discover_tests), so each test
// gets a fresh sandbox. Running a whole e2e binary at once shares one sandbox
// between its tests.
//
// Typical use:
//   class daemon_e2e : public harness::sandbox_test {};
//   TEST_F(daemon_e2e, stops_on_usr1) {
//       harness::write_config("ravel_tools", "config channel 'cpe'\n...");
//       auto p = harness::process::spawn({harness::program_path("ravel_tools"), "-i", "cpe"});
//       ASSERT_TRUE(harness::system_log().wait_for("config channel name:cpe"));
//       p.signal(SIGUSR1);
//       auto st = p.wait(5s);
//       EXPECT_TRUE(st.exited && st.code == 0);
//   }
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace harness {

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

// Enters the sandbox (once per process; later calls return the first result).
// Returns an empty text on success, else why it could not be made. Must run
// before the process starts any thread.
std::string enter_sandbox();
bool in_sandbox();
// CI=true (or 1) in the environment: a sandbox that cannot be made fails.
bool under_ci();

// Fixture for e2e tests: enters the sandbox in SetUp (skipping the test with
// the reason when it cannot, or failing it under CI; a derived SetUp returns
// when IsSkipped() || HasFatalFailure()), starts (or clears) the syslog capture, and in TearDown kills
// every process spawned through the harness that is still running.
class sandbox_test : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;
};

// The built program of that name (searched in the build tree), e.g.
// program_path("ravel_tools"). Fails the test's assertion when missing: check
// with program_exists() to skip instead.
std::string program_path(const std::string &name);
bool program_exists(const std::string &name);

// Files. write_config writes /etc/config/<package> (sandbox only).
void write_config(const std::string &package, const std::string &content);
void write_file(const std::string &path, const std::string &content);
std::optional<std::string> read_file(const std::string &path);
bool path_exists(const std::string &path);
// Waits until path exists (a socket, a state file); false at the deadline.
bool wait_for_path(const std::string &path, ms deadline);

// Replaces what /proc/uptime reads, e.g. set_uptime("12345.67 23456.78\n").
// The first call binds a harness file over /proc/uptime (sandbox only).
void set_uptime(const std::string &line);

// How a process ended.
struct exit_status {
	bool ended = false;  // false: still running at the deadline
	bool exited = false; // normal exit, code is valid
	int code = -1;       // exit status (0..255)
	int signal = 0;      // terminating signal when killed
	ms elapsed{0};       // from spawn to when the end was seen
};

// A spawned program with stdout and stderr captured to files. Moving only;
// the destructor kills (SIGKILL) and reaps a process still running.
class process {
public:
	// argv[0] is the path run (use program_path). Extra environment entries
	// are "NAME=value" texts added to the harness's own environment.
	static process spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
	process() = default;
	process(process &&other) noexcept;
	process &operator=(process &&other) noexcept;
	process(const process &) = delete;
	process &operator=(const process &) = delete;
	~process();

	pid_t pid() const { return pid_; }
	bool running();
	bool signal(int signo);
	// Waits until the process has a handler installed for signo (read from
	// /proc/<pid>/status), so a signal sent next reaches that handler.
	bool wait_caught(int signo, ms deadline);
	// Waits until the process sleeps in poll/epoll/select (its event loop, for
	// the daemon), read from /proc/<pid>/wchan.
	bool wait_idle(ms deadline);
	// Waits for the end until the deadline; ended is false on time-out.
	exit_status wait(ms deadline);
	// Sends SIGKILL if still running and reaps.
	exit_status kill();
	// What the process wrote so far.
	std::string out() const;
	std::string err() const;

private:
	void reap(int status);
	pid_t pid_ = -1;
	std::string out_path_, err_path_;
	std::chrono::steady_clock::time_point start_;
	exit_status status_;
};

// Runs a program to its end (killed at the deadline) and returns its status
// with what it wrote.
struct run_result {
	exit_status status;
	std::string out, err;
};
run_result run(const std::vector<std::string> &argv, ms deadline = 10s,
	       const std::vector<std::string> &env = {});

// One datagram received on /dev/log, "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
struct log_line {
	int level = -1;    // PRI & 7
	int facility = -1; // PRI >> 3 (LOG_DAEMON is 3)
	std::string timestamp;
	std::string ident;
	int pid = -1;     // -1 when the line has none
	std::string text; // as sent, trailing newline kept
	std::string raw;
	std::chrono::steady_clock::time_point received;
};
std::optional<log_line> parse_log_line(const std::string &raw);

// The system log as the sandbox's programs (and the test process) see it.
// A background thread drains the socket, so writers never block.
class syslog_capture {
public:
	std::vector<log_line> lines();
	// First line (from the start of the capture, or since the last clear())
	// whose text contains the substring / matches the pattern (search).
	std::optional<log_line> wait_for(const std::string &substring, ms deadline = 5s);
	// The pattern is a POSIX extended regular expression.
	std::optional<log_line> wait_for_regex(const std::string &pattern, ms deadline = 5s);
	// Lines whose text contains the substring.
	std::vector<log_line> find(const std::string &substring);
	// Forgets the lines so far (wait_for then looks only at later ones).
	void clear();
	// Everything received, one raw datagram per line, for failure messages.
	std::string dump();

	syslog_capture();
	~syslog_capture();

private:
	void drain();
	template <typename Pred>
	std::optional<log_line> wait_until(Pred pred, ms deadline);

	int fd_ = -1;
	int stop_pipe_[2] = {-1, -1};
	std::mutex mutex_;
	std::condition_variable cv_;
	std::vector<log_line> lines_;
	std::thread thread_;
};

// The process-wide capture bound on /dev/log; started on first use (after
// enter_sandbox). Throws std::runtime_error outside the sandbox.
syslog_capture &system_log();

// A loopback TCP port whose connects never end: the listener's queue
// (length 0) is held full by one connection that is never accepted, so the
// kernel drops every further SYN, as a module behind a pulled cable would.
// port is 0 when it could not be made.
struct black_hole {
	black_hole();
	~black_hole();
	black_hole(const black_hole &) = delete;
	black_hole &operator=(const black_hole &) = delete;
	int listener = -1, filler = -1;
	int port = 0;
};

} // namespace harness
