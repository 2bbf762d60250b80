// SPDX-License-Identifier: ISC
// The client library against a scripted bus: every message it sends is
// compared byte for byte with exchanges recorded from the router's bus.
#include <gtest/gtest.h>

#include <atomic>
#include <endian.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/mman.h>

#include "test_util.h"

extern "C" {
#include <libubus.h>
}

namespace {

// Accepts one connection, greets it with HELLO and answers each message
// through `respond`; every received message is kept.
class fake_bus {
public:
	std::function<std::vector<bytes>(const bytes &)> respond;

	explicit fake_bus(uint32_t client_id) : id_(client_id)
	{
		lfd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
		struct sockaddr_un sun = {};
		sun.sun_family = AF_UNIX;
		path_ = dir_ / "bus.sock";
		path_.copy(sun.sun_path, sizeof(sun.sun_path) - 1);
		bind(lfd_, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun));
		listen(lfd_, 4);
		thread_ = std::thread([this] { run(); });
	}
	~fake_bus()
	{
		stop_ = true;
		shutdown(lfd_, SHUT_RDWR);
		if (cfd_ >= 0)
			shutdown(cfd_, SHUT_RDWR);
		thread_.join();
		close(lfd_);
		if (cfd_ >= 0)
			close(cfd_);
	}
	const std::string &path() const { return path_; }
	void send(const bytes &b) { (void)!write(cfd_, b.data(), b.size()); }
	void hang_up() { shutdown(cfd_, SHUT_RDWR); }
	std::vector<bytes> received()
	{
		std::lock_guard<std::mutex> g(lock_);
		return got_;
	}
	size_t count()
	{
		std::lock_guard<std::mutex> g(lock_);
		return got_.size();
	}

private:
	bool read_full(uint8_t *p, size_t n)
	{
		while (n > 0) {
			ssize_t r = read(cfd_, p, n);
			if (r <= 0)
				return false;
			p += r;
			n -= size_t(r);
		}
		return true;
	}
	void run()
	{
		cfd_ = accept(lfd_, nullptr, nullptr);
		if (cfd_ < 0)
			return;
		bytes hello = hex("00 00 00 00 00000000 00 00 00 04");
		put_be32(hello, 4, id_);
		send(hello);
		while (!stop_) {
			bytes msg(12);
			if (!read_full(msg.data(), 12))
				return;
			size_t len = get_be32(msg, 8) & 0xffffff;
			msg.resize(8 + len);
			if (len > 4 && !read_full(msg.data() + 12, len - 4))
				return;
			std::vector<bytes> out;
			{
				std::lock_guard<std::mutex> g(lock_);
				got_.push_back(msg);
				if (respond)
					out = respond(msg);
			}
			for (auto &o : out)
				send(o);
		}
	}

	temp_dir dir_;
	std::string path_;
	uint32_t id_;
	int lfd_ = -1;
	int cfd_ = -1;
	std::atomic<bool> stop_{false};
	std::mutex lock_;
	std::vector<bytes> got_;
	std::thread thread_;
};

bytes with_seq(bytes b, uint16_t seq)
{
	put_be16(b, 2, seq);
	return b;
}

uint16_t seq_of(const bytes &b)
{
	return uint16_t(b[2] << 8 | b[3]);
}

// Recorded exchanges of the router's bus (ids as they were in that run).
const bytes add_probe_obj = hex(R"(
00 06 00 01 00 00 00 00 00 00 00 9c 02 00 00 0e 70 72 6f 62 65 2e 6f 62 6a 00 00 00 06 00 00 88
82 00 00 54 00 06 73 74 61 74 75 73 00 00 00 00 85 00 00 10 00 04 6e 61 6d 65 00 00 00 00 00 03
85 00 00 10 00 05 63 6f 75 6e 74 00 00 00 00 05 85 00 00 14 00 07 65 6e 61 62 6c 65 64 00 00 00
00 00 00 07 85 00 00 10 00 04 6f 70 74 73 00 00 00 00 00 02 82 00 00 0c 00 05 6e 6f 61 72 67 00
82 00 00 0c 00 04 66 61 69 6c 00 00 82 00 00 0c 00 05 6d 75 6c 74 69 00 82 00 00 0c 00 04 73 6c
6f 77 00 00)");
const bytes add_reply_data =
	hex("00 02 00 01 00 00 00 00 00 00 00 14 03 00 00 08 bd 3f 3a 21 05 00 00 08 05 ac 79 8b");
