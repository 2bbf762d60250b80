// SPDX-License-Identifier: ISC
#include "daemon/signals.h"

#include <signal.h>

#include "link/signals.h"

void install_signal_handlers()
{
	struct sigaction sa = {};
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = 0;
	static constexpr int caught[] = {SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM};
	for (int signo : caught)
		sigaction(signo, &sa, nullptr);

	struct sigaction ignore = {};
	ignore.sa_handler = SIG_IGN;
	sigemptyset(&ignore.sa_mask);
	sigaction(SIGPIPE, &ignore, nullptr);
}
