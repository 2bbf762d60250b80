// SPDX-License-Identifier: ISC
// ravel-bus: command-line access to the bus for development and tests:
// call, send, list, listen, and serve (hosts an object and records its calls).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

namespace {

const char *socket_path = nullptr;
int timeout_s = 30;
bool timeout_given = false;
bool simple = false;
bool verbose = false;
struct blob_buf b;

int usage(int status)
{
	std::fprintf(stderr, "Usage: ravel-bus [<options>] <command> [arguments...]\n"
			     "Options:\n"
			     " -s <socket>:\t\tSet the unix domain socket to connect to\n"
			     " -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
			     " -S:\t\t\tUse simplified output (for scripts)\n"
			     " -v:\t\t\tMore verbose output\n"
			     "\n"
			     "Commands:\n"
			     " - list [<path>]\t\t\tList objects\n"
			     " - call <path> <method> [<message>]\tCall an object method\n"
			     " - listen [<path>...]\t\t\tListen for events\n"
			     " - send <type> [<message>]\t\tSend an event\n"
			     " - serve <path> <method>[,<method>...] [--reply <json>] [--status <n>]\n"
			     "\t\t\t\t\t[--delay <ms>] [--log <file>]\n"
			     "\t\t\t\t\tHost an object and record every call\n"
			     "\n");
	return status;
}

void fail(int status)
{
	if (!simple)
		std::fprintf(stderr, "Command failed: %s\n", ubus_strerror(status));
}

std::string format(struct blob_attr *msg, bool compact)
{
	char *s = blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, compact ? -1 : 0);
	std::string out = s ? s : "";
	std::free(s);
	return out;
}

void print_reply(struct ubus_request *req, int type, struct blob_attr *msg)
{
	(void)req;
	(void)type;
	if (!msg)
		return;
	std::printf("%s\n", format(msg, simple).c_str());
	std::fflush(stdout);
}

int cmd_call(struct ubus_context *ctx, std::vector<std::string> &args)
{
	if (args.size() < 2 || args.size() > 3)
		return -2;
	uint32_t id;
	int ret = ubus_lookup_id(ctx, args[0].c_str(), &id);
	if (ret) {
		fail(ret);
		return ret;
	}
	blob_buf_init(&b, 0);
	if (args.size() == 3 && !blobmsg_add_json_from_string(&b, args[2].c_str()))
		ret = UBUS_STATUS_PARSE_ERROR;
	else
		ret = ubus_invoke(ctx, id, args[1].c_str(), b.head, print_reply, nullptr, timeout_s * 1000);
	if (!ret)
		return 0;
	if (simple)
		return ret;
	if (isatty(STDERR_FILENO)) {
		fail(ret);
		return ret;
	}
	std::string line = "Command failed: ubus call ";
	for (auto &a : args)
		line += a + " ";
	std::fprintf(stderr, "%s(%s)\n", line.c_str(), ubus_strerror(ret));
	return 256 - ret;
}

int cmd_send(struct ubus_context *ctx, std::vector<std::string> &args)
{
	if (args.empty() || args.size() > 2)
		return -2;
	blob_buf_init(&b, 0);
	if (args.size() == 2 && !blobmsg_add_json_from_string(&b, args[1].c_str())) {
		fail(UBUS_STATUS_PARSE_ERROR);
		return UBUS_STATUS_PARSE_ERROR;
	}
	int ret = ubus_send_event(ctx, args[0].c_str(), b.head);
	if (ret)
		fail(ret);
	return ret;
}

const char *type_name(uint32_t type)
{
	switch (type) {
	case BLOBMSG_TYPE_INT32:
		return "\"Integer\"";
	case BLOBMSG_TYPE_STRING:
		return "\"String\"";
	case BLOBMSG_TYPE_BOOL:
		return "\"Boolean\"";
	case BLOBMSG_TYPE_ARRAY:
		return "\"Array\"";
	case BLOBMSG_TYPE_TABLE:
		return "\"Table\"";
	default:
		return "\"(unknown)\"";
	}
}

