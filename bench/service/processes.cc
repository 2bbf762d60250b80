// SPDX-License-Identifier: ISC
// ravel_tools_cli as a whole process against the least C client making the
// same call, and the run-time libraries of both programs.
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "service_bench.h"

namespace bench {

namespace {

constexpr double PROCESS_FACTOR = 1.1;

// Runs argv to its end with stdout into out_fd (or /dev/null); returns the
// wall time in microseconds, or -1 when it did not exit 0.
double run_once(const std::vector<std::string> &argv, int out_fd = -1)
{
	std::vector<char *> args;
	for (auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	auto t0 = clock_type::now();
	pid_t pid = fork();
	if (pid == 0) {
		int fd = out_fd >= 0 ? out_fd : open("/dev/null", O_WRONLY);
		dup2(fd, STDOUT_FILENO);
		execv(args[0], args.data());
		_exit(127);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	double us = us_since(t0);
	return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? us : -1;
}

std::string output_of(const std::vector<std::string> &argv)
{
	int p[2];
	if (pipe(p) != 0)
		return {};
	double us = run_once(argv, p[1]);
	close(p[1]);
	std::string out;
	char buf[256];
	ssize_t n;
	while ((n = read(p[0], buf, sizeof(buf))) > 0)
		out.append(buf, size_t(n));
	close(p[0]);
	return us < 0 ? "(failed) " + out : out;
}

// The libstdc++ line of ldd's listing, or empty when the program needs none.
std::string needs_libstdcxx(const std::string &path)
{
	std::string cmd = "ldd '" + path + "' 2>&1";
	FILE *f = popen(cmd.c_str(), "r");
	if (!f)
		return "(ldd did not run)";
	std::string found;
	char line[512];
	while (fgets(line, sizeof(line), f))
		if (std::strstr(line, "libstdc++")) {
			found = line + std::strspn(line, " \t");
			found.erase(found.find_last_not_of(" \n") + 1);
		}
	pclose(f);
	return found;
}

void print_process(const char *what, const summary &s)
{
	std::printf("  %-34s p10 %6.0f us  median %6.0f us  mean %6.0f us  p99 %7.0f us\n", what, s.p10,
		    s.median, s.mean, s.p99);
}

} // namespace

bool run_processes(world &, int runs)
{
	std::printf("\n== 2. one call as a whole process (fork, exec, wait), %d runs each, interleaved\n",
		    runs);
	const std::vector<std::string> cli = {harness::program_path("ravel_tools_cli"), "-i", "cpe", "-c",
					      "AT"};
	const std::vector<std::string> c_client = {RAVEL_ONE_CALL, "cpe", "AT"};

	std::string cli_out = output_of(cli), c_out = output_of(c_client);
	bool answered = cli_out.find("OK") != std::string::npos && c_out.find("OK") != std::string::npos;
	if (!answered)
		std::printf("  no answer: cli printed [%s], one_call printed [%s]\n", cli_out.c_str(),
			    c_out.c_str());

	std::vector<double> cli_us, c_us;
	int failed = 0;
	for (int i = 0; i < 20; i++) { // warm the page cache and the daemon
		run_once(cli);
		run_once(c_client);
	}
	for (int i = 0; i < runs; i++) {
		// Alternate the order so neither always follows the other.
		double a, b;
		if (i % 2) {
			a = run_once(cli);
			b = run_once(c_client);
		} else {
			b = run_once(c_client);
			a = run_once(cli);
		}
		if (a < 0 || b < 0) {
			failed++;
			continue;
		}
		cli_us.push_back(a);
		c_us.push_back(b);
	}
	// What any process costs here, for scale.
	std::vector<double> true_us;
	for (int i = 0; i < runs / 4 + 1; i++)
		true_us.push_back(run_once({"/bin/true"}));
	summary sc = summarize(cli_us), sb = summarize(c_us);
	print_process("ravel_tools_cli -i cpe -c AT", sc);
	print_process("one_call cpe AT (plain C, libubus)", sb);
	print_process("/bin/true (process floor)", summarize(true_us));
	double ratio = sc.median / sb.median;
	std::printf("  ratio of medians %.3fx (target <= %.1fx), of p10 %.3fx; %d failed runs\n", ratio,
		    PROCESS_FACTOR, sc.p10 / sb.p10, failed);
	bool pass = answered && failed == 0 && ratio <= PROCESS_FACTOR;
	print_target("ravel_tools_cli within 1.1x of the plain C client", pass);

	bool lean = true;
	for (const std::string &name : {std::string("ravel_tools"), std::string("ravel_tools_cli")}) {
		std::string line = needs_libstdcxx(harness::program_path(name));
		std::printf("  ldd %-16s %s\n", name.c_str(), line.empty() ? "no libstdc++" : line.c_str());
		lean = lean && line.empty();
	}
	print_target("neither program needs libstdc++", lean);
	return pass && lean;
}

} // namespace bench
