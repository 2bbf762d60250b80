// SPDX-License-Identifier: ISC
// Real processes over a socket in a temporary folder: our bus daemon, the
// library in this process, and the bus tool hosting objects.
#include <gtest/gtest.h>

#include <fstream>
#include <poll.h>
#include <sstream>

#include "test_util.h"

extern "C" {
#include <libubus.h>
}

namespace {

struct BusProcesses : ::testing::Test {
	temp_dir dir;
	std::string sock = dir / "ubus.sock";
	child busd;

	void start_bus()
	{
		busd = child({RAVEL_BUSD, "-s", sock});
		ASSERT_TRUE(wait_until([&] { return can_connect(sock); }));
	}
	void SetUp() override { start_bus(); }

	struct ubus_context *connect()
	{
		struct ubus_context *ctx = ubus_connect(sock.c_str());
		EXPECT_NE(ctx, nullptr);
		return ctx;
	}
	bool wait_object(struct ubus_context *ctx, const char *path, uint32_t *id)
	{
		return wait_until([&] { return ubus_lookup_id(ctx, path, id) == 0; });
	}
};

// Lets a context handle what has arrived for `ms` milliseconds.
void pump(struct ubus_context *ctx, int ms)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
	while (std::chrono::steady_clock::now() < end) {
		struct pollfd p = {ctx->sock.fd, POLLIN, 0};
		if (poll(&p, 1, 5) > 0)
			ubus_handle_event(ctx);
	}
}

#ifdef RAVEL_BUS_TOOL
std::string read_file(const std::string &path)
{
	std::ifstream in(path);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

std::vector<std::string> got;

void record_reply(struct ubus_request *, int, struct blob_attr *msg)
{
	struct blob_attr *tb[1];
	const struct blobmsg_policy p[] = {{"result", BLOBMSG_TYPE_STRING}};
	blobmsg_parse(p, 1, tb, blob_data(msg), blob_len(msg));
	got.push_back(tb[0] ? blobmsg_get_string(tb[0]) : "?");
}

TEST_F(BusProcesses, CallsThroughTheDaemon)
{
	std::string log = dir / "calls.log";
	child owner({RAVEL_BUS_TOOL, "-s", sock, "serve", "network.interface", "notify_proto,slow", "--reply",
		     "{\"result\":\"ok\"}", "--log", log});
	struct ubus_context *ctx = connect();
	uint32_t id = 0;
	ASSERT_TRUE(wait_object(ctx, "network.interface", &id));
	EXPECT_GE(id, 1024u);

	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "action", 0);
	blobmsg_add_string(&b, "interface", "wan");
	got.clear();
	int wst = 0;
	EXPECT_EQ(ubus_invoke(ctx, id, "notify_proto", b.head, record_reply, nullptr, 3000), 0)
		<< "owner: " << waitpid(owner.pid, &wst, WNOHANG) << " status " << wst;
	EXPECT_EQ(got, std::vector<std::string>{"ok"});
	EXPECT_EQ(ubus_invoke(ctx, id, "nosuch", b.head, nullptr, nullptr, 3000),
		  UBUS_STATUS_METHOD_NOT_FOUND);
	EXPECT_EQ(ubus_invoke(ctx, id + 1, "notify_proto", b.head, nullptr, nullptr, 3000),
		  UBUS_STATUS_NOT_FOUND);
	EXPECT_EQ(read_file(log), "notify_proto {\"action\":0,\"interface\":\"wan\"}\n");

	// the tool's own call: indented output, exit status of the router's tool
	std::string cmd = std::string(RAVEL_BUS_TOOL) + " -s " + sock +
			  " call network.interface notify_proto '{\"a\":1}'";
	FILE *p = popen(cmd.c_str(), "r");
	char buf[256] = {};
	size_t n = fread(buf, 1, sizeof(buf) - 1, p);
	EXPECT_EQ(pclose(p), 0);
	EXPECT_EQ(std::string(buf, n), "{\n\t\"result\": \"ok\"\n}\n");
	EXPECT_EQ(WEXITSTATUS(system((std::string(RAVEL_BUS_TOOL) + " -s " + sock +
				      " call network.interface nosuch 2>/dev/null")
					     .c_str())),
		  253);
	EXPECT_EQ(WEXITSTATUS(
			  system((std::string(RAVEL_BUS_TOOL) + " -s " + sock + " call no.such x 2>/dev/null")
					 .c_str())),
		  4);

	cmd = std::string(RAVEL_BUS_TOOL) + " -s " + sock + " list -v 'network.*'";
	p = popen(cmd.c_str(), "r");
	n = fread(buf, 1, sizeof(buf) - 1, p);
	EXPECT_EQ(pclose(p), 0);
	char head[64];
	snprintf(head, sizeof(head), "'network.interface' @%08x\n", id);
	EXPECT_EQ(std::string(buf, n), std::string(head) + "\t\"notify_proto\":{}\n\t\"slow\":{}\n");
	blob_buf_free(&b);
	ubus_free(ctx);
}

