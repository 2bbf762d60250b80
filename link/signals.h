// SPDX-License-Identifier: ISC
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

// The overall alarm of one chat request.
struct request_alarm {
	struct sigaction previous;
};

// Installs on_signal for SIGALRM once more (empty mask, no SA_RESTART, so
// the alarm breaks a blocked select, read or write), clears last_signal and
// arms the alarm.
void request_alarm_arm(request_alarm *a, unsigned seconds);

// Cancels the alarm and puts the previous SIGALRM action back. True when it
// had fired; last_signal is cleared then.
bool request_alarm_disarm(request_alarm *a);

// Whether a stop signal ended the event loop.
bool stop_requested();

// Whether the request must end now: its alarm fired, or a stop signal ended
// the event loop that runs it.
bool request_ended();
