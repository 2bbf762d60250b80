// SPDX-License-Identifier: ISC
#include "sim/options.h"
#include "sim/simulator.h"

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
	// A reader that went away (stdout, a control client, the host) must not end us.
	signal(SIGPIPE, SIG_IGN);
	sim::sim_options opt;
	std::string error;
	switch (sim::parse_options(argc, argv, &opt, &error)) {
	case sim::parse_result::HELP:
		fputs(sim::usage_text(), stdout);
		return 0;
	case sim::parse_result::ERROR:
		fprintf(stderr, "ravel_modem_sim: %s\nTry 'ravel_modem_sim --help'.\n", error.c_str());
		return 2;
	case sim::parse_result::RUN:
		break;
	}
	sim::simulator sim(std::move(opt));
	if (!sim.start(&error)) {
		fprintf(stderr, "ravel_modem_sim: %s\n", error.c_str());
		return 1;
	}
	return sim.run();
}
