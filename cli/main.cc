// SPDX-License-Identifier: ISC
// ravel_tools_cli: runs AT command lines on a channel's daemon over the bus
// and prints the answers.

#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libubus.h>
}

#include "cli/lines.h"
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

// Shown by -h after the text above: the options a caller opts into.
static const char usage_more[] = " -c -:            command lines from standard input, one a line\n"
				 "                  (a console with a prompt on a terminal)\n"
				 " -j :             print each reply as JSON\n"
				 " -e :             exit status = the reply's code, 1 without a reply\n"
				 " -s <socket>:     path of the ubus socket\n"
				 " -h :             this text\n"
				 "\n";

static struct blob_buf request_buf;
static const char *program_name = "ravel_tools_cli";

struct cli_options {
	const char *channel = nullptr;
	const char *cmd = nullptr;
	const char *socket = nullptr;
	int wait = 0;
	int block = 0;
	int at_log_level = 0;
	bool json = false;
	bool exit_code = false;
	bool help = false;
};

// How one call ended.
enum call_end { CALL_REPLIED, CALL_REFUSED, CALL_NO_BUS, CALL_NO_OBJECT, CALL_TIMED_OUT, CALL_FAILED };

struct call_result {
	call_end end;
	int status;     // the bus status of the call (CALL_FAILED)
	int timeout_ms; // the call's time-out (CALL_TIMED_OUT)
};

// Returns 0, or -1 after a bad option (getopt has written its diagnostic).
static int parse_options(int argc, char **argv, cli_options &o)
{
	int opt;
	while ((opt = getopt(argc, argv, "+i:w:W:c:l:L:ds:jeh")) != -1) {
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
		case 's':
			o.socket = optarg;
			break;
		case 'j':
			o.json = true;
			break;
		case 'e':
			o.exit_code = true;
			break;
		case 'h':
			o.help = true;
			break;
		default:
			return -1;
		}
	}
	return 0;
}

