// SPDX-License-Identifier: ISC
#pragma once

// SIGINT, SIGTERM, SIGUSR1 and SIGUSR2 do not end the run: the handler only
// counts them, and the main flow logs "recieve exit" for each one it finds
// counted, outside signal context. SIGPIPE is ignored.
void install_cli_signal_handlers();

// Logs the exit notices of the signals counted since the last call.
void report_cli_signals();

// The last SIGINT or SIGTERM caught since the previous call (0 for none), for
// the loop over command lines, which stops or starts a fresh line on them.
int take_stop_signal();
