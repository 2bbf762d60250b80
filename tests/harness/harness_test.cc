// SPDX-License-Identifier: ISC
// The sandbox itself: made where / is not a mount point (a chroot), and never
// silently missing under CI. Both drive this binary's probe test in a child.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/capability.h>

#include <string>
#include <vector>

#include "harness.h"
#include "internal.h"

extern char **environ;

namespace {

// A run of the probe test below in a child process, set up by `prepare`
// (which returns 0 to go on) after fork and before exec.
struct probe_run {
	int code = -1;
	std::string out;
};

template <typename Prepare>
probe_run run_probe(bool ci, Prepare prepare)
{
	std::vector<std::string> env_texts;
	for (char **e = environ; *e; e++)
		if (strncmp(*e, "CI=", 3) != 0)
			env_texts.emplace_back(*e);
	if (ci)
		env_texts.emplace_back("CI=true");
	std::vector<char *> env;
	for (auto &t : env_texts)
		env.push_back(t.data());
	env.push_back(nullptr);
	char self[4096] = {};
	if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0)
		return {};
	char filter[] = "--gtest_filter=sandbox_probe.*";
	char *argv[] = {self, filter, nullptr};

	int pipe_fds[2];
	if (pipe2(pipe_fds, O_CLOEXEC) != 0)
		return {};
	pid_t pid = fork();
	if (pid == 0) {
		dup2(pipe_fds[1], 1);
		dup2(pipe_fds[1], 2);
		if (prepare() == 0)
			execve(self, argv, env.data());
		_exit(126);
	}
	close(pipe_fds[1]);
	probe_run r;
	char buf[4096];
	for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof(buf))) > 0;)
		r.out.append(buf, static_cast<size_t>(n));
	close(pipe_fds[0]);
	int status = 0;
	waitpid(pid, &status, 0);
	r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return r;
}

