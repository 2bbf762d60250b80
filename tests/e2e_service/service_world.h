// SPDX-License-Identifier: ISC
// The world of the service scenarios: the bus daemon, the simulator on a free
// port and ravel_tools serving channel "cpe" at full log level.
#pragma once

#include <string>
#include <vector>

#include "world.h"

class service_world : public harness::world_test {
protected:
	void SetUp() override;

	void start_bus() { ASSERT_EQ("", w.start_bus()); }
	// The simulator on a free port with extra options.
	void start_sim(const std::vector<std::string> &options = {})
	{
		ASSERT_EQ("", w.start_sim(options, true));
	}
	// Starts the daemon with -l 7 -d; waits until it is on the bus and, when
	// wait_attach, until its link is attached.
	void start_daemon(const std::string &model = "", bool wait_attach = true);
	// One control command to the simulator, which must answer "ok"; returns
	// its reply line.
	std::string sim(const std::string &line);
	// What the simulator received so far (its record file).
	std::string sim_received() { return w.sim_received(); }

	// ravel-bus call <path> <method> <json>
	harness::run_result bus_call(const std::string &json, const std::string &method = "at_cmd",
				     const std::string &path = "ravelcpe");
	harness::run_result bus_send(const std::string &event);
	harness::run_result cli(const std::vector<std::string> &args);

	// Lines of one program in the captured system log that contain text.
	std::vector<harness::log_line> lines_of(const std::string &ident, const std::string &text);
};

// The "code" of a JSON reply printed by the bus tool, or -1.
int reply_code(const std::string &json);