static int build_request(const cli_options &o, const char *cmd)
{
	if (blob_buf_init(&request_buf, 0) < 0)
		return -1;
	if (blobmsg_add_string(&request_buf, "cmd", cmd) < 0)
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

static call_result invoke(struct ubus_context *ctx, const cli_options &o, const char *cmd, reply_state &rs,
			  const call_timeout &timeout)
{
	char path[128];
	snprintf(path, sizeof(path), "ravel%s", o.channel);

	if (build_request(o, cmd) < 0) {
		blob_buf_free(&request_buf);
		return {CALL_FAILED, UBUS_STATUS_UNKNOWN_ERROR, 0};
	}

	uint32_t id = 0;
	if (ubus_lookup_id(ctx, path, &id) != 0) {
		log_message(LOG_ERR, "ubus find path failed(%s)", path);
		blob_buf_free(&request_buf);
		return {CALL_NO_OBJECT, 0, 0};
	}
	report_cli_signals();

	log_message(LOG_DEBUG, "send %s,at_cmd %s,waittime %d,blocktime %d", o.channel, cmd, o.wait, o.block);
	int status = ubus_invoke(ctx, id, "at_cmd", request_buf.head, on_at_reply, &rs, timeout.ms);
	blob_buf_free(&request_buf);
	if (rs.replied)
		return {CALL_REPLIED, status, 0};
	if (status == UBUS_STATUS_TIMEOUT) {
		// The request may be queued behind other callers or still running
		// on the module: giving up here does not take it back.
		log_message(LOG_ERR, "at[%s] no reply in %d ms, the command may still run", cmd, timeout.ms);
		return {CALL_TIMED_OUT, status, timeout.ms};
	}
	return {CALL_FAILED, status, 0};
}

// One command line, from the connection to the bus to its end.
static call_result run_call(const cli_options &o, const char *cmd, reply_state &rs)
{
	// The daemon copies every command before a "|" into a 64-byte buffer and
	// would run a longer one cut short; refuse the line rather than send a
	// different command to the module.
	call_timeout timeout = compute_call_timeout(cmd, o.wait, o.block);
	if (timeout.long_segment) {
		fprintf(stderr, "%s: a command before '|' is longer than %d bytes, nothing sent\n",
			program_name, SEGMENT_LIMIT);
		return {CALL_REFUSED, 0, 0};
	}

	struct ubus_context *ctx = ubus_connect(o.socket);
	if (!ctx) {
		log_message(LOG_ERR, "ubus connect failed");
		report_cli_signals();
		return {CALL_NO_BUS, 0, 0};
	}
	report_cli_signals();

	call_result r = invoke(ctx, o, cmd, rs, timeout);

	ubus_free(ctx);
	report_cli_signals();
	fflush(stdout);
	return r;
}

// The one line on standard error for a call that brought no reply.
static void say_why(const cli_options &o, const call_result &r)
{
	switch (r.end) {
	case CALL_REPLIED:
	case CALL_REFUSED:
		break;
	case CALL_NO_BUS:
		fprintf(stderr, "%s: cannot connect to the bus at %s\n", program_name,
			o.socket ? o.socket : "its default socket");
		break;
	case CALL_NO_OBJECT:
		fprintf(stderr, "%s: no daemon serves channel %s on the bus\n", program_name, o.channel);
		break;
	case CALL_TIMED_OUT:
		fprintf(stderr, "%s: no reply within %d ms; the command may still run on the module\n",
			program_name, r.timeout_ms);
		break;
	case CALL_FAILED:
		fprintf(stderr, "%s: the call failed: %s\n", program_name, ubus_strerror(r.status));
		break;
	}
}

// The status under -e: the reply's code, 1 for no reply (or none with a code).
static int status_of(const call_result &r, const reply_state &rs)
{
	if (r.end != CALL_REPLIED)
		return 1;
	if (!rs.has_code) {
		fprintf(stderr, "%s: the reply carried no code\n", program_name);
		return 1;
	}
	return rs.code >= 0 && rs.code <= 255 ? rs.code : 1;
}

// -c -: one request per line of standard input, the answers in order; on a
// terminal a console with a prompt naming the channel. Returns the status
// of the last command under -e, else 0.
static int run_lines(const cli_options &o)
{
	static line_reader reader;
	line_reader_init(reader, STDIN_FILENO);
	bool console = isatty(STDIN_FILENO) != 0;
	int status = 0;
	for (;;) {
		if (console) {
			printf("%s> ", o.channel);
			fflush(stdout);
		}
		char *line = nullptr;
		line_result got = read_line(reader, &line);
		report_cli_signals();
		int stop = take_stop_signal();
		if (stop == SIGTERM || (stop == SIGINT && !console))
			break;
		if (got == LINE_EOF) {
			if (console)
				putchar('\n');
			break;
		}
		if (got == LINE_INTERRUPTED) {
			if (console)
				putchar('\n'); // Ctrl-C drops the line being typed
			continue;
		}
		if (got == LINE_TOO_LONG || got == LINE_HAS_NUL) {
			fprintf(stderr, "%s: %s, nothing sent\n", program_name,
				got == LINE_TOO_LONG ? "line longer than 4095 bytes"
						     : "line holds a NUL byte");
			status = 1;
			continue;
		}
		if (!*line)
			continue;

		reply_state rs{line, o.json, false, false, 0, false, false};
		call_result r = run_call(o, line, rs);
		say_why(o, r);
		status = status_of(r, rs);
		if (rs.printed && !rs.ends_with_newline)
			putchar('\n');
		if (console && !o.json && r.end == CALL_REPLIED && rs.code != 0)
			printf("[code %d]\n", rs.code);
		fflush(stdout);
		stop = take_stop_signal(); // one that came during the call
		if (stop == SIGTERM || (stop == SIGINT && !console))
			break;
	}
	fflush(stdout);
	return o.exit_code ? status : 0;
}

int main(int argc, char **argv)
{
	log_threshold = 3;
	cli_options o;
	if (parse_options(argc, argv, o) < 0) {
		fprintf(stderr, usage_text, argv[0]);
		return 1;
	}
	if (argv[0] && *argv[0])
		program_name = argv[0];
	if (o.help) {
		printf(usage_text, argv[0]);
		fputs(usage_more, stdout);
		return 0;
	}

	openlog("ravel_tools_cli", LOG_PID, LOG_DAEMON);
	if (!o.channel || !*o.channel)
		o.channel = "cpe";
	install_cli_signal_handlers();

	if (!o.cmd || !*o.cmd)
		return 0;
	if (strcmp(o.cmd, "-") == 0)
		return run_lines(o);

	// Without -j and -e the run says nothing on standard error and ends 0
	// whatever became of the call, as scripts of old expect.
	reply_state rs{o.cmd, o.json, false, false, 0, false, false};
	call_result r = run_call(o, o.cmd, rs);
	if (!o.json && !o.exit_code)
		return 0;
	say_why(o, r);
	return o.exit_code ? status_of(r, rs) : 0;
}