void list_cb(struct ubus_context *ctx, struct ubus_object_data *obj, void *priv)
{
	(void)ctx;
	(void)priv;
	if (!verbose || simple) {
		std::printf("%s\n", obj->path);
		return;
	}
	std::printf("'%s' @%08x\n", obj->path, obj->id);
	if (!obj->signature)
		return;
	struct blob_attr *m;
	size_t rem;
	blobmsg_for_each_attr (m, obj->signature, rem) {
		std::string line = "\t\"" + std::string(blobmsg_name(m)) + "\":{";
		struct blob_attr *p;
		size_t prem;
		bool first = true;
		blobmsg_for_each_attr (p, m, prem) {
			if (blobmsg_type(p) != BLOBMSG_TYPE_INT32)
				continue;
			line += (first ? "\"" : ",\"") + std::string(blobmsg_name(p)) +
				"\":" + type_name(blobmsg_get_u32(p));
			first = false;
		}
		std::printf("%s}\n", line.c_str());
	}
}

int cmd_list(struct ubus_context *ctx, std::vector<std::string> &args)
{
	if (args.size() > 1)
		return -2;
	int ret = ubus_lookup(ctx, args.empty() ? nullptr : args[0].c_str(), list_cb, nullptr);
	if (ret)
		fail(ret);
	return ret;
}

void listen_cb(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *type,
	       struct blob_attr *msg)
{
	(void)ctx;
	(void)ev;
	std::printf("{ \"%s\": %s }\n", type, format(msg, true).c_str());
	std::fflush(stdout);
}

struct uloop_timeout end_timer;

void end_cb(struct uloop_timeout *t)
{
	(void)t;
	uloop_end();
}

void lost_cb(struct ubus_context *ctx)
{
	(void)ctx;
	uloop_end();
}

int cmd_listen(struct ubus_context *ctx, std::vector<std::string> &args)
{
	static struct ubus_event_handler ev;
	ev.cb = listen_cb;
	if (args.empty())
		args.push_back("*");
	for (auto &pattern : args) {
		int ret = ubus_register_event_handler(ctx, &ev, pattern.c_str());
		if (ret) {
			if (!simple)
				std::fprintf(stderr, "Error while registering for event '%s': %s\n",
					     pattern.c_str(), ubus_strerror(ret));
			return 255;
		}
	}
	ctx->connection_lost = lost_cb;
	ubus_add_uloop(ctx);
	if (timeout_given) {
		end_timer.cb = end_cb;
		uloop_timeout_set(&end_timer, timeout_s * 1000);
	}
	uloop_run();
	return 0;
}

// serve: one object whose methods all record the call and answer the same way.
struct serve_state {
	std::string path;
	std::vector<std::string> names;
	std::vector<struct ubus_method> methods;
	struct ubus_object_type type = {};
	struct ubus_object obj = {};
	std::string reply;
	int status = 0;
	int delay_ms = 0;
	FILE *log = stdout;
	struct uloop_timeout retry = {};
	struct ubus_context *ctx = nullptr;
} serve;

int serve_cb(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
	     const char *method, struct blob_attr *msg)
{
	(void)obj;
	std::fprintf(serve.log, "%s %s\n", method, format(msg, true).c_str());
	std::fflush(serve.log);
	if (serve.delay_ms > 0)
		usleep(useconds_t(serve.delay_ms) * 1000); // a slow object: nothing else is served meanwhile
	if (!serve.reply.empty()) {
		struct blob_buf r = {};
		blob_buf_init(&r, 0);
		blobmsg_add_json_from_string(&r, serve.reply.c_str());
		ubus_send_reply(ctx, req, r.head);
		blob_buf_free(&r);
	}
	return serve.status;
}

