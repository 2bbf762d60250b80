// SPDX-License-Identifier: ISC
// The private sandbox: namespaces, mounts, the program and file helpers.
#include "harness.h"
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
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
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <stdexcept>

#if !defined(RAVEL_BIN_DIR) || !defined(RAVEL_SOURCE_DIR)
#error "RAVEL_BIN_DIR and RAVEL_SOURCE_DIR must name the build and source trees"
#endif

namespace harness {

namespace {

constexpr char PRIVATE_DIR[] = "/run/ravel-harness";
constexpr char UPTIME_FILE[] = "/run/ravel-harness/uptime";

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
			why += " (the kernel refuses user namespaces to normal users here: inside a chroot "
			       "always, "
			       "elsewhere by kernel.unprivileged_userns_clone=0 or an AppArmor/SELinux "
			       "policy; "
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

} // namespace

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

namespace {

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

} // namespace

std::string errno_text(const std::string &what)
{
	return what + ": " + strerror(errno);
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
			FAIL() << "no private sandbox for end-to-end tests (CI is set, so this fails): "
			       << why;
		GTEST_SKIP() << "no private sandbox for end-to-end tests: " << why;
	}
	// Tests that share one process (a direct run of the binary) start clean.
	system_log().clear();
}

void sandbox_test::TearDown()
{
	kill_spawned();
}

bool program_exists(const std::string &name)
{
	return !find_program(name).empty();
}

std::string program_path(const std::string &name)
{
	std::string path = find_program(name);
	if (path.empty()) {
		ADD_FAILURE() << "program not built: " << name;
		path = std::string(RAVEL_BIN_DIR) + "/" + name;
	}
	return path;
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
} // namespace harness