const bytes status_ok_seq1 = hex("00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00");
const bytes invoke_to_owner = hex(R"(
00 05 00 03 43 6c 44 c1 00 00 00 54 03 00 00 08 bd 3f 3a 21 04 00 00 0b 73 74 61 74 75 73 00 00
0c 00 00 09 72 6f 6f 74 00 00 00 00 0d 00 00 09 72 6f 6f 74 00 00 00 00 07 00 00 24 83 00 00 0e
00 04 6e 61 6d 65 00 00 78 00 00 00 85 00 00 10 00 05 63 6f 75 6e 74 00 00 00 00 05)");
const bytes owner_data = hex(R"(
00 02 00 03 43 6c 44 c1 00 00 00 34 03 00 00 08 bd 3f 3a 21 07 00 00 28 83 00 00 13 00 06 72 65
73 75 6c 74 00 00 00 00 6f 6b 00 00 85 00 00 10 00 05 63 6f 75 6e 74 00 00 00 00 05)");
const bytes owner_status =
	hex("00 01 00 03 43 6c 44 c1 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 bd 3f 3a 21");
const bytes invoke_nosuch = hex(R"(
00 05 00 04 43 6c 44 c1 00 00 00 34 03 00 00 08 bd 3f 3a 21 04 00 00 0b 6e 6f 73 75 63 68 00 00
0c 00 00 09 72 6f 6f 74 00 00 00 00 0d 00 00 09 72 6f 6f 74 00 00 00 00 07 00 00 04)");
const bytes status_nosuch =
	hex("00 01 00 04 43 6c 44 c1 00 00 00 14 01 00 00 08 00 00 00 03 03 00 00 08 bd 3f 3a 21");
const bytes lookup_probe =
	hex("00 04 00 01 00 00 00 00 00 00 00 14 02 00 00 0e 70 72 6f 62 65 2e 6f 62 6a 00 00 00");
const bytes lookup_reply = hex(R"(
00 02 00 01 00 00 00 00 00 00 00 ac 02 00 00 0e 70 72 6f 62 65 2e 6f 62 6a 00 00 00 03 00 00 08
bd 3f 3a 21 05 00 00 08 05 ac 79 8b 06 00 00 88 82 00 00 54 00 06 73 74 61 74 75 73 00 00 00 00
85 00 00 10 00 04 6e 61 6d 65 00 00 00 00 00 03 85 00 00 10 00 05 63 6f 75 6e 74 00 00 00 00 05
85 00 00 14 00 07 65 6e 61 62 6c 65 64 00 00 00 00 00 00 07 85 00 00 10 00 04 6f 70 74 73 00 00
00 00 00 02 82 00 00 0c 00 05 6e 6f 61 72 67 00 82 00 00 0c 00 04 66 61 69 6c 00 00 82 00 00 0c
00 05 6d 75 6c 74 69 00 82 00 00 0c 00 04 73 6c 6f 77 00 00)");
const bytes caller_invoke = hex(R"(
00 05 00 03 bd 3f 3a 21 00 00 00 3c 03 00 00 08 bd 3f 3a 21 04 00 00 0b 73 74 61 74 75 73 00 00
07 00 00 24 83 00 00 0e 00 04 6e 61 6d 65 00 00 78 00 00 00 85 00 00 10 00 05 63 6f 75 6e 74 00
00 00 00 05)");
const bytes caller_data = hex(R"(
00 02 00 03 bd 3f 3a 21 00 00 00 34 03 00 00 08 bd 3f 3a 21 07 00 00 28 83 00 00 13 00 06 72 65
73 75 6c 74 00 00 00 00 6f 6b 00 00 85 00 00 10 00 05 63 6f 75 6e 74 00 00 00 00 05)");
const bytes caller_status =
	hex("00 01 00 03 bd 3f 3a 21 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 bd 3f 3a 21");
