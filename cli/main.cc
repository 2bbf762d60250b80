// SPDX-License-Identifier: ISC
// ravel_tools_cli: runs one AT command line on a channel's daemon over the bus
// and prints the answer.

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libubus.h>
}

#include "cli/reply.h"
#include "cli/signals.h"
#include "cli/timeout.h"
#include "common/log.h"

static const char usage_text[] = "Usage: %s [options]\n"
				 "Options:\n"
				 " -c <cmd>:        at cmd\n"
				 " -i <interface>:  at channel\n"
				 " -d :             debug mode\n"
				 " -l <level>:      log level 0-7,default 3\n"
				 " -L <level>:      at log level \n"
				 " -w <time>:       at wait time,unit ms,default 200ms\n"
				 " -W <time>:       at over sleep time,unit s,\n"
				 "\n";

static struct blob_buf request_buf;

struct cli_options {
	const char *channel = nullptr;
	const char *cmd = nullptr;
	int wait = 0;
	int block = 0;
	int at_log_level = 0;
};

// Returns 0, or -1 after a bad option (getopt has written its diagnostic).
static int parse_options(int argc, char **argv, cli_options &o)
{
	int opt;
	while ((opt = getopt(argc, argv, "+i:w:W:c:l:L:d")) != -1) {
		switch (opt) {
		case 'i':
			o.channel = optarg;
			break;
		case 'w':
			o.wait = atoi(optarg);
			break;
		case 'W':
			o.block = atoi(optarg);
			break;
		case 'c':
			o.cmd = optarg;
			break;
		case 'l':
			log_threshold = atoi(optarg);
			break;
		case 'L':
			o.at_log_level = atoi(optarg);
			break;
		case 'd':
			break;
		default:
			return -1;
		}
	}
	return 0;
}

static int build_request(const cli_options &o)
{
	if (blob_buf_init(&request_buf, 0) < 0)
		return -1;
	if (blobmsg_add_string(&request_buf, "cmd", o.cmd) < 0)
		return -1;
	if (o.wait > 0 && blobmsg_add_u32(&request_buf, "wait", static_cast<uint32_t>(o.wait)) < 0)
		return -1;
	if (o.block > 0 && blobmsg_add_u32(&request_buf, "block", static_cast<uint32_t>(o.block)) < 0)
		return -1;
	if (o.at_log_level > 0 &&
	    blobmsg_add_u32(&request_buf, "at_log_level", static_cast<uint32_t>(o.at_log_level)) < 0)
		return -1;
	return 0;
}

static void run_call(struct ubus_context *ctx, const cli_options &o, const call_timeout &timeout)
{
	char path[128];
	snprintf(path, sizeof(path), "ravel%s", o.channel);

	if (build_request(o) < 0) {
		blob_buf_free(&request_buf);
		return;
	}

	uint32_t id = 0;
	if (ubus_lookup_id(ctx, path, &id) != 0) {
		log_message(3, "ubus find path failed(%s)", path);
		blob_buf_free(&request_buf);
		return;
	}
	report_cli_signals();

	log_message(7, "send %s,at_cmd %s,waittime %d,blocktime %d", o.channel, o.cmd, o.wait, o.block);
	ubus_invoke(ctx, id, "at_cmd", request_buf.head, on_at_reply, const_cast<char *>(o.cmd), timeout.ms);
	blob_buf_free(&request_buf);
}

int main(int argc, char **argv)
{
	log_threshold = 3;
	cli_options o;
	if (parse_options(argc, argv, o) < 0) {
		fprintf(stderr, usage_text, argv[0]);
		return 1;
	}

	openlog("ravel_tools_cli", LOG_PID, LOG_DAEMON);
	if (!o.channel || !*o.channel)
		o.channel = "cpe";
	install_cli_signal_handlers();

	if (!o.cmd || !*o.cmd)
		return 0;

	// The daemon copies every command before a "|" into a 64-byte buffer and
	// would run a longer one cut short; refuse the line rather than send a
	// different command to the module.
	call_timeout timeout = compute_call_timeout(o.cmd, o.wait, o.block);
	if (timeout.long_segment) {
		fprintf(stderr, "%s: a command before '|' is longer than %d bytes, nothing sent\n", argv[0],
			SEGMENT_LIMIT);
		return 0;
	}

	struct ubus_context *ctx = ubus_connect(nullptr);
	if (!ctx) {
		log_message(3, "ubus connect failed");
		report_cli_signals();
		return 0;
	}
	report_cli_signals();

	run_call(ctx, o, timeout);

	ubus_free(ctx);
	report_cli_signals();
	fflush(stdout);
	return 0;
}
