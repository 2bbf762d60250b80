// SPDX-License-Identifier: ISC
// ravel_tools: serves one modem channel on the bus until a signal stops it.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

extern "C" {
#include <libubox/uloop.h>
}

#include "common/config_store.h"
#include "common/log.h"
#include "link/chat.h"
#include "link/link.h"
#include "daemon/bus.h"
#include "daemon/channel_config.h"
#include "daemon/signals.h"
#include "link/signals.h"

namespace {

constexpr char USAGE[] = "Usage: %s [options]\n"
			 "Options:\n"
			 " -s <path>:        Path to the ubus socket\n"
			 " -d :              debug mode\n"
			 " -i :              channel id\n"
			 " -l <level>:       log level 0-7,default 3\n"
			 "\n";

// Run by hand, the daemon also says why it stops on its terminal: the
// system log may be nowhere to be seen (no /dev/log on a development machine).
__attribute__((format(printf, 1, 2))) void tell_terminal(const char *fmt, ...)
{
	if (!isatty(STDERR_FILENO))
		return;
	va_list ap;
	va_start(ap, fmt);
	fputs("ravel_tools: ", stderr);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
	va_end(ap);
}

// Why the channel's configuration did not load, for tell_terminal.
void tell_config_fault(const char *channel_id)
{
	config_handle *h = config_open("ravel_tools");
	bool loaded = h && h->pkg;
	config_close(h);
	if (!loaded)
		tell_terminal("cannot load the configuration /etc/config/ravel_tools (missing or not "
			      "valid)");
	else
		tell_terminal("channel '%s': no section of that name, or server, port or proto missing "
			      "(after the model's rule) in /etc/config/ravel_tools",
			      channel_id);
}

// A channel that cannot be served: pause so a supervisor does not respawn us
// in a tight loop, then fail.
int no_channel()
{
	log_message(LOG_ERR, "Failed to get at channel");
	tell_terminal("stopping in 10 s (the pause keeps a supervisor from restarting it at once)");
	sleep(10);
	return -1;
}

} // namespace

int main(int argc, char **argv)
{
	const char *socket_path = nullptr;
	const char *channel_id = nullptr;

	// '+': stop at the first plain argument, as POSIX getopt does.
	int opt;
	while ((opt = getopt(argc, argv, "+s:l:di:")) != -1) {
		switch (opt) {
		case 's':
			socket_path = optarg;
			break;
		case 'l':
			log_threshold = atoi(optarg);
			break;
		case 'd':
			debug_mode = 1;
			break;
		case 'i':
			channel_id = optarg;
			break;
		default:
			fprintf(stderr, USAGE, argc > 0 ? argv[0] : "ravel_tools");
			return 1;
		}
	}

	openlog("ravel_tools", LOG_PID, LOG_DAEMON);

	if (!channel_id || !channel_id[0]) {
		tell_terminal("no channel given: -i <channel> names a section of /etc/config/ravel_tools");
		return no_channel();
	}
	if (load_channel_config(channel_id) < 0) {
		tell_config_fault(channel_id);
		return no_channel();
	}

	install_signal_handlers();

	// The bus start initialises the loop too; doing it here first (harmless
	// twice) lets the signal pipe be watched. Our handlers are already in
	// place, so the loop keeps them.
	uloop_init();
	signal_log_start();

	if (bus_start(socket_path) < 0) {
		log_message(LOG_ERR, "Failed to connect to ubus");
		tell_terminal("cannot connect to the bus at %s (on a development machine: start "
			      "ravel-busd and give its socket with -s)",
			      socket_path ? socket_path : "/var/run/ubus/ubus.sock");
		return 1;
	}

	attach_and_poll(&channel);

	uloop_run();

	// An alarm caught just before the stop signal: the loop ended before
	// its line was written.
	log_caught_signals();
	signal_log_stop();
	link_close(&channel);
	bus_stop();
	return 0;
}