const bytes send_event = hex(R"(
00 05 00 01 00 00 00 01 00 00 00 4c 03 00 00 08 00 00 00 01 04 00 00 09 73 65 6e 64 00 00 00 00
07 00 00 34 83 00 00 18 00 02 69 64 00 00 00 00 70 72 6f 62 65 2e 68 65 6c 6c 6f 00 82 00 00 18
00 04 64 61 74 61 00 00 83 00 00 0a 00 01 6b 00 76 00 00 00)");
const bytes add_pathless = hex("00 06 00 02 00 00 00 00 00 00 00 04");
const bytes add_pathless_reply = hex("00 02 00 02 00 00 00 00 00 00 00 0c 03 00 00 08 e8 cf 2d 3a");
const bytes register_pattern = hex(R"(
00 05 00 03 00 00 00 01 00 00 00 4c 03 00 00 08 00 00 00 01 04 00 00 0d 72 65 67 69 73 74 65 72
00 00 00 00 07 00 00 30 85 00 00 14 00 06 6f 62 6a 65 63 74 00 00 00 00 e8 cf 2d 3a 83 00 00 18
00 07 70 61 74 74 65 72 6e 00 00 00 70 72 6f 62 65 2e 2a 00)");

bytes status_for(const bytes &req, uint32_t status)
{
	bytes b = hex("00 01 0000 00000000 00 00 00 0c 01 00 00 08 00000000");
	std::copy(req.begin() + 2, req.begin() + 8, b.begin() + 2);
	put_be32(b, 16, status);
	return b;
}

const struct blobmsg_policy status_policy[] = {
	{"name", BLOBMSG_TYPE_STRING},
	{"count", BLOBMSG_TYPE_INT32},
	{"enabled", BLOBMSG_TYPE_BOOL},
	{"opts", BLOBMSG_TYPE_TABLE},
};

std::string last_user;
fake_bus *owner_bus;
bool reply_before_return;

int status_handler(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
		   const char *, struct blob_attr *)
{
	last_user = req->acl.user ? req->acl.user : "";
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "result", "ok");
	blobmsg_add_u32(&b, "count", 5);
	ubus_send_reply(ctx, req, b.head);
	blob_buf_free(&b);
	// a handler may go on working after its reply: the reply must be out already
	reply_before_return = owner_bus && wait_until([] { return owner_bus->count() >= 2; }, 2000);
	return 0;
}

int noop_handler(struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *,
		 struct blob_attr *)
{
	return 0;
}

const struct ubus_method probe_methods[] = {
	UBUS_METHOD("status", status_handler, status_policy),
	UBUS_METHOD_NOARG("noarg", noop_handler),
	UBUS_METHOD_NOARG("fail", noop_handler),
	UBUS_METHOD_NOARG("multi", noop_handler),
	UBUS_METHOD_NOARG("slow", noop_handler),
};

// Dispatches input until the fake bus has seen `n` messages.
void pump_until(struct ubus_context *ctx, fake_bus &bus, size_t n)
{
	wait_until([&] {
		struct pollfd p = {ctx->sock.fd, POLLIN, 0};
		if (poll(&p, 1, 10) > 0)
			ubus_handle_event(ctx);
		return bus.count() >= n;
	});
}

