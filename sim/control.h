// SPDX-License-Identifier: ISC
#pragma once

#include <string>
#include <string_view>

namespace sim {

class simulator;

// Runs one control command line on the simulator and returns its one-line
// reply: "ok" with details, or "error <reason>".
std::string control_execute(simulator &sim, std::string_view line);

} // namespace sim