TEST_F(BusProcesses, LateRepliesAfterATimeOutAreDiscarded)
{
	child owner({RAVEL_BUS_TOOL, "-s", sock, "serve", "probe.slow", "x", "--delay", "800", "--reply",
		     "{\"result\":\"late\"}"});
	struct ubus_context *ctx = connect();
	uint32_t id = 0;
	ASSERT_TRUE(wait_object(ctx, "probe.slow", &id));
	got.clear();
	auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(ubus_invoke(ctx, id, "x", nullptr, record_reply, nullptr, 300), UBUS_STATUS_TIMEOUT);
	EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(790));
	EXPECT_EQ(ubus_invoke(ctx, id, "x", nullptr, record_reply, nullptr, 5000), 0);
	EXPECT_EQ(got, std::vector<std::string>{"late"}); // one reply: the first call's was dropped
	ubus_free(ctx);
}

TEST_F(BusProcesses, OwnerDyingMidCallEndsInTimeoutThenNotFound)
{
	child owner({RAVEL_BUS_TOOL, "-s", sock, "serve", "probe.dying", "x"});
	struct ubus_context *ctx = connect();
	uint32_t id = 0;
	ASSERT_TRUE(wait_object(ctx, "probe.dying", &id));
	kill(owner.pid, SIGSTOP); // gets the call, never answers, then dies
	std::thread killer([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(200));
		kill(owner.pid, SIGKILL);
	});
	EXPECT_EQ(ubus_invoke(ctx, id, "x", nullptr, nullptr, nullptr, 1000), UBUS_STATUS_TIMEOUT);
	killer.join();
	EXPECT_TRUE(
		wait_until([&] { return ubus_lookup_id(ctx, "probe.dying", &id) == UBUS_STATUS_NOT_FOUND; }));
	ubus_free(ctx);
}
#endif

struct ev_rec {
	struct ubus_event_handler ev = {};
	std::vector<std::string> names;
};

void on_event(struct ubus_context *, struct ubus_event_handler *ev, const char *type, struct blob_attr *)
{
	container_of(ev, ev_rec, ev)->names.push_back(type);
}

TEST_F(BusProcesses, EventsByPatternNeverBackToTheSender)
{
	struct ubus_context *a = connect(), *b = connect();
	ev_rec ra, rb;
	ra.ev.cb = rb.ev.cb = on_event;
	ASSERT_EQ(ubus_register_event_handler(a, &ra.ev, "probe.*"), 0);
	ASSERT_EQ(ubus_register_event_handler(a, &ra.ev, "probe.hello"), 0); // overlapping: still once
	ASSERT_EQ(ubus_register_event_handler(b, &rb.ev, "probe.hello"), 0);
	ASSERT_EQ(ubus_register_event_handler(b, &rb.ev, "ubus.object.*"), 0);

	struct blob_buf m = {};
	blob_buf_init(&m, 0);
	EXPECT_EQ(ubus_send_event(b, "probe.hello", m.head), 0);
	EXPECT_EQ(ubus_send_event(b, "probeX", m.head), 0);
	EXPECT_EQ(ubus_send_event(a, "probe.hello", m.head), 0); // reaches b only
	EXPECT_EQ(ubus_send_event(a, "ubus.fake", m.head), UBUS_STATUS_PERMISSION_DENIED);
	pump(a, 200);
	pump(b, 200);
	EXPECT_EQ(ra.names, std::vector<std::string>{"probe.hello"});
	EXPECT_EQ(rb.names, std::vector<std::string>{"probe.hello"});

	// the bus announces objects to everybody
	static struct ubus_object_type type = {"t", 0, nullptr, 0};
	struct ubus_object obj = {};
	obj.name = "probe.announced";
	obj.type = &type;
	ASSERT_EQ(ubus_add_object(a, &obj), 0);
	pump(b, 200);
	EXPECT_EQ(rb.names.back(), "ubus.object.add");
	blob_buf_free(&m);
	ubus_free(a);
	ubus_free(b);
}

