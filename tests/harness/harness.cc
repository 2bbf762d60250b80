#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <regex.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <strings.h>
#include <net/if.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>

#if !defined(RAVEL_BIN_DIR) || !defined(RAVEL_SOURCE_DIR)
#error "RAVEL_BIN_DIR and RAVEL_SOURCE_DIR must name the build and source trees"
#endif

extern char **environ;

namespace harness {

namespace {

constexpr char PRIVATE_DIR[] = "/run/ravel-harness";
constexpr char UPTIME_FILE[] = "/run/ravel-harness/uptime";

std::string errno_text(const std::string &what)
{
	return what + ": " + strerror(errno);
}

bool write_text(const std::string &path, const std::string &text)
{
	int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
	if (fd < 0)
		return false;
	bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
	close(fd);
	return ok;
}

// Maps the caller to root inside a new user namespace (unprivileged runs).
std::string enter_user_namespace()
{
	uid_t uid = geteuid();
	gid_t gid = getegid();
	if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
		std::string why = errno_text("unshare(CLONE_NEWUSER|CLONE_NEWNS) as a normal user");
		if (errno == EPERM)
			why += " (the kernel refuses user namespaces to normal users here: inside a chroot always, "
			       "elsewhere by kernel.unprivileged_userns_clone=0 or an AppArmor/SELinux policy; "
			       "run as root instead)";
		else if (errno == ENOSPC)
			why += " (user.max_user_namespaces is 0)";
		return why;
	}
	write_text("/proc/self/setgroups", "deny");
	if (!write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n"))
		return errno_text("writing uid_map");
	if (!write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
		return errno_text("writing gid_map");
	return {};
}

// In a chroot whose directory is not a mount point, "/" cannot be made
// private (EINVAL): the mount that holds it has its root outside, and binding
// "/" onto itself does not help, since "/" still names the directory
// underneath. As root we may step out to the namespace's own root, make every
// mount private there, and come back; all of it happens in our own namespace.
std::string make_private_from_chroot()
{
	int back = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (back < 0)
		return errno_text("opening /");
	std::string why;
	// With the root moved below the working directory, ".." walks past it.
	if (chdir("/") != 0 || chroot(RAVEL_BIN_DIR) != 0) {
		why = errno_text("chroot to step out of the chroot");
	} else {
		for (int i = 0; i < 4096; i++) {
			struct stat here, up;
			if (stat(".", &here) != 0 || stat("..", &up) != 0 ||
			    (here.st_dev == up.st_dev && here.st_ino == up.st_ino) || chdir("..") != 0)
				break;
		}
		if (chroot(".") != 0)
			why = errno_text("chroot to the namespace's root");
		else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
			why = errno_text("making the namespace's root private");
	}
	if (fchdir(back) != 0 || chroot(".") != 0 || chdir("/") != 0) {
		// Never go on outside the tree the tests were started in.
		perror("harness: returning into the chroot");
		_exit(125);
	}
	close(back);
	return why;
}

// Mounts made from here on must not reach the host's namespace.
std::string make_root_private()
{
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
		return {};
	if (errno != EINVAL)
		return errno_text("making / private");
	std::string why = make_private_from_chroot();
	if (!why.empty())
		why = "making / private: / is not a mount point (a chroot?), and " + why;
	return why;
}

std::string mount_tmpfs(const char *where, const char *mode)
{
	if (mount("tmpfs", where, "tmpfs", MS_NOSUID | MS_NODEV, mode) != 0)
		return errno_text(std::string("tmpfs on ") + where);
	return {};
}

std::string mount_overlay(const char *where, const std::string &name)
{
	std::string upper = std::string(PRIVATE_DIR) + "/" + name + "-upper";
	std::string work = std::string(PRIVATE_DIR) + "/" + name + "-work";
	if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0)
		return errno_text("making " + upper);
	std::string options = std::string("lowerdir=") + where + ",upperdir=" + upper + ",workdir=" + work;
	if (mount("overlay", where, "overlay", 0, options.c_str()) != 0)
		return errno_text(std::string("overlay on ") + where);
	return {};
}

// The build and source trees often live under /tmp: bind each back over the
// fresh tmpfs at the same path, so programs, their libraries and the files
// tests read stay where they were. A tree still visible is left alone.
std::string keep_tree(int kept, const char *path)
{
	struct stat st;
	if (stat(path, &st) == 0)
		return {};
	std::error_code ec;
	std::filesystem::create_directories(path, ec);
	if (ec)
		return "making " + std::string(path) + ": " + ec.message();
	std::string source = "/proc/self/fd/" + std::to_string(kept);
	if (mount(source.c_str(), path, nullptr, MS_BIND | MS_REC, nullptr) != 0)
		return errno_text(std::string("binding ") + path + " back");
	return {};
}

// Where /dev cannot be an overlay (user namespaces): a tmpfs holding the
// usual device nodes bound from the host's.
std::string minimal_dev()
{
	static const char *const nodes[] = {"null", "zero", "full", "random", "urandom", "tty"};
	std::vector<int> kept;
	for (const char *node : nodes)
		kept.push_back(open((std::string("/dev/") + node).c_str(), O_PATH | O_CLOEXEC));
	std::string why = mount_tmpfs("/dev", "mode=0755");
	for (size_t i = 0; i < kept.size(); i++) {
		if (kept[i] < 0)
			continue;
		std::string target = std::string("/dev/") + nodes[i];
		std::string source = "/proc/self/fd/" + std::to_string(kept[i]);
		if (why.empty()) {
			int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
			if (fd >= 0)
				close(fd);
			if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
				why = errno_text("binding " + target);
		}
		close(kept[i]);
	}
	if (why.empty()) {
		mkdir("/dev/shm", 01777);
		symlink("/proc/self/fd", "/dev/fd");
		symlink("/proc/self/fd/0", "/dev/stdin");
		symlink("/proc/self/fd/1", "/dev/stdout");
		symlink("/proc/self/fd/2", "/dev/stderr");
	}
	return why;
}

std::string make_scratch_mounts()
{
	if (auto why = mount_tmpfs("/tmp", "mode=1777"); !why.empty())
		return why;
	if (auto why = mount_tmpfs("/run", "mode=0755"); !why.empty())
		return why;
	struct stat st;
	if (lstat("/var/run", &st) == 0 && !S_ISLNK(st.st_mode)) {
		if (auto why = mount_tmpfs("/var/run", "mode=0755"); !why.empty())
			return why;
	}
	if (mkdir(PRIVATE_DIR, 0755) != 0)
		return errno_text("making the harness directory");

	// /etc/config: an empty scratch directory, whether or not the host has one.
	std::string etc_why = mount_overlay("/etc", "etc");
	if (etc_why.empty() && mkdir("/etc/config", 0755) != 0 && errno != EEXIST)
		return errno_text("making /etc/config");
	if (auto why = mount_tmpfs("/etc/config", "mode=0755"); !why.empty())
		return etc_why.empty() ? why : etc_why + "; " + why;

	if (auto why = mount_overlay("/dev", "dev"); !why.empty()) {
		if (auto fallback = minimal_dev(); !fallback.empty())
			return why + "; " + fallback;
	}
	return {};
}

std::string make_mounts()
{
	if (auto why = make_root_private(); !why.empty())
		return why;
	// The source tree first: a build tree inside it comes back with it.
	const char *trees[] = {RAVEL_SOURCE_DIR, RAVEL_BIN_DIR};
	int kept[2];
	for (int i = 0; i < 2; i++) {
		kept[i] = open(trees[i], O_PATH | O_DIRECTORY | O_CLOEXEC);
		if (kept[i] < 0) {
			std::string why = errno_text(std::string("opening ") + trees[i]);
			if (i == 1)
				close(kept[0]);
			return why;
		}
	}
	std::string why = make_scratch_mounts();
	for (int i = 0; i < 2; i++) {
		if (why.empty())
			why = keep_tree(kept[i], trees[i]);
		close(kept[i]);
	}
	return why;
}

// A network namespace of its own with loopback up, so scenarios running side
// by side may use the same fixed ports. Where the kernel refuses one, the
// host's loopback is shared and nothing else changes.
void private_loopback()
{
	if (unshare(CLONE_NEWNET) != 0)
		return;
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return;
	ifreq ifr{};
	snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
	if (ioctl(fd, SIOCGIFFLAGS, &ifr) == 0) {
		ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
		ioctl(fd, SIOCSIFFLAGS, &ifr);
	}
	close(fd);
}

std::mutex sandbox_mutex;
std::optional<std::string> sandbox_result;

std::mutex children_mutex;
std::set<pid_t> children;

void forget_child(pid_t pid)
{
	std::lock_guard lock(children_mutex);
	children.erase(pid);
}

std::string scratch_dir()
{
	static std::string dir = [] {
		if (in_sandbox())
			return std::string(PRIVATE_DIR);
		std::string tmpl = "/tmp/ravel-harness-XXXXXX";
		if (!mkdtemp(tmpl.data()))
			throw std::runtime_error(errno_text("mkdtemp"));
		return tmpl;
	}();
	return dir;
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

std::string enter_sandbox()
{
	std::lock_guard lock(sandbox_mutex);
	if (sandbox_result)
		return *sandbox_result;

	std::string why;
	if (geteuid() == 0) {
		if (unshare(CLONE_NEWNS) != 0) {
			why = errno_text("unshare(CLONE_NEWNS) as root");
			if (errno == EPERM)
				why += " (root without CAP_SYS_ADMIN, as in a container)";
		}
	} else {
		why = enter_user_namespace();
	}
	if (why.empty())
		why = make_mounts();
	if (why.empty())
		private_loopback();
	sandbox_result = why;
	return why;
}

bool under_ci()
{
	const char *ci = getenv("CI");
	return ci && (strcasecmp(ci, "true") == 0 || strcmp(ci, "1") == 0);
}

bool in_sandbox()
{
	std::lock_guard lock(sandbox_mutex);
	return sandbox_result && sandbox_result->empty();
}

void sandbox_test::SetUp()
{
	std::string why = enter_sandbox();
	if (!why.empty()) {
		// A CI run is green only when the end-to-end tests really ran.
		if (under_ci())
			FAIL() << "no private sandbox for end-to-end tests (CI is set, so this fails): " << why;
		GTEST_SKIP() << "no private sandbox for end-to-end tests: " << why;
	}
	// Tests that share one process (a direct run of the binary) start clean.
	system_log().clear();
}

void sandbox_test::TearDown()
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

bool program_exists(const std::string &name)
{
	static const char *const dirs[] = {"", "/daemon", "/cli", "/sim", "/platform/tools", "/platform"};
	for (const char *dir : dirs) {
		std::string path = std::string(RAVEL_BIN_DIR) + dir + "/" + name;
		if (access(path.c_str(), X_OK) == 0)
			return true;
	}
	return false;
}

std::string program_path(const std::string &name)
{
	static const char *const dirs[] = {"", "/daemon", "/cli", "/sim", "/platform/tools", "/platform"};
	for (const char *dir : dirs) {
		std::string path = std::string(RAVEL_BIN_DIR) + dir + "/" + name;
		if (access(path.c_str(), X_OK) == 0)
			return path;
	}
	ADD_FAILURE() << "program not built: " << name;
	return std::string(RAVEL_BIN_DIR) + "/" + name;
}

void write_file(const std::string &path, const std::string &content)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	if (!f)
		throw std::runtime_error("cannot write " + path);
	f << content;
}

void write_config(const std::string &package, const std::string &content)
{
	if (!in_sandbox())
		throw std::runtime_error("write_config outside the sandbox");
	write_file("/etc/config/" + package, content);
}

std::optional<std::string> read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	if (!f)
		return std::nullopt;
	std::ostringstream s;
	s << f.rdbuf();
	return s.str();
}

bool path_exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

bool wait_for_path(const std::string &path, ms deadline)
{
	auto end = std::chrono::steady_clock::now() + deadline;
	while (!path_exists(path)) {
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(5ms);
	}
	return true;
}

void set_uptime(const std::string &line)
{
	if (!in_sandbox())
		throw std::runtime_error("set_uptime outside the sandbox");
	static bool bound = false;
	if (!bound) {
		write_file(UPTIME_FILE, line);
		if (mount(UPTIME_FILE, "/proc/uptime", nullptr, MS_BIND, nullptr) != 0)
			throw std::runtime_error(errno_text("binding over /proc/uptime"));
		bound = true;
		return;
	}
	// Rewrite in place: the bind mount holds this inode.
	int fd = open(UPTIME_FILE, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		throw std::runtime_error(errno_text("opening the uptime file"));
	bool ok = pwrite(fd, line.data(), line.size(), 0) == static_cast<ssize_t>(line.size()) &&
		  ftruncate(fd, static_cast<off_t>(line.size())) == 0;
	close(fd);
	if (!ok)
		throw std::runtime_error(errno_text("writing the uptime file"));
}

// ---- processes ----

process process::spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
	if (argv.empty())
		throw std::invalid_argument("spawn without a program");

	static int counter = 0;
	process p;
	std::string base = scratch_dir() + "/proc-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
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
	: pid_(other.pid_), out_path_(std::move(other.out_path_)), err_path_(std::move(other.err_path_)),
	  start_(other.start_), status_(other.status_)
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
		bool waiting = wchan.find("poll") != std::string::npos || wchan.find("select") != std::string::npos;
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

// ---- system log ----

std::optional<log_line> parse_log_line(const std::string &raw)
{
	std::string s = raw;
	while (!s.empty() && s.back() == '\0')
		s.pop_back();
	if (s.size() < 3 || s[0] != '<')
		return std::nullopt;
	size_t close_pos = s.find('>');
	if (close_pos == std::string::npos || close_pos == 1 || close_pos > 4)
		return std::nullopt;
	int pri = 0;
	for (size_t i = 1; i < close_pos; i++) {
		if (s[i] < '0' || s[i] > '9')
			return std::nullopt;
		pri = pri * 10 + (s[i] - '0');
	}
	log_line line;
	line.raw = raw;
	line.level = pri & 7;
	line.facility = pri >> 3;

	// "Mmm dd hh:mm:ss " as glibc writes it.
	std::string rest = s.substr(close_pos + 1);
	if (rest.size() > 16 && rest[3] == ' ' && rest[6] == ' ' && rest[9] == ':' && rest[12] == ':' &&
	    rest[15] == ' ') {
		line.timestamp = rest.substr(0, 15);
		rest = rest.substr(16);
	}
	size_t colon = rest.find(": ");
	if (colon == std::string::npos)
		return std::nullopt;
	std::string tag = rest.substr(0, colon);
	line.text = rest.substr(colon + 2);
	size_t bracket = tag.find('[');
	if (bracket != std::string::npos && tag.back() == ']') {
		line.ident = tag.substr(0, bracket);
		line.pid = std::atoi(tag.substr(bracket + 1, tag.size() - bracket - 2).c_str());
	} else {
		line.ident = tag;
	}
	return line;
}

syslog_capture::syslog_capture()
{
	if (!in_sandbox())
		throw std::runtime_error("the syslog capture needs the sandbox");
	fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd_ < 0)
		throw std::runtime_error(errno_text("socket"));
	int size = 4 << 20;
	setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
	struct sockaddr_un addr = {};
	addr.sun_family = AF_UNIX;
	strcpy(addr.sun_path, "/dev/log");
	unlink(addr.sun_path);
	if (bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
		close(fd_);
		throw std::runtime_error(errno_text("binding /dev/log"));
	}
	chmod(addr.sun_path, 0666);
	if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
		close(fd_);
		throw std::runtime_error(errno_text("pipe"));
	}
	thread_ = std::thread([this] { drain(); });
}

