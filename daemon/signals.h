// SPDX-License-Identifier: ISC
// The daemon's signal handlers.
#pragma once

// Installs on_signal (empty mask, no SA_RESTART, so blocked calls return EINTR)
// for SIGINT, SIGTERM, SIGUSR1, SIGUSR2 and SIGALRM, in that order, and
// ignores SIGPIPE.
void install_signal_handlers();
