// SPDX-License-Identifier: ISC
// Programs run by the harness: spawn, signals, waits, captured output.
#include "harness.h"
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>

extern char **environ;

namespace harness {

namespace {

std::mutex children_mutex;
std::set<pid_t> children;

void forget_child(pid_t pid)
{
	std::lock_guard lock(children_mutex);
	children.erase(pid);
}

std::vector<char *> c_strings(std::vector<std::string> &texts)
{
	std::vector<char *> out;
	for (auto &t : texts)
		out.push_back(t.data());
	out.push_back(nullptr);
	return out;
}

} // namespace

std::string find_program(const std::string &name)
{
	// A program folder of its own must lie inside the source or build tree,
	// which the sandbox keeps.
	const char *own = getenv("RAVEL_PROGRAM_DIR");
	static const char *const dirs[] = {"", "/daemon", "/cli", "/sim", "/platform/tools", "/platform"};
	for (const char *root : {own, static_cast<const char *>(RAVEL_BIN_DIR)}) {
		if (!root || !*root)
			continue;
		for (const char *dir : dirs) {
			std::string path = std::string(root) + dir + "/" + name;
			if (access(path.c_str(), X_OK) == 0)
				return path;
		}
	}
	return {};
}

void kill_spawned()
{
	std::set<pid_t> left;
	{
		std::lock_guard lock(children_mutex);
		left.swap(children);
	}
	for (pid_t pid : left) {
		::kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
	}
}

process process::spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
	if (argv.empty())
		throw std::invalid_argument("spawn without a program");

	static int counter = 0;
	process p;
	std::string base =
		scratch_dir() + "/proc-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
	p.out_path_ = base + ".out";
	p.err_path_ = base + ".err";

	std::vector<std::string> args = argv;
	std::vector<std::string> envs;
	for (char **e = environ; *e; e++)
		envs.emplace_back(*e);
	envs.insert(envs.end(), env.begin(), env.end());
	std::vector<char *> c_args = c_strings(args);
	std::vector<char *> c_env = c_strings(envs);

	int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
	int out = open(p.out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	int err = open(p.err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (in < 0 || out < 0 || err < 0) {
		for (int fd : {in, out, err})
			if (fd >= 0)
				close(fd);
		throw std::runtime_error(errno_text("opening the capture files"));
	}

	p.start_ = std::chrono::steady_clock::now();
	pid_t pid = fork();
	if (pid == 0) {
		// Only async-signal-safe calls from here: the parent has threads.
		struct sigaction dfl = {};
		dfl.sa_handler = SIG_DFL;
		for (int s = 1; s < NSIG; s++)
			sigaction(s, &dfl, nullptr);
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		dup2(in, 0);
		dup2(out, 1);
		dup2(err, 2);
		execve(c_args[0], c_args.data(), c_env.data());
		static const char msg[] = "harness: exec failed\n";
		(void)!write(2, msg, sizeof(msg) - 1);
		_exit(127);
	}
	int fork_errno = errno;
	close(in);
	close(out);
	close(err);
	if (pid < 0) {
		errno = fork_errno;
		throw std::runtime_error(errno_text("fork"));
	}
	p.pid_ = pid;
	{
		std::lock_guard lock(children_mutex);
		children.insert(pid);
	}
	return p;
}

process::process(process &&other) noexcept
    : pid_(other.pid_),
      out_path_(std::move(other.out_path_)),
      err_path_(std::move(other.err_path_)),
      start_(other.start_),
      status_(other.status_)
{
	other.pid_ = -1;
}

process &process::operator=(process &&other) noexcept
{
	if (this != &other) {
		if (pid_ > 0)
			kill();
		pid_ = other.pid_;
		out_path_ = std::move(other.out_path_);
		err_path_ = std::move(other.err_path_);
		start_ = other.start_;
		status_ = other.status_;
		other.pid_ = -1;
	}
	return *this;
}

process::~process()
{
	if (pid_ > 0)
		kill();
}

void process::reap(int status)
{
	status_.ended = true;
	status_.elapsed = std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - start_);
	if (WIFEXITED(status)) {
		status_.exited = true;
		status_.code = WEXITSTATUS(status);
	} else if (WIFSIGNALED(status)) {
		status_.signal = WTERMSIG(status);
	}
	forget_child(pid_);
	pid_ = -1;
}

bool process::running()
{
	if (pid_ <= 0)
		return false;
	int status;
	pid_t r = waitpid(pid_, &status, WNOHANG);
	if (r == pid_) {
		reap(status);
		return false;
	}
	return true;
}

bool process::signal(int signo)
{
	return pid_ > 0 && ::kill(pid_, signo) == 0;
}

bool process::wait_caught(int signo, ms deadline)
{
	auto end = std::chrono::steady_clock::now() + deadline;
	std::string status_path = "/proc/" + std::to_string(pid_) + "/status";
	while (running()) {
		std::ifstream f(status_path);
		std::string line;
		while (std::getline(f, line)) {
			if (line.rfind("SigCgt:", 0) != 0)
				continue;
			unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
			if (mask & (1ULL << (signo - 1)))
				return true;
		}
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(5ms);
	}
	return false;
}

bool process::wait_idle(ms deadline)
{
	auto end = std::chrono::steady_clock::now() + deadline;
	std::string wchan_path = "/proc/" + std::to_string(pid_) + "/wchan";
	int in_a_row = 0;
	while (running()) {
		std::string wchan = read_file(wchan_path).value_or("");
		bool waiting =
			wchan.find("poll") != std::string::npos || wchan.find("select") != std::string::npos;
		in_a_row = waiting ? in_a_row + 1 : 0;
		if (in_a_row >= 2)
			return true;
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(10ms);
	}
	return false;
}

exit_status process::wait(ms deadline)
{
	auto end = std::chrono::steady_clock::now() + deadline;
	while (running()) {
		if (std::chrono::steady_clock::now() >= end) {
			exit_status s;
			s.elapsed = std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - start_);
			return s;
		}
		std::this_thread::sleep_for(5ms);
	}
	return status_;
}

exit_status process::kill()
{
	if (pid_ > 0) {
		::kill(pid_, SIGKILL);
		int status;
		if (waitpid(pid_, &status, 0) == pid_)
			reap(status);
	}
	return status_;
}

std::string process::out() const
{
	return read_file(out_path_).value_or("");
}

std::string process::err() const
{
	return read_file(err_path_).value_or("");
}

run_result run(const std::vector<std::string> &argv, ms deadline, const std::vector<std::string> &env)
{
	process p = process::spawn(argv, env);
	run_result r;
	r.status = p.wait(deadline);
	if (!r.status.ended)
		p.kill();
	r.out = p.out();
	r.err = p.err();
	return r;
}

} // namespace harness