syslog_capture::~syslog_capture()
{
	(void)!write(stop_pipe_[1], "x", 1);
	if (thread_.joinable())
		thread_.join();
	close(stop_pipe_[0]);
	close(stop_pipe_[1]);
	close(fd_);
}

void syslog_capture::drain()
{
	std::vector<char> buf(64 * 1024);
	for (;;) {
		struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
		if (poll(fds, 2, -1) < 0) {
			if (errno == EINTR)
				continue;
			return;
		}
		if (fds[1].revents)
			return;
		for (;;) {
			ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
			if (n < 0)
				break;
			std::string raw(buf.data(), static_cast<size_t>(n));
			log_line line;
			if (auto parsed = parse_log_line(raw))
				line = *parsed;
			else
				line.raw = line.text = raw;
			line.received = std::chrono::steady_clock::now();
			std::lock_guard lock(mutex_);
			lines_.push_back(std::move(line));
			cv_.notify_all();
		}
	}
}

std::vector<log_line> syslog_capture::lines()
{
	std::lock_guard lock(mutex_);
	return lines_;
}

template <typename Pred> std::optional<log_line> syslog_capture::wait_until(Pred pred, ms deadline)
{
	auto end = std::chrono::steady_clock::now() + deadline;
	std::unique_lock lock(mutex_);
	size_t seen = 0;
	for (;;) {
		for (; seen < lines_.size(); seen++)
			if (pred(lines_[seen]))
				return lines_[seen];
		if (cv_.wait_until(lock, end) == std::cv_status::timeout) {
			for (; seen < lines_.size(); seen++)
				if (pred(lines_[seen]))
					return lines_[seen];
			return std::nullopt;
		}
	}
}