TEST_F(BusProcesses, ReconnectAfterBusRestartPublishesAgain)
{
	struct ubus_context *ctx = connect();
	static bool lost;
	lost = false;
	ctx->connection_lost = [](struct ubus_context *) { lost = true; };
	static const struct ubus_method methods[] = {{"m", nullptr, 0, 0, nullptr, 0}};
	static struct ubus_object_type type = UBUS_OBJECT_TYPE("r", methods);
	struct ubus_object obj = {};
	obj.name = "probe.r1";
	obj.type = &type;
	obj.methods = methods;
	obj.n_methods = 1;
	ASSERT_EQ(ubus_add_object(ctx, &obj), 0);
	uint32_t old_id = obj.id;

	busd.stop();
	EXPECT_TRUE(wait_until([&] {
		pump(ctx, 10);
		return lost;
	}));
	start_bus();
	ASSERT_EQ(ubus_reconnect(ctx, sock.c_str()), 0);
	EXPECT_NE(obj.id, 0u);
	EXPECT_NE(obj.id, old_id);

	struct ubus_context *other = connect();
	uint32_t id = 0;
	EXPECT_EQ(ubus_lookup_id(other, "probe.r1", &id), 0);
	EXPECT_EQ(id, obj.id);
	ubus_free(other);
	ubus_free(ctx);
}

TEST_F(BusProcesses, GarbageAndOversizedMessagesDropOnlyThatClient)
{
	auto raw_client = [&](const bytes &junk) {
		int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
		struct sockaddr_un sun = {};
		sun.sun_family = AF_UNIX;
		sock.copy(sun.sun_path, sizeof(sun.sun_path) - 1);
		EXPECT_EQ(::connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)), 0);
		uint8_t hello[12];
		EXPECT_EQ(read(fd, hello, sizeof(hello)), 12);
		EXPECT_EQ(write(fd, junk.data(), junk.size()), ssize_t(junk.size()));
		uint8_t buf[64];
		struct pollfd p = {fd, POLLIN, 0};
		bool closed = poll(&p, 1, 3000) > 0 && read(fd, buf, sizeof(buf)) == 0;
		close(fd);
		return closed;
	};
	struct ubus_context *ctx = connect();
	EXPECT_TRUE(raw_client(hex("00 05 00 01 00 00 00 00 00 00 00 01 ff ff ff ff")));
	EXPECT_TRUE(raw_client(hex("00 05 00 01 00 00 00 00 00 20 00 00 00 00 00 00")));
	EXPECT_TRUE(raw_client(bytes(4096, 0xff)));
	uint32_t id;
	EXPECT_EQ(ubus_lookup_id(ctx, "nothing.here", &id), UBUS_STATUS_NOT_FOUND); // still serving
	ubus_free(ctx);
}

TEST_F(BusProcesses, DuplicatePathRefused)
{
	struct ubus_context *a = connect(), *b = connect();
	static struct ubus_object_type ta = {"t", 0, nullptr, 0}, tb = {"t", 0, nullptr, 0};
	struct ubus_object oa = {}, ob = {};
	oa.name = ob.name = "probe.dup";
	oa.type = &ta;
	ob.type = &tb;
	EXPECT_EQ(ubus_add_object(a, &oa), 0);
	EXPECT_EQ(ubus_add_object(b, &ob), UBUS_STATUS_INVALID_ARGUMENT);
	ubus_free(a); // path free again once its owner is gone
	EXPECT_TRUE(wait_until([&] {
		ob.id = 0;
		return ubus_add_object(b, &ob) == 0;
	}));
	ubus_free(b);
}

} // namespace

namespace {

TEST_F(BusProcesses, IdsOutliveTheContextAndClearedIdsPublishAfresh)
{
	static struct ubus_object_type type = {"t", 0, nullptr, 0};
	struct ubus_object obj = {};
	obj.name = "probe.again";
	obj.type = &type;
	struct ubus_context *first = connect();
	ASSERT_EQ(ubus_add_object(first, &obj), 0);
	ubus_free(first);
	// as with the router's library, the ids outlive the context
	EXPECT_NE(obj.id, 0u);
	EXPECT_NE(type.id, 0u);

	// published again by the stale type id: the bus no longer knows that
	// type, so the object is not listed
	struct ubus_context *second = connect(), *other = connect();
	ASSERT_TRUE(wait_until([&] { return ubus_add_object(second, &obj) == 0; }));
	uint32_t id = 0;
	EXPECT_EQ(ubus_lookup_id(other, "probe.again", &id), UBUS_STATUS_NOT_FOUND);
	ASSERT_EQ(ubus_remove_object(second, &obj), 0);

	// with the ids cleared the type is registered afresh and the object listed
	obj.id = 0;
	type.id = 0;
	ASSERT_EQ(ubus_add_object(second, &obj), 0);
	EXPECT_EQ(ubus_lookup_id(other, "probe.again", &id), 0);
	EXPECT_EQ(id, obj.id);
	ubus_free(other);
	ubus_free(second);
}

} // namespace
