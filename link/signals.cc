// SPDX-License-Identifier: ISC
#include "link/signals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

extern "C" {
#include <libubox/uloop.h>
}

#include <syslog.h>

#include "common/log.h"

volatile sig_atomic_t last_signal = 0;

namespace {

// Written only by the handler / only by normal code, so neither needs a lock.
volatile sig_atomic_t alarms_caught = 0;
sig_atomic_t alarms_logged = 0;

int wake_pipe[2] = {-1, -1};

void on_wake(struct uloop_fd *u, unsigned int)
{
	char buf[64];
	while (read(u->fd, buf, sizeof(buf)) > 0) {
	}
	log_caught_signals();
}

struct uloop_fd wake_watch = {};

} // namespace

void on_signal(int signo)
{
	int saved_errno = errno;
	last_signal = signo;
	switch (signo) {
	case SIGINT:
	case SIGTERM:
	case SIGUSR1:
	case SIGUSR2:
		uloop_end();
		break;
	case SIGALRM:
		alarms_caught = alarms_caught + 1;
		if (wake_pipe[1] >= 0)
			(void)!write(wake_pipe[1], "", 1);
		break;
	default:
		break;
	}
	errno = saved_errno;
}

int signal_log_start()
{
	if (wake_pipe[0] >= 0)
		return 0;
	if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
		wake_pipe[0] = wake_pipe[1] = -1;
		return -1;
	}
	wake_watch.cb = on_wake;
	wake_watch.fd = wake_pipe[0];
	if (uloop_fd_add(&wake_watch, ULOOP_READ) != 0) {
		signal_log_stop();
		return -1;
	}
	return 0;
}

void signal_log_stop()
{
	if (wake_watch.registered)
		uloop_fd_delete(&wake_watch);
	// The write end goes first so the handler never writes to a reused descriptor.
	int w = wake_pipe[1];
	wake_pipe[1] = -1;
	if (w >= 0)
		close(w);
	if (wake_pipe[0] >= 0)
		close(wake_pipe[0]);
	wake_pipe[0] = -1;
}

void log_caught_signals()
{
	while (alarms_logged != alarms_caught) {
		alarms_logged = alarms_logged + 1;
		log_message(LOG_WARNING, "at receive the signal(%d)", SIGALRM);
	}
}

void request_alarm_arm(request_alarm *a, unsigned seconds)
{
	last_signal = 0;
	struct sigaction action = {};
	action.sa_handler = on_signal;
	sigemptyset(&action.sa_mask);
	action.sa_flags = 0;
	sigaction(SIGALRM, &action, &a->previous);
	alarm(seconds);
}

bool request_alarm_disarm(request_alarm *a)
{
	alarm(0);
	sigaction(SIGALRM, &a->previous, nullptr);
	if (last_signal != SIGALRM)
		return false;
	last_signal = 0;
	return true;
}

bool stop_requested()
{
	return uloop_cancelling();
}

bool request_ended()
{
	return last_signal == SIGALRM || stop_requested();
}
