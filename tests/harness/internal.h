// SPDX-License-Identifier: ISC
// What the harness's sandbox, process and system-log parts share.
#pragma once

#include <string>

namespace harness {

// "what: <strerror(errno)>".
std::string errno_text(const std::string &what);
// Where the harness keeps its own files: a private folder in the sandbox,
// a fresh one under /tmp outside it.
std::string scratch_dir();
// Kills (SIGKILL) and reaps every process spawned that is still running.
void kill_spawned();

} // namespace harness