void serve_retry(struct uloop_timeout *t)
{
	if (ubus_reconnect(serve.ctx, socket_path) != 0) {
		uloop_timeout_set(t, 100);
		return;
	}
	ubus_add_uloop(serve.ctx);
}

void serve_lost(struct ubus_context *ctx)
{
	(void)ctx;
	if (!serve.retry.pending)
		uloop_timeout_set(&serve.retry, 100);
}

int cmd_serve(struct ubus_context *ctx, std::vector<std::string> &args)
{
	std::vector<std::string> pos;
	for (size_t i = 0; i < args.size(); i++) {
		if (args[i] == "--reply" && i + 1 < args.size())
			serve.reply = args[++i];
		else if (args[i] == "--delay" && i + 1 < args.size())
			serve.delay_ms = std::atoi(args[++i].c_str());
		else if (args[i] == "--status" && i + 1 < args.size())
			serve.status = std::atoi(args[++i].c_str());
		else if (args[i] == "--log" && i + 1 < args.size()) {
			serve.log = std::fopen(args[++i].c_str(), "a");
			if (!serve.log) {
				std::fprintf(stderr, "cannot open %s: %s\n", args[i].c_str(),
					     std::strerror(errno));
				return 1;
			}
		} else
			pos.push_back(args[i]);
	}
	if (pos.size() != 2)
		return -2;
	serve.path = pos[0];
	size_t start = 0;
	for (;;) {
		size_t comma = pos[1].find(',', start);
		serve.names.push_back(pos[1].substr(start, comma - start));
		if (comma == std::string::npos)
			break;
		start = comma + 1;
	}
	for (auto &n : serve.names)
		serve.methods.push_back({n.c_str(), serve_cb, 0, 0, nullptr, 0});
	serve.type = {serve.path.c_str(), 0, serve.methods.data(), int(serve.methods.size())};
	serve.obj.name = serve.path.c_str();
	serve.obj.type = &serve.type;
	serve.obj.methods = serve.methods.data();
	serve.obj.n_methods = int(serve.methods.size());
	serve.ctx = ctx;
	serve.retry.cb = serve_retry;
	int ret = ubus_add_object(ctx, &serve.obj);
	if (ret) {
		fail(ret);
		return ret;
	}
	ctx->connection_lost = serve_lost;
	ubus_add_uloop(ctx);
	uloop_run();
	uloop_timeout_cancel(&serve.retry);
	if (serve.log != stdout)
		std::fclose(serve.log);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	int opt;
	while ((opt = getopt(argc, argv, "+s:t:Sv")) != -1) {
		switch (opt) {
		case 's':
			socket_path = optarg;
			break;
		case 't':
			timeout_s = std::atoi(optarg);
			timeout_given = true;
			break;
		case 'S':
			simple = true;
			break;
		case 'v':
			verbose = true;
			break;
		default:
			return usage(1);
		}
	}
	if (optind >= argc)
		return usage(1);
	std::string cmd = argv[optind++];
	std::vector<std::string> args;
	for (int i = optind; i < argc; i++) {
		if (cmd == "list" && !std::strcmp(argv[i], "-v"))
			verbose = true;
		else
			args.emplace_back(argv[i]);
	}
	int (*handler)(struct ubus_context *, std::vector<std::string> &) = nullptr;
	if (cmd == "call")
		handler = cmd_call;
	else if (cmd == "send")
		handler = cmd_send;
	else if (cmd == "list")
		handler = cmd_list;
	else if (cmd == "listen")
		handler = cmd_listen;
	else if (cmd == "serve")
		handler = cmd_serve;
	else
		return usage(254);

	struct ubus_context *ctx = ubus_connect(socket_path);
	if (!ctx) {
		if (!simple)
			std::fprintf(stderr, "Failed to connect to ubus\n");
		return 255;
	}
	int ret = handler(ctx, args);
	ubus_free(ctx);
	blob_buf_free(&b);
	uloop_done();
	if (ret == -2)
		return usage(254);
	return ret & 0xff;
}
