// SPDX-License-Identifier: ISC
// The bus daemon's core fed with recorded client messages; its answers are
// compared byte for byte with the router's bus (ids patched in).
#include <gtest/gtest.h>

#include "busd_core.h"
#include "test_util.h"

namespace {

struct BusCore : ::testing::Test {
	busd::bus bus{12345};
	uint32_t a = 0, b = 0;

	void SetUp() override
	{
		a = bus.add_client(-1).id;
		b = bus.add_client(-1).id;
		take(a);
		take(b);
	}
	std::vector<bytes> take(uint32_t id)
	{
		busd::client *c = bus.find_client(id);
		std::vector<bytes> out;
		for (busd::out_msg *m = c->out.head; m; m = m->next)
			out.emplace_back(m->data, m->data + m->len);
		c->out.clear();
		c->out_bytes = 0;
		return out;
	}
	bool feed(uint32_t id, const bytes &m) { return bus.receive(id, m.data(), m.size()); }
};

const bytes add_probe_obj = hex(R"(
00 06 00 01 00 00 00 00 00 00 00 9c 02 00 00 0e 70 72 6f 62 65 2e 6f 62 6a 00 00 00 06 00 00 88
82 00 00 54 00 06 73 74 61 74 75 73 00 00 00 00 85 00 00 10 00 04 6e 61 6d 65 00 00 00 00 00 03
85 00 00 10 00 05 63 6f 75 6e 74 00 00 00 00 05 85 00 00 14 00 07 65 6e 61 62 6c 65 64 00 00 00
00 00 00 07 85 00 00 10 00 04 6f 70 74 73 00 00 00 00 00 02 82 00 00 0c 00 05 6e 6f 61 72 67 00
82 00 00 0c 00 04 66 61 69 6c 00 00 82 00 00 0c 00 05 6d 75 6c 74 69 00 82 00 00 0c 00 04 73 6c
6f 77 00 00)");
const bytes status_ok_seq1 = hex("00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00");

TEST_F(BusCore, HelloIsTwelveBytesWithTheClientId)
{
	busd::client &c = bus.add_client(-1);
	ASSERT_EQ(c.out.count, 1u);
	bytes hello = hex("00 00 00 00 00000000 00 00 00 04");
	put_be32(hello, 4, c.id);
	EXPECT_EQ(bytes(c.out.head->data, c.out.head->data + c.out.head->len), hello);
	EXPECT_GE(c.id, 1024u);
	EXPECT_GT(__builtin_bswap32(c.id), 1u);
}

TEST_F(BusCore, PublishLookupAndRouteACall)
{
	ASSERT_TRUE(feed(a, add_probe_obj));
	auto out = take(a);
	ASSERT_EQ(out.size(), 2u);
	uint32_t obj = get_be32(out[0], 16), type = get_be32(out[0], 24);
	bytes data = hex("00 02 00 01 00 00 00 00 00 00 00 14 03 00 00 08 00000000 05 00 00 08 00000000");
	put_be32(data, 16, obj);
	put_be32(data, 24, type);
	EXPECT_EQ(out[0], data);
	EXPECT_EQ(out[1], status_ok_seq1);

	// lookup: DATA with path, id, type and the signature as published
	ASSERT_TRUE(feed(
		b,
		hex("00 04 00 01 00 00 00 00 00 00 00 14 02 00 00 0e 70 72 6f 62 65 2e 6f 62 6a 00 00 00")));
	out = take(b);
	ASSERT_EQ(out.size(), 2u);
	bytes expect =
		hex("00 02 00 01 00 00 00 00 00 00 00 ac 02 00 00 0e 70 72 6f 62 65 2e 6f 62 6a 00 00 00 "
		    "03 00 00 08 00000000 05 00 00 08 00000000");
	put_be32(expect, 32, obj);
	put_be32(expect, 40, type);
	expect.insert(expect.end(), add_probe_obj.begin() + 28, add_probe_obj.end());
	EXPECT_EQ(out[0], expect);
	EXPECT_EQ(out[1], status_ok_seq1);

	// invoke: the owner sees the caller's id as peer, plus user and group
	bytes inv = hex(
		R"(00 05 00 03 00000000 00 00 00 3c 03 00 00 08 00000000 04 00 00 0b 73 74 61 74 75 73 00 00
07 00 00 24 83 00 00 0e 00 04 6e 61 6d 65 00 00 78 00 00 00 85 00 00 10 00 05 63 6f 75 6e 74 00 00 00 00 05)");
	put_be32(inv, 4, obj);
	put_be32(inv, 16, obj);
	ASSERT_TRUE(feed(b, inv));
	EXPECT_TRUE(take(b).empty());
	out = take(a);
	ASSERT_EQ(out.size(), 1u);
	bytes fwd = hex(
		R"(00 05 00 03 00000000 00 00 00 54 03 00 00 08 00000000 04 00 00 0b 73 74 61 74 75 73 00 00
0c 00 00 09 72 6f 6f 74 00 00 00 00 0d 00 00 09 72 6f 6f 74 00 00 00 00 07 00 00 24 83 00 00 0e
00 04 6e 61 6d 65 00 00 78 00 00 00 85 00 00 10 00 05 63 6f 75 6e 74 00 00 00 00 05)");
	put_be32(fwd, 4, b);
	put_be32(fwd, 16, obj);
	EXPECT_EQ(out[0], fwd);

	// the owner's DATA and STATUS go back with peer = object id
	bytes st = hex("00 01 00 03 00000000 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 00000000");
	put_be32(st, 4, b);
	put_be32(st, 24, obj);
	ASSERT_TRUE(feed(a, st));
	out = take(b);
	ASSERT_EQ(out.size(), 1u);
	put_be32(st, 4, obj);
	EXPECT_EQ(out[0], st);

	// replies for an object the sender does not own are dropped
	put_be32(st, 4, a);
	ASSERT_TRUE(feed(b, st));
	EXPECT_TRUE(take(a).empty());

	// duplicate path → 2; unknown object → 4 with the request's peer
	bytes dup = add_probe_obj;
	ASSERT_TRUE(feed(b, dup));
	out = take(b);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(get_be32(out[0], 16), uint32_t(UBUS_STATUS_INVALID_ARGUMENT));
	ASSERT_TRUE(feed(b, hex("00 05 00 05 12 34 56 78 00 00 00 1c 03 00 00 08 12 34 56 78 04 00 00 0b 73 "
				"74 61 74 75 73 00 00 07 00 00 04")));
	EXPECT_EQ(take(b),
		  std::vector<bytes>{hex("00 01 00 05 12 34 56 78 00 00 00 0c 01 00 00 08 00 00 00 04")});

	// the owner leaves: the path is free and calls get 4
	bus.remove_client(a);
	ASSERT_TRUE(feed(b, inv));
	out = take(b);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(get_be32(out[0], 16), uint32_t(UBUS_STATUS_NOT_FOUND));
	EXPECT_EQ(bus.find_path("probe.obj"), nullptr);
}

TEST_F(BusCore, LookupPatternsAndOrder)
{
	for (const char *name : {"probe.b", "probe.a", "probeX", "other"}) {
		bytes m = hex("00 06 00 01 00000000 00000000 02 00 00 00");
		std::string n = name;
		m.insert(m.end(), n.begin(), n.end());
		m.push_back(0);
		put_be32(m, 12, uint32_t(0x02000000u | (4 + n.size() + 1)));
		while (m.size() % 4)
			m.push_back(0);
		bytes sig = hex("06 00 00 04");
		m.insert(m.end(), sig.begin(), sig.end());
		put_be32(m, 8, uint32_t(m.size() - 8));
		ASSERT_TRUE(feed(a, m));
	}
	take(a);
	auto names = [&](const std::string &pattern) {
		bytes m = hex("00 04 00 07 00000000 00000000");
		if (!pattern.empty()) {
			bytes attr = hex("02 00 00 00");
			put_be32(attr, 0, uint32_t(0x02000000u | (4 + pattern.size() + 1)));
			m.insert(m.end(), attr.begin(), attr.end());
			m.insert(m.end(), pattern.begin(), pattern.end());
			m.push_back(0);
			while (m.size() % 4)
				m.push_back(0);
		}
		put_be32(m, 8, uint32_t(m.size() - 8));
		feed(b, m);
		std::vector<std::string> r;
		for (auto &o : take(b))
			r.push_back(o[1] == UBUS_MSG_DATA
					    ? std::string(reinterpret_cast<const char *>(&o[16]))
					    : "status " + std::to_string(get_be32(o, 16)));
		return r;
	};
	EXPECT_EQ(names("probe.*"), (std::vector<std::string>{"probe.a", "probe.b", "status 0"}));
	EXPECT_EQ(names("probe.a"), (std::vector<std::string>{"probe.a", "status 0"}));
	EXPECT_EQ(names("nothing*"), (std::vector<std::string>{"status 4"}));
	EXPECT_EQ(names(""), (std::vector<std::string>{"other", "probe.a", "probe.b", "probeX", "status 0"}));
}

TEST_F(BusCore, PingUnknownTypesAndBadStreams)
{
	ASSERT_TRUE(feed(b, hex("00 03 00 01 00 00 00 00 00 00 00 0c 02 00 00 07 68 69 00 00")));
	EXPECT_EQ(take(b),
		  (std::vector<bytes>{hex("00 02 00 01 00 00 00 00 00 00 00 0c 02 00 00 07 68 69 00 00"),
				      status_ok_seq1}));
	ASSERT_TRUE(feed(b, hex("00 2a 00 02 00 00 00 00 00 00 00 04")));
	EXPECT_EQ(take(b),
		  std::vector<bytes>{hex("00 01 00 02 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 01")});

	// a message split across reads is reassembled
	bytes ping = hex("00 03 00 09 00 00 00 00 00 00 00 04");
	ASSERT_TRUE(bus.receive(b, ping.data(), 5));
	EXPECT_TRUE(take(b).empty());
	ASSERT_TRUE(bus.receive(b, ping.data() + 5, ping.size() - 5));
	EXPECT_EQ(take(b).size(), 2u);

	EXPECT_FALSE(feed(b, hex("00 03 00 01 00 00 00 00 00 00 00 02"))); // body shorter than its header
	EXPECT_FALSE(feed(a, hex("00 03 00 01 00 00 00 00 00 10 00 04 00 00 00 00"))); // over 1 MiB
}

// The router's bus passes echoed and forwarded messages on as they came,
// version byte included; what it writes itself carries version 0.
TEST_F(BusCore, VersionBytePassesThroughEchoesAndReplies)
{
	ASSERT_TRUE(feed(b, hex("09 03 00 04 00 00 00 00 00 00 00 0c 02 00 00 06 78 00 00 00")));
	EXPECT_EQ(take(b),
		  (std::vector<bytes>{hex("09 02 00 04 00 00 00 00 00 00 00 0c 02 00 00 06 78 00 00 00"),
				      hex("00 01 00 04 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00")}));

	ASSERT_TRUE(feed(a, hex("00 06 00 01 00 00 00 00 00 00 00 04"))); // a path-less object
	auto out = take(a);
	ASSERT_EQ(out.size(), 2u);
	uint32_t obj = get_be32(out[0], 16);

	bytes inv = hex(
		"05 05 00 07 00000000 00 00 00 18 03 00 00 08 00000000 04 00 00 06 6d 00 00 00 07 00 00 04");
	put_be32(inv, 4, obj);
	put_be32(inv, 16, obj);
	ASSERT_TRUE(feed(b, inv));
	out = take(a);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0][0], 0); // the bus's own INVOKE to the owner

	bytes data = hex("07 02 00 07 00000000 00 00 00 10 03 00 00 08 00000000 07 00 00 04");
	put_be32(data, 4, b);
	put_be32(data, 16, obj);
	bytes st = hex("07 01 00 07 00000000 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 00000000");
	put_be32(st, 4, b);
	put_be32(st, 24, obj);
	ASSERT_TRUE(feed(a, data));
	ASSERT_TRUE(feed(a, st));
	put_be32(data, 4, obj);
	put_be32(st, 4, obj);
	EXPECT_EQ(take(b), (std::vector<bytes>{data, st}));
}

TEST_F(BusCore, EventsMatchOncePerObjectAndNeverLoopBack)
{
	EXPECT_TRUE(busd::event_matches("probe.*", "probe.hello"));
	EXPECT_TRUE(busd::event_matches("probe.*", "probe."));
	EXPECT_FALSE(busd::event_matches("probe.*", "probe"));
	EXPECT_FALSE(busd::event_matches("probe.*", "probeX"));
	EXPECT_TRUE(busd::event_matches("*", "anything"));
	EXPECT_FALSE(busd::event_matches("a*b", "axb"));
	EXPECT_TRUE(busd::event_matches("a*b", "a*b"));
}

} // namespace