TEST(LibraryWire, PublishesObjectAndAnswersCallsLikeTheRouterLibrary)
{
	fake_bus bus(0x436c44c1);
	bus.respond = [](const bytes &m) -> std::vector<bytes> {
		// a call right behind the reply: it must find the new object
		if (m[1] == UBUS_MSG_ADD_OBJECT)
			return {add_reply_data, status_ok_seq1, invoke_to_owner};
		if (m[1] == UBUS_MSG_REMOVE_OBJECT) { // what the router's bus says to an unknown id
			bytes st = hex("00 01 00 00 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 04");
			st[2] = m[2];
			st[3] = m[3];
			return {st};
		}
		return {};
	};
	owner_bus = &bus;
	struct ubus_context *ctx = ubus_connect(bus.path().c_str());
	ASSERT_NE(ctx, nullptr);
	EXPECT_EQ(ctx->local_id, htobe32(0x436c44c1)); // kept in wire byte order

	struct ubus_object_type type = UBUS_OBJECT_TYPE("probe", probe_methods);
	struct ubus_object obj = {};
	obj.name = "probe.obj";
	obj.type = &type;
	obj.methods = probe_methods;
	obj.n_methods = ARRAY_SIZE(probe_methods);
	ASSERT_EQ(ubus_add_object(ctx, &obj), 0);
	EXPECT_EQ(obj.id, 0xbd3f3a21u);
	EXPECT_EQ(type.id, 0x05ac798bu);
	EXPECT_EQ(bus.received().at(0), add_probe_obj);

	pump_until(ctx, bus, 3);
	auto got = bus.received();
	ASSERT_GE(got.size(), 3u);
	EXPECT_EQ(got[1], owner_data);
	EXPECT_EQ(got[2], owner_status);
	EXPECT_EQ(last_user, "root");
	EXPECT_TRUE(reply_before_return);
	owner_bus = nullptr;

	// method not found is the owner's answer
	bus.send(invoke_nosuch);
	pump_until(ctx, bus, 4);
	ASSERT_GE(bus.count(), 4u);
	EXPECT_EQ(bus.received()[3], status_nosuch);

	// an object that is not on the bus: "Not found", as the router's library answers
	struct ubus_object stray = {};
	stray.name = "probe.stray";
	stray.type = &type;
	EXPECT_EQ(ubus_remove_object(ctx, &stray), UBUS_STATUS_NOT_FOUND);
	ubus_free(ctx);
}

std::vector<std::string> replies;

void collect(struct ubus_request *, int, struct blob_attr *msg)
{
	struct blob_attr *tb[1];
	const struct blobmsg_policy p[] = {{"result", BLOBMSG_TYPE_STRING}};
	blobmsg_parse(p, 1, tb, blob_data(msg), blob_len(msg));
	replies.push_back(tb[0] ? blobmsg_get_string(tb[0]) : "?");
}

