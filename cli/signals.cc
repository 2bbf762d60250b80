// SPDX-License-Identifier: ISC
#include "cli/signals.h"

#include <signal.h>
#include <syslog.h>

#include "common/log.h"

static volatile sig_atomic_t signals_caught;
static sig_atomic_t signals_reported;
static volatile sig_atomic_t stop_signal;

static void on_cli_signal(int signo)
{
	signals_caught = signals_caught + 1;
	if (signo == SIGINT || signo == SIGTERM)
		stop_signal = signo;
}

void install_cli_signal_handlers()
{
	struct sigaction sa {};
	sa.sa_handler = on_cli_signal;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = 0;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGUSR1, &sa, nullptr);
	sigaction(SIGUSR2, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);
}

void report_cli_signals()
{
	while (signals_reported != signals_caught) {
		signals_reported = signals_reported + 1;
		log_message(LOG_WARNING, "recieve exit");
	}
}

int take_stop_signal()
{
	int signo = stop_signal;
	stop_signal = 0;
	return signo;
}
