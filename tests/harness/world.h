// SPDX-License-Identifier: ISC
// The running system of one scenario, in the sandbox: our bus daemon on the
// default socket, a recording stand-in for "network.interface", the modem
// simulator with its control socket, and ravel_tools serving channel "cpe".
//
// Each start_* returns an empty text once its program is up, else what
// failed, so programs without gtest (the soak, the demo, the bench) use it as
// well as tests. The handles are public: a scenario signals, kills, restarts
// and measures them.
#pragma once

#include <string>
#include <vector>

#include "harness.h"

namespace harness {

class world {
public:
	process bus, recorder, sim, daemon;
	// The simulator's TCP port; 0 before start_sim lets it pick a free one,
	// read back into port.
	int port = 5000;

	static constexpr const char *sim_ctl = "/tmp/modem.ctl";
	static constexpr const char *sim_log = "/tmp/modem.log";
	static constexpr const char *notify_log = "/tmp/notify.log";
	static constexpr const char *state_file = "/tmp/oriel/cache/ravel_tools_cpe";

	std::string start_bus();
	// ravel-bus serve network.interface notify_proto, writing each call to
	// notify_log.
	std::string start_recorder();
	// Extra simulator options; with record, what it receives goes to sim_log.
	std::string start_sim(const std::vector<std::string> &options = {}, bool record = false);

	struct daemon_options {
		std::string model;             // "option model" of the channel, when given
		std::vector<std::string> args; // before "-i cpe"
		std::vector<std::string> env;  // NAME=value added to its environment
		std::vector<std::string> wait_for = {"attach_odu ok"}; // log texts that mean it is up
		ms deadline = 10s;
	};
	// Writes the channel and starts the daemon.
	std::string start_daemon(const daemon_options &o);
	std::string start_daemon() { return start_daemon(daemon_options{}); }
	// /etc/config/ravel_tools with channel "cpe" on the simulator's port.
	void write_channel(const std::string &model = "");

	// One control line to the simulator; its one-line reply ("error connect"
	// when it cannot be reached).
	std::string sim_control(const std::string &line);
	// What the simulator received (with record) and what the recorder got.
	std::string sim_received();
	std::string notifications();

	// SIGTERM to each program still running, the daemon first; SIGKILL for one
	// not gone within 5 s.
	void stop();
};

// Fixture of the scenarios: the sandbox and one world, stopped in TearDown.
// ASSERT_EQ("", w.start_bus()) and so on fail the test with the reason.
class world_test : public sandbox_test {
protected:
	void TearDown() override
	{
		w.stop();
		sandbox_test::TearDown();
	}
	world w;
};

} // namespace harness