int bind_into(const std::string &root, const std::string &path)
{
	std::string target = root + path;
	std::string made;
	for (size_t at = 1; at != std::string::npos; at = target.find('/', at + 1)) {
		made = target.substr(0, at);
		mkdir(made.c_str(), 0755);
	}
	mkdir(target.c_str(), 0755);
	return mount(path.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
}

// A chroot in the way a fresh system root is entered: a plain directory of a
// file system whose mount is shared with a peer, so that a sandbox mount that
// is not private would show up in the peer.
constexpr char CHROOT_MOUNT[] = "/run/chroot-fs";
constexpr char CHROOT_PEER[] = "/run/chroot-peer";
constexpr char CHROOT_DIR[] = "/run/chroot-fs/root";

int make_chroot()
{
	// Started in a chroot itself, "/" may not be a mount point: the
	// harness's own way makes the namespace private there too.
	if (unshare(CLONE_NEWNS) != 0 || !harness::make_root_private().empty() ||
	    mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
		return 1;
	mkdir(CHROOT_MOUNT, 0755);
	mkdir(CHROOT_PEER, 0755);
	if (mount("tmpfs", CHROOT_MOUNT, "tmpfs", 0, "mode=0755") != 0 ||
	    mount(nullptr, CHROOT_MOUNT, nullptr, MS_SHARED, nullptr) != 0 ||
	    mount(CHROOT_MOUNT, CHROOT_PEER, nullptr, MS_BIND, nullptr) != 0 || mkdir(CHROOT_DIR, 0755) != 0)
		return 1;
	const std::string root = CHROOT_DIR;
	for (const char *top :
	     {"/usr", "/lib", "/lib32", "/lib64", "/bin", "/sbin", "/etc", "/dev", "/proc"}) {
		struct stat st;
		if (lstat(top, &st) != 0)
			continue;
		if (S_ISLNK(st.st_mode)) {
			char to[4096] = {};
			if (readlink(top, to, sizeof(to) - 1) <= 0 || symlink(to, (root + top).c_str()) != 0)
				return 1;
		} else if (bind_into(root, top) != 0) {
			return 1;
		}
	}
	if (bind_into(root, RAVEL_SOURCE_DIR) != 0 || bind_into(root, RAVEL_BIN_DIR) != 0)
		return 1;
	mkdir((root + "/tmp").c_str(), 01777);
	mkdir((root + "/run").c_str(), 0755);
	return 0;
}

TEST(sandbox_setup, is_made_in_a_chroot_whose_root_is_not_a_mount_point)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "making a chroot needs root";
#ifdef RAVEL_UNDER_EMULATOR
	GTEST_SKIP() << "qemu-user resolves \"/\" through its target's library root, so a chroot cannot be "
			"entered under it";
#endif
	// The probe runs in a grandchild: the child keeps the peer to look at.
	probe_run r = run_probe(false, [] {
		if (make_chroot() != 0)
			return 1;
		pid_t probe = fork();
		if (probe == 0) {
			if (chroot(CHROOT_DIR) != 0 || chdir("/") != 0)
				_exit(126);
			return 0;
		}
		int status = 0;
		waitpid(probe, &status, 0);
		// The probe's /tmp was a tmpfs of its own; had it reached the
		// peer, the mark would be there.
		struct stat st;
		bool leaked = lstat((std::string(CHROOT_PEER) + "/root/tmp/probe-mark").c_str(), &st) == 0;
		_exit(!WIFEXITED(status) ? 120 : leaked ? 121 : WEXITSTATUS(status));
	});
	EXPECT_EQ(r.code, 0) << r.out;
	EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
	EXPECT_EQ(r.out.find("SKIPPED"), std::string::npos) << r.out;
}

TEST(sandbox_setup, cannot_be_made_skips_with_the_cause_and_fails_under_ci)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "dropping a capability of root needs root";
	// Root without CAP_SYS_ADMIN, as in a container: no mount namespace.
	auto without_admin = [] { return prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN, 0, 0, 0) == 0 ? 0 : 1; };
	const std::string cause = "unshare(CLONE_NEWNS) as root: Operation not permitted";

	probe_run plain = run_probe(false, without_admin);
	EXPECT_EQ(plain.code, 0) << plain.out;
	EXPECT_NE(plain.out.find("SKIPPED"), std::string::npos) << plain.out;
	EXPECT_NE(plain.out.find(cause), std::string::npos) << plain.out;

	probe_run ci = run_probe(true, without_admin);
	EXPECT_NE(ci.code, 0) << ci.out;
	EXPECT_NE(ci.out.find("[  FAILED  ] sandbox_probe."), std::string::npos) << ci.out;
	EXPECT_NE(ci.out.find(cause), std::string::npos) << ci.out;
}

// Run by the tests above in a child; on its own it checks the plain case.
class sandbox_probe : public harness::sandbox_test {};

TEST_F(sandbox_probe, private_tmp)
{
	EXPECT_TRUE(harness::in_sandbox());
	harness::write_file("/tmp/probe-mark", "x");
	EXPECT_TRUE(harness::path_exists("/tmp/probe-mark"));
}

} // namespace

// Programs built elsewhere (with musl, say) come first; the others from this build.
TEST(program_path, takes_a_program_folder_of_its_own_first)
{
	char tmpl[] = "/tmp/ravel-programs.XXXXXX";
	ASSERT_NE(mkdtemp(tmpl), nullptr);
	std::string dir = tmpl;
	std::string own = dir + "/cli/ravel_tools_cli";
	ASSERT_EQ(mkdir((dir + "/cli").c_str(), 0755), 0);
	int fd = open(own.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
	ASSERT_GE(fd, 0);
	close(fd);
	const char *was = getenv("RAVEL_PROGRAM_DIR");
	std::string saved = was ? was : "";
	setenv("RAVEL_PROGRAM_DIR", dir.c_str(), 1);
	EXPECT_EQ(harness::program_path("ravel_tools_cli"), own);
	EXPECT_EQ(harness::program_path("ravel-busd"), RAVEL_BIN_DIR "/platform/tools/ravel-busd");
	if (was)
		setenv("RAVEL_PROGRAM_DIR", saved.c_str(), 1);
	else
		unsetenv("RAVEL_PROGRAM_DIR");
	unlink(own.c_str());
	rmdir((dir + "/cli").c_str());
	rmdir(dir.c_str());
}
