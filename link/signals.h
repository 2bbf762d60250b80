// The process's signal state: the handler that the daemon installs and
// that the chat engine arms for its request alarm, and the alarm's log line.
#pragma once

#include <signal.h>

// Number of the last signal caught by on_signal; 0 at start. The chat engine
// clears it before arming its alarm and tests it for SIGALRM.
extern volatile sig_atomic_t last_signal;

// Records signo in last_signal; SIGINT, SIGTERM, SIGUSR1 and SIGUSR2 end the
// event loop; SIGALRM is noted so that its log line is written by
// log_caught_signals outside the handler (syslog is not async-signal-safe).
void on_signal(int signo);

// Watches a self-pipe from the event loop (uloop_init must have run), so a
// SIGALRM caught while the loop waits is logged as soon as the handler returns.
// Returns 0, or -1 when the pipe cannot be made or watched.
int signal_log_start();
void signal_log_stop();

// Writes "at receive the signal(14)" at level 4 once for every SIGALRM caught
// and not yet logged. Code that sees EINTR inside a long callback (the chat
// engine) may call it to keep the line in order with its own.
void log_caught_signals();