std::optional<log_line> syslog_capture::wait_for(const std::string &substring, ms deadline)
{
	return wait_until([&](const log_line &l) { return l.text.find(substring) != std::string::npos; },
			  deadline);
}

std::optional<log_line> syslog_capture::wait_for_regex(const std::string &pattern, ms deadline)
{
	regex_t re;
	if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
		throw std::invalid_argument("bad pattern: " + pattern);
	auto found = wait_until([&](const log_line &l) { return regexec(&re, l.text.c_str(), 0, nullptr, 0) == 0; },
				deadline);
	regfree(&re);
	return found;
}

std::vector<log_line> syslog_capture::find(const std::string &substring)
{
	std::vector<log_line> out;
	std::lock_guard lock(mutex_);
	for (const auto &l : lines_)
		if (l.text.find(substring) != std::string::npos)
			out.push_back(l);
	return out;
}

void syslog_capture::clear()
{
	std::lock_guard lock(mutex_);
	lines_.clear();
}

std::string syslog_capture::dump()
{
	std::string out;
	std::lock_guard lock(mutex_);
	for (const auto &l : lines_) {
		out += l.raw;
		if (out.empty() || out.back() != '\n')
			out += '\n';
	}
	return out;
}

syslog_capture &system_log()
{
	static syslog_capture capture;
	return capture;
}

} // namespace harness
