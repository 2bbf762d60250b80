// SPDX-License-Identifier: ISC
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numeric>
#include <sstream>

#include <unistd.h>

#include "service_bench.h"

namespace bench {

summary summarize(std::vector<double> s)
{
	summary r;
	r.n = s.size();
	if (s.empty())
		return r;
	std::sort(s.begin(), s.end());
	auto at = [&](double q) { return s[std::min(s.size() - 1, size_t(q * double(s.size())))]; };
	r.p10 = at(0.1);
	r.median = at(0.5);
	r.p90 = at(0.9);
	r.p99 = at(0.99);
	r.p999 = at(0.999);
	r.max = s.back();
	r.mean = std::accumulate(s.begin(), s.end(), 0.0) / double(s.size());
	return r;
}

size_t count_above(const std::vector<double> &samples, double limit_us)
{
	return size_t(std::count_if(samples.begin(), samples.end(), [&](double v) { return v > limit_us; }));
}

long status_kib(pid_t pid, const char *field)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	std::string line;
	size_t len = std::strlen(field);
	while (std::getline(in, line))
		if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':')
			return std::atol(line.c_str() + len + 1);
	return -1;
}

cpu_time process_cpu(pid_t pid)
{
	cpu_time t;
	std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
	std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
	// The command name may hold spaces; fields are counted after its ')'.
	size_t close = text.rfind(')');
	if (close != std::string::npos) {
		std::istringstream fields(text.substr(close + 2));
		std::string f;
		unsigned long utime = 0, stime = 0;
		for (int i = 3; i <= 15 && fields >> f; i++) {
			if (i == 14)
				utime = std::stoul(f);
			if (i == 15)
				stime = std::stoul(f);
		}
		t.ticks_us = double(utime + stime) * 1e6 / double(sysconf(_SC_CLK_TCK));
	}
	std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
	unsigned long long ns = 0;
	if (sched >> ns)
		t.sched_us = double(ns) / 1e3;
	return t;
}

void print_target(const char *what, bool pass)
{
	std::printf("  %-4s %s\n", pass ? "PASS" : "FAIL", what);
}

} // namespace bench
