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
// The built program of that name, or an empty text: first under
// RAVEL_PROGRAM_DIR from the environment (programs built elsewhere, with
// musl say, in the layout of a build tree), then in this build.
std::string find_program(const std::string &name);
// Kills (SIGKILL) and reaps every process spawned that is still running.
void kill_spawned();
// Makes every mount of the caller's own (fresh) mount namespace private, also
// from inside a chroot whose directory is not a mount point. Empty text on
// success, else why not.
std::string make_root_private();

} // namespace harness
