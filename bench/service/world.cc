#include <csignal>

#include "service_bench.h"

namespace bench {

using harness::process;
using namespace std::chrono_literals;

std::string world::start()
{
	harness::write_config("ravel_tools", "config channel 'cpe'\n"
					     "\toption server '127.0.0.1'\n"
					     "\toption port '5000'\n"
					     "\toption proto 'tcp'\n");
	bus = process::spawn({harness::program_path("ravel-busd")});
	if (!harness::wait_for_path("/var/run/ubus/ubus.sock", 10s))
		return "the bus daemon did not start: " + bus.err();
	sim = process::spawn({harness::program_path("ravel_modem_sim"), "-p", "5000", "--no-stdin", "-q", "-c",
			      "/tmp/modem.ctl"});
	if (!harness::wait_for_path("/tmp/modem.ctl", 10s))
		return "the modem simulator did not start: " + sim.err();
	// As on a router: default log level, so no per-call trace lines.
	daemon = process::spawn({harness::program_path("ravel_tools"), "-i", "cpe"});
	if (!harness::system_log().wait_for("attach_odu ok", 10s))
		return "the daemon did not attach: " + harness::system_log().dump();
	if (!daemon.wait_idle(10s))
		return "the daemon did not settle in its loop";
	return {};
}

void world::stop()
{
	for (process *p : {&daemon, &sim, &bus})
		if (p->pid() > 0 && p->running()) {
			p->signal(SIGTERM);
			if (!p->wait(5s).ended)
				p->kill();
		}
}

} // namespace bench
