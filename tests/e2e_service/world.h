// The programs of one scenario: our bus daemon on the default socket, the
// modem simulator on a free port, and ravel_tools serving channel "cpe".
#pragma once

#include <string>
#include <vector>

#include "harness.h"

class service_world : public harness::sandbox_test {
protected:
	void TearDown() override;

	void start_bus();
	// Starts the simulator with extra options and returns its port.
	int start_sim(const std::vector<std::string> &options = {});
	// Writes the channel "cpe" for the simulator's port and starts the
	// daemon with -l 7 -d; waits until it is on the bus and, when
	// wait_attach, until its link is attached.
	harness::process start_daemon(const std::string &model = "", bool wait_attach = true);
	// One control command to the simulator; returns its reply line.
	std::string sim(const std::string &line);
	// What the simulator received so far (its record file).
	std::string sim_received();

	// ravel-bus call <path> <method> <json>
	harness::run_result bus_call(const std::string &json, const std::string &method = "at_cmd",
				     const std::string &path = "ravelcpe");
	harness::run_result bus_send(const std::string &event);
	harness::run_result cli(const std::vector<std::string> &args);

	// Lines of one program in the captured system log that contain text.
	std::vector<harness::log_line> lines_of(const std::string &ident, const std::string &text);

	harness::process bus_, sim_, daemon_;
	int port_ = 0;
	const std::string sim_ctl_ = "/tmp/sim.ctl";
	const std::string sim_log_ = "/tmp/sim.log";
};

// The "code" of a JSON reply printed by the bus tool, or -1.
int reply_code(const std::string &json);
