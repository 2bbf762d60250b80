// SPDX-License-Identifier: ISC
#pragma once

// SIGINT, SIGTERM, SIGUSR1 and SIGUSR2 do not end the run: the handler only
// counts them, and the main flow logs "recieve exit" for each one it finds
// counted, outside signal context. SIGPIPE is ignored.
void install_cli_signal_handlers();

// Logs the exit notices of the signals counted since the last call.
void report_cli_signals();
