// SPDX-License-Identifier: ISC
#include "sim/recv_log.h"

#include "sim/escape.h"

#include <ctime>

namespace sim {

long long monotonic_us()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

recv_log::~recv_log()
{
	if (file_)
		fclose(file_);
}

bool recv_log::open(const std::string &path)
{
	if (path.empty())
		return true;
	file_ = fopen(path.c_str(), "ae");
	return file_ != nullptr;
}

void recv_log::write_line(std::string_view kind, std::string_view rest)
{
	if (!file_)
		return;
	long long us = monotonic_us();
	fprintf(file_, "%lld.%06lld %.*s %.*s\n", us / 1000000, us % 1000000, static_cast<int>(kind.size()),
		kind.data(), static_cast<int>(rest.size()), rest.data());
	fflush(file_);
}

void recv_log::command(std::string_view raw)
{
	write_line("cmd", escape_bytes(raw));
}

void recv_log::text(std::string_view raw)
{
	write_line("text", escape_bytes(raw));
}

void recv_log::frame(unsigned type, std::string_view payload)
{
	char head[8];
	snprintf(head, sizeof head, "%02x ", type & 0xff);
	write_line("frame", std::string(head) + escape_bytes(payload));
}

void recv_log::event(std::string_view what)
{
	write_line("event", what);
}

} // namespace sim
