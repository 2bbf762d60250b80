// SPDX-License-Identifier: ISC
#include "service_bench.h"

namespace bench {

using namespace std::chrono_literals;

std::string start_world(world &w)
{
	std::string why = w.start_bus();
	if (why.empty())
		why = w.start_sim();
	// As on a router: default log level, so no per-call trace lines.
	if (why.empty())
		why = w.start_daemon();
	if (why.empty() && !w.daemon.wait_idle(10s))
		why = "the daemon did not settle in its loop";
	return why;
}

} // namespace bench
