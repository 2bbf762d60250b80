// SPDX-License-Identifier: ISC
#pragma once

#include "sim/faults.h"

#include <optional>
#include <string>

namespace sim {

struct sim_options {
	std::string bind_address = "127.0.0.1";
	int port = 0; // 0: any free port
	bool udp = false;
	bool framed = false;
	int ready_delay_ms = 0; // framed: readiness after connect
	bool ready_never = false;
	std::string ready_token = "RGMII_ATC_READY";
	bool ready_lower = false;
	bool heartbeat_reply = false; // framed: answer heartbeat frames
	bool echo = false;
	bool echo_ahead = false; // the echo leaves at once, the answer after the delay
	std::string answers_file;
	std::optional<std::string> default_answer; // unescaped
	int answer_delay_ms = 0;
	link_conditions conditions;
	unsigned long seed = 1;
	size_t echo_pad = 0;
	int udp_chunk = 1024; // largest UDP datagram payload
	std::string control_path;
	bool control_stdin = true;
	std::string log_path;
	std::string port_file;
	bool quiet = false;
};

enum class parse_result { RUN, HELP, ERROR };

// Fills *opt from the command line. On ERROR, *error says what was wrong.
parse_result parse_options(int argc, char **argv, sim_options *opt, std::string *error);

const char *usage_text();

} // namespace sim
