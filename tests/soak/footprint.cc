// SPDX-License-Identifier: ISC
// The daemon's footprint: resident memory and open descriptors.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "harness.h"
#include "soak.h"

namespace soak {

static std::map<std::string, long> rss_by_mapping(pid_t pid)
{
	std::map<std::string, long> out;
	std::string smaps = harness::read_file("/proc/" + std::to_string(pid) + "/smaps").value_or("");
	std::string name;
	size_t at = 0;
	while (at < smaps.size()) {
		size_t eol = smaps.find('\n', at);
		if (eol == std::string::npos)
			eol = smaps.size();
		std::string line = smaps.substr(at, eol - at);
		at = eol + 1;
		if (line.compare(0, 4, "Rss:") == 0) {
			out[name] += std::strtol(line.c_str() + 4, nullptr, 10);
		} else if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
			   line.find('-') < line.find(' ')) {
			// "start-end perms offset dev inode   path"
			size_t field = 0, i = 0;
			while (i < line.size() && field < 5) {
				while (i < line.size() && line[i] != ' ')
					i++;
				while (i < line.size() && line[i] == ' ')
					i++;
				field++;
			}
			name = i < line.size() ? line.substr(i) : "[anon]";
			name = std::filesystem::path(name).filename().string();
			if (name.empty())
				name = "[anon]";
		}
	}
	return out;
}

footprint measure(pid_t pid)
{
	footprint f;
	std::string status = harness::read_file("/proc/" + std::to_string(pid) + "/status").value_or("");
	auto at = status.find("VmRSS:");
	if (at != std::string::npos)
		f.rss_kib = std::strtol(status.c_str() + at + 6, nullptr, 10);
	std::error_code ec;
	std::string dir = "/proc/" + std::to_string(pid) + "/fd";
	f.fds = 0;
	for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
		f.fds++;
		char target[256] = {};
		ssize_t n = readlink(e.path().c_str(), target, sizeof(target) - 1);
		f.fd_targets.push_back(e.path().filename().string() + " -> " + (n > 0 ? target : "?"));
	}
	if (ec)
		f.fds = -1;
	std::sort(f.fd_targets.begin(), f.fd_targets.end());
	f.rss_by_mapping = rss_by_mapping(pid);
	// Run through binfmt_misc, the process's executable is the emulator.
	std::string exe =
		std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).filename();
	if (!ec && exe.rfind("qemu-", 0) == 0)
		f.emulator = exe;
	return f;
}

} // namespace soak