TEST(LibraryWire, CallerLookupInvokeTimeoutAndEvents)
{
	fake_bus bus(0x66b76109);
	std::atomic<bool> answer{true};
	bus.respond = [&](const bytes &m) -> std::vector<bytes> {
		if (m[1] == UBUS_MSG_LOOKUP)
			return m.size() == lookup_probe.size()
				       ? std::vector<bytes>{lookup_reply, status_ok_seq1}
				       : std::vector<bytes>{status_for(m, UBUS_STATUS_NOT_FOUND)};
		if (m[1] == UBUS_MSG_INVOKE && get_be32(m, 4) == 1)
			return {status_for(m, 0)};
		if (m[1] == UBUS_MSG_INVOKE && answer)
			return {with_seq(caller_data, seq_of(m)), with_seq(caller_status, seq_of(m))};
		return {};
	};
	struct ubus_context *ctx = ubus_connect(bus.path().c_str());
	ASSERT_NE(ctx, nullptr);

	uint32_t id = 0;
	ASSERT_EQ(ubus_lookup_id(ctx, "probe.obj", &id), 0);
	EXPECT_EQ(id, 0xbd3f3a21u);
	EXPECT_EQ(bus.received().at(0), lookup_probe);
	uint32_t untouched = 77;
	EXPECT_EQ(ubus_lookup_id(ctx, "no.such.object", &untouched), UBUS_STATUS_NOT_FOUND);
	EXPECT_EQ(untouched, 77u);

	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "name", "x");
	blobmsg_add_u32(&b, "count", 5);
	replies.clear();
	ASSERT_EQ(ubus_invoke(ctx, id, "status", b.head, collect, nullptr, 2000), 0);
	EXPECT_EQ(bus.received().at(2), with_seq(caller_invoke, 3));
	EXPECT_EQ(replies, std::vector<std::string>{"ok"});

	// time-out: the late reply must not reach the next call
	answer = false;
	auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(ubus_invoke(ctx, id, "slow", nullptr, collect, nullptr, 300), UBUS_STATUS_TIMEOUT);
	EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
	bytes late = bus.received().back();
	bus.send(with_seq(caller_data, seq_of(late)));
	bus.send(with_seq(caller_status, seq_of(late)));
	answer = true;
	replies.clear();
	EXPECT_EQ(ubus_invoke(ctx, id, "status", nullptr, collect, nullptr, 2000), 0);
	EXPECT_EQ(replies.size(), 1u);

	// events: send, then a path-less handler object and its pattern
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "k", "v");
	EXPECT_EQ(ubus_send_event(ctx, "probe.hello", b.head), 0);
	EXPECT_EQ(bus.received().back(), with_seq(send_event, seq_of(bus.received().back())));

	bus.respond = [&](const bytes &m) -> std::vector<bytes> {
		if (m[1] == UBUS_MSG_ADD_OBJECT)
			return {with_seq(add_pathless_reply, seq_of(m)), status_for(m, 0)};
		return {status_for(m, 0)};
	};
	// The handler's memory is gone before ubus_free, as with a handler on a
	// stack frame that returned: ubus_free must not touch it.
	long page = sysconf(_SC_PAGESIZE);
	auto *ev = static_cast<struct ubus_event_handler *>(
		mmap(nullptr, size_t(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	ASSERT_NE(ev, MAP_FAILED);
	*ev = {};
	EXPECT_EQ(ubus_register_event_handler(ctx, ev, "probe.*"), 0);
	auto got = bus.received();
	EXPECT_EQ(got[got.size() - 2], with_seq(add_pathless, seq_of(got[got.size() - 2])));
	EXPECT_EQ(got.back(), with_seq(register_pattern, seq_of(got.back())));

	// the bus goes away during a call
	bus.respond = nullptr;
	static bool lost;
	lost = false;
	ctx->connection_lost = [](struct ubus_context *) { lost = true; };
	std::thread hang([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
		bus.hang_up();
	});
	EXPECT_EQ(ubus_invoke(ctx, id, "status", nullptr, nullptr, nullptr, 5000),
		  UBUS_STATUS_CONNECTION_FAILED);
	hang.join();
	EXPECT_TRUE(lost);
	blob_buf_free(&b);
	munmap(ev, size_t(page));
	ubus_free(ctx);
}

TEST(LibraryWire, StrerrorTexts)
{
	EXPECT_STREQ(ubus_strerror(0), "Success");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_METHOD_NOT_FOUND), "Method not found");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_TIMEOUT), "Request timed out");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_PARSE_ERROR), "Parsing message data failed");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_SYSTEM_ERROR), "System error");
	EXPECT_STREQ(ubus_strerror(14), "Unknown error: 14");
	EXPECT_STREQ(ubus_strerror(-3), "Unknown error: -3");
}

TEST(LibraryWire, ConnectFailsWithoutBus)
{
	temp_dir d;
	EXPECT_EQ(ubus_connect((d / "none.sock").c_str()), nullptr);
}

} // namespace
