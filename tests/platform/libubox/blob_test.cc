// SPDX-License-Identifier: ISC
// Encoding, layout limits, validation and policy parsing of blob/blobmsg.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg.h>
const char *ubox_c_roundtrip(struct blob_buf *b);
}

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const char *text)
{
	Bytes out;
	std::string digits;
	for (const char *p = text; *p; p++) {
		if (isxdigit(static_cast<unsigned char>(*p)))
			digits += *p;
	}
	for (size_t i = 0; i + 1 < digits.size(); i += 2)
		out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
	return out;
}

Bytes bytes_of(const blob_buf &b)
{
	auto *p = reinterpret_cast<const uint8_t *>(b.head);
	return Bytes(p, p + blob_pad_len(b.head));
}

struct Buf {
	blob_buf b{};
	Buf() { blob_buf_init(&b, 0); }
	~Buf() { blob_buf_free(&b); }
};

void build_a(blob_buf *b, bool empty_parameter)
{
	blobmsg_add_string(b, "name", "ravel_tools_cpe");
	blobmsg_add_u32(b, "type", 2);
	void *c = blobmsg_open_table(b, "parameter");
	EXPECT_EQ(c, reinterpret_cast<void *>(0x1234567));
	if (!empty_parameter) {
		blobmsg_add_string(b, "channel", "cpe");
		blobmsg_add_string(b, "server", "192.168.1.1");
		blobmsg_add_u32(b, "port", 5000);
		blobmsg_add_string(b, "proto", "tcp");
	}
	blobmsg_close_table(b, c);
}

} // namespace

TEST(BlobEncoding, PlainBlobVector)
{
	Buf m;
	blob_put_string(&m.b, 3, "hi");
	blob_put_u8(&m.b, 4, 0x7f);
	blob_put_u16(&m.b, 5, 0x1234);
	blob_put_u64(&m.b, 7, 0x1122334455667788ULL);
	void *c = blob_nest_start(&m.b, 1);
	blob_put_u32(&m.b, 6, 0xdeadbeef);
	blob_nest_end(&m.b, c);
	EXPECT_EQ(bytes_of(m.b), hex("00 00 00 34 03 00 00 07 68 69 00 00 04 00 00 05"
				     "7f 00 00 00 05 00 00 06 12 34 00 00 07 00 00 0c"
				     "11 22 33 44 55 66 77 88 01 00 00 0c 06 00 00 08"
				     "de ad be ef"));
}

TEST(BlobEncoding, BlobmsgVectors)
{
	{
		Buf m;
		EXPECT_EQ(bytes_of(m.b), hex("00 00 00 04"));
		blobmsg_add_string(&m.b, "cmd", "AT");
		blobmsg_add_u32(&m.b, "wait", 3000);
		blobmsg_add_u32(&m.b, "block", 0);
		EXPECT_EQ(m.b.buflen, 256);
		EXPECT_EQ(bytes_of(m.b), hex("00 00 00 34 83 00 00 0f 00 03 63 6d 64 00 00 00"
					     "41 54 00 00 85 00 00 10 00 04 77 61 69 74 00 00"
					     "00 00 0b b8 85 00 00 10 00 05 62 6c 6f 63 6b 00"
					     "00 00 00 00"));
	}
	{
		blob_buf b{};
		blobmsg_buf_init(&b);
		blobmsg_add_string(&b, "cmd", "AT");
		EXPECT_EQ(reinterpret_cast<uint8_t *>(b.head)[0], 0x02);
		EXPECT_EQ(blobmsg_data(b.head), blob_data(b.head));
		blob_buf_free(&b);
	}
	{
		Buf m;
		build_a(&m.b, false);
		EXPECT_EQ(bytes_of(m.b), hex("00 00 00 90 83 00 00 1c 00 04 6e 61 6d 65 00 00"
					     "72 61 76 65 6c 5f 74 6f 6f 6c 73 5f 63 70 65 00"
					     "85 00 00 10 00 04 74 79 70 65 00 00 00 00 00 02"
					     "82 00 00 60 00 09 70 61 72 61 6d 65 74 65 72 00"
					     "83 00 00 14 00 07 63 68 61 6e 6e 65 6c 00 00 00"
					     "63 70 65 00 83 00 00 1c 00 06 73 65 72 76 65 72"
					     "00 00 00 00 31 39 32 2e 31 36 38 2e 31 2e 31 00"
					     "85 00 00 10 00 04 70 6f 72 74 00 00 00 00 13 88"
					     "83 00 00 10 00 05 70 72 6f 74 6f 00 74 63 70 00"));
	}
	{
		Buf m;
		build_a(&m.b, true);
		EXPECT_EQ(bytes_of(m.b), hex("00 00 00 40 83 00 00 1c 00 04 6e 61 6d 65 00 00"
					     "72 61 76 65 6c 5f 74 6f 6f 6c 73 5f 63 70 65 00"
					     "85 00 00 10 00 04 74 79 70 65 00 00 00 00 00 02"
					     "82 00 00 10 00 09 70 61 72 61 6d 65 74 65 72 00"));
	}
}

TEST(BlobEncoding, IntegerBoolDoubleWidths)
{
	Buf m;
	blob_buf *b = &m.b;
	blobmsg_add_u8(b, "b1", 1);
	blobmsg_add_u8(b, "b0", 0);
	blobmsg_add_u8(b, "u8_5", 5);
	blobmsg_add_u16(b, "u16", 65535);
	blobmsg_add_u32(b, "u32big", 4000000000U);
	blobmsg_add_u32(b, "neg", static_cast<uint32_t>(-7));
	blobmsg_add_u64(b, "u64", 0x0102030405060708ULL);
	blobmsg_add_u64(b, "u64max", ~0ULL);
	blobmsg_add_double(b, "dbl", 3.14159265);
	blobmsg_add_double(b, "dblbig", 1e20);
	blobmsg_add_double(b, "dblsmall", 1.5e-9);
	EXPECT_EQ(bytes_of(m.b), hex("00 00 00 d8 87 00 00 0d 00 02 62 31 00 00 00 00"
				     "01 00 00 00 87 00 00 0d 00 02 62 30 00 00 00 00"
				     "00 00 00 00 87 00 00 0d 00 04 75 38 5f 35 00 00"
				     "05 00 00 00 86 00 00 0e 00 03 75 31 36 00 00 00"
				     "ff ff 00 00 85 00 00 14 00 06 75 33 32 62 69 67"
				     "00 00 00 00 ee 6b 28 00 85 00 00 10 00 03 6e 65"
				     "67 00 00 00 ff ff ff f9 84 00 00 14 00 03 75 36"
				     "34 00 00 00 01 02 03 04 05 06 07 08 84 00 00 18"
				     "00 06 75 36 34 6d 61 78 00 00 00 00 ff ff ff ff"
				     "ff ff ff ff 88 00 00 14 00 03 64 62 6c 00 00 00"
				     "40 09 21 fb 53 c8 d4 f1 88 00 00 18 00 06 64 62"
				     "6c 62 69 67 00 00 00 00 44 15 af 1d 78 b5 8c 40"
				     "88 00 00 18 00 08 64 62 6c 73 6d 61 6c 6c 00 00"
				     "3e 19 c5 11 dc 3a 41 df"));

	// Readers: byte order, widening, and the probe of u32 on a bool.
	struct blob_attr *pos;
	size_t rem;
	std::vector<blob_attr *> f;
	blobmsg_for_each_attr (pos, m.b.head, rem)
		f.push_back(pos);
	ASSERT_EQ(f.size(), 11u);
	EXPECT_EQ(blobmsg_get_u32(f[0]), 16777216u);
	EXPECT_TRUE(blobmsg_get_bool(f[0]));
	EXPECT_EQ(blobmsg_get_u16(f[3]), 65535);
	EXPECT_EQ(blobmsg_cast_s64(f[3]), -1);
	EXPECT_EQ(blobmsg_cast_u64(f[3]), 65535u);
	EXPECT_EQ(blobmsg_cast_s64(f[5]), -7);
	EXPECT_EQ(blobmsg_get_u64(f[6]), 0x0102030405060708ULL);
	EXPECT_DOUBLE_EQ(blobmsg_get_double(f[8]), 3.14159265);
	EXPECT_EQ(blobmsg_cast_u64(f[8]), 0u);
	EXPECT_STREQ(blobmsg_name(f[2]), "u8_5");
}

TEST(BlobEncoding, ArraysAndNesting)
{
	Buf m;
	blob_buf *b = &m.b;
	void *arr = blobmsg_open_array(b, "arr");
	blobmsg_add_string(b, nullptr, "x");
	blobmsg_add_u32(b, "ignoredname", 1);
	void *t = blobmsg_open_table(b, nullptr);
	blobmsg_add_string(b, "k", "v");
	blobmsg_close_table(b, t);
	void *a2 = blobmsg_open_array(b, nullptr);
	blobmsg_close_array(b, a2);
	blobmsg_close_array(b, arr);
	void *tbl = blobmsg_open_table(b, "tbl");
	blobmsg_add_u8(b, "flag", 1);
	void *deep = blobmsg_open_table(b, "deep");
	blobmsg_add_u32(b, "n", 42);
	blobmsg_close_table(b, deep);
	blobmsg_close_table(b, tbl);
	void *e = blobmsg_open_array(b, "empty");
	blobmsg_close_array(b, e);
	EXPECT_EQ(bytes_of(m.b), hex("00 00 00 90 81 00 00 4c 00 03 61 72 72 00 00 00"
				     "83 00 00 0a 00 00 00 00 78 00 00 00 85 00 00 18"
				     "00 0b 69 67 6e 6f 72 65 64 6e 61 6d 65 00 00 00"
				     "00 00 00 01 82 00 00 14 00 00 00 00 83 00 00 0a"
				     "00 01 6b 00 76 00 00 00 81 00 00 08 00 00 00 00"
				     "82 00 00 34 00 03 74 62 6c 00 00 00 87 00 00 0d"
				     "00 04 66 6c 61 67 00 00 01 00 00 00 82 00 00 18"
				     "00 04 64 65 65 70 00 00 85 00 00 0c 00 01 6e 00"
				     "00 00 00 2a 81 00 00 0c 00 05 65 6d 70 74 79 00"));
}

TEST(BlobEncoding, HeaderLengths)
{
	EXPECT_EQ(blobmsg_hdrlen(0), 4);
	EXPECT_EQ(blobmsg_hdrlen(3), 8);
	EXPECT_EQ(blobmsg_hdrlen(5), 8);
	EXPECT_EQ(blobmsg_hdrlen(6), 12);
	EXPECT_EQ(blobmsg_hdrlen(9), 12);
	EXPECT_EQ(blobmsg_hdrlen(299), 304);
}

TEST(BlobBuffer, GrowthReinitAndFree)
{
	blob_buf b{};
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	EXPECT_EQ(b.buflen, 256);
	std::vector<int> lens;
	for (size_t n : {200, 50, 300, 1000, 5000}) {
		std::string s(n, 'x');
		ASSERT_NE(blob_put_string(&b, 3, s.c_str()), nullptr);
		lens.push_back(b.buflen);
	}
	EXPECT_EQ(lens, (std::vector<int>{256, 512, 768, 1792, 6656}));
	// Re-init keeps the storage and writes an empty head.
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	EXPECT_EQ(b.buflen, 6656);
	EXPECT_EQ(blob_raw_len(b.head), 4u);
	blob_buf_free(&b);
	EXPECT_EQ(b.buf, nullptr);
	EXPECT_EQ(b.head, nullptr);
	EXPECT_EQ(b.buflen, 0);
	blob_buf_free(&b);
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	blob_buf_free(&b);
}

TEST(BlobBuffer, SizeCeiling)
{
	blob_buf b{};
	blob_buf_init(&b, 0);
	std::string big(17u << 20, 'y');
	EXPECT_EQ(blobmsg_add_string(&b, "s", big.c_str()), -1);
	EXPECT_EQ(blob_raw_len(b.head), 4u);
	big.resize((16u << 20) - 64);
	EXPECT_EQ(blobmsg_add_string(&b, "s", big.c_str()), 0);
	// Nothing more fits in the 24-bit head length.
	EXPECT_EQ(blobmsg_add_string(&b, "t", std::string(100, 'z').c_str()), -1);
	EXPECT_EQ(blob_len(b.head), blob_pad_len(reinterpret_cast<blob_attr *>(blob_data(b.head))));
	blob_buf_free(&b);
}

TEST(BlobBuffer, RefusingGrowLeavesBufferIntact)
{
	alignas(4) static uint8_t storage[64];
	blob_buf b{};
	b.buf = storage;
	b.buflen = sizeof(storage);
	b.grow = [](blob_buf *, int) { return false; };
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	EXPECT_EQ(blobmsg_add_string(&b, "cmd", "AT"), 0);
	Bytes before = bytes_of(b);
	EXPECT_EQ(blobmsg_add_string(&b, "long", std::string(60, 'q').c_str()), -1);
	EXPECT_EQ(blobmsg_open_table(&b, std::string(70, 'n').c_str()), nullptr);
	EXPECT_EQ(bytes_of(b), before);

	blob_buf z{};
	z.grow = [](blob_buf *, int) { return false; };
	EXPECT_EQ(blob_buf_init(&z, 0), -ENOMEM);
}

TEST(BlobBuffer, NestsSurviveGrowthAndReuseIsZeroPadded)
{
	blob_buf b{};
	blob_buf_init(&b, 0);
	std::string filler(1000, 'f');
	void *c1 = blobmsg_open_table(&b, "outer");
	void *c2 = blobmsg_open_array(&b, "inner");
	blobmsg_add_string(&b, nullptr, filler.c_str()); // moves the storage
	blobmsg_close_array(&b, c2);
	blobmsg_close_table(&b, c1);
	EXPECT_NE(c1, nullptr);
	blob_attr *outer = reinterpret_cast<blob_attr *>(blob_data(b.head));
	EXPECT_EQ(blob_pad_len(outer), blob_len(b.head));
	EXPECT_EQ(blobmsg_check_array(outer, BLOBMSG_TYPE_ARRAY), 1);

	// Re-using a dirty buffer still yields the same bytes as a fresh one.
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "cmd", "AT");
	blobmsg_add_field(&b, BLOBMSG_TYPE_UNSPEC, "n", nullptr, 3);
	Buf fresh;
	blobmsg_add_string(&fresh.b, "cmd", "AT");
	blobmsg_add_field(&fresh.b, BLOBMSG_TYPE_UNSPEC, "n", nullptr, 3);
	EXPECT_EQ(bytes_of(b), bytes_of(fresh.b));
	blob_buf_free(&b);
}

TEST(BlobBuffer, RawPutEqualAndDup)
{
	Buf a, c;
	blobmsg_add_string(&a.b, "cmd", "AT");
	blob_attr *first = reinterpret_cast<blob_attr *>(blob_data(a.b.head));
	EXPECT_EQ(blob_put_raw(&c.b, first, 3), nullptr);
	EXPECT_EQ(blob_put_raw(&c.b, nullptr, 8), nullptr);
	ASSERT_NE(blob_put_raw(&c.b, blob_data(a.b.head), unsigned(blob_len(a.b.head))), nullptr);
	EXPECT_TRUE(blob_attr_equal(a.b.head, c.b.head));
	blob_attr *dup = blob_memdup(a.b.head);
	EXPECT_TRUE(blob_attr_equal(dup, a.b.head));
	free(dup);
	EXPECT_TRUE(blob_attr_equal(nullptr, nullptr));
	EXPECT_FALSE(blob_attr_equal(a.b.head, nullptr));
}

TEST(BlobParse, PlainBlobLastDuplicateWins)
{
	Buf m;
	blob_put_u32(&m.b, 1, 111);
	blob_put_u32(&m.b, 1, 222);
	blob_put_string(&m.b, 2, "x");
	blob_put_u32(&m.b, 9, 5);
	static const blob_attr_info info[3] = {
		{}, {BLOB_ATTR_INT32, 0, 0, nullptr}, {BLOB_ATTR_INT32, 0, 0, nullptr}};
	blob_attr *tb[3];
	EXPECT_EQ(blob_parse(m.b.head, tb, info, 3), 1);
	ASSERT_NE(tb[1], nullptr);
	EXPECT_EQ(blob_get_u32(tb[1]), 222u);
	EXPECT_EQ(tb[2], nullptr);
	EXPECT_TRUE(blob_check_type("a", 2, BLOB_ATTR_STRING));
	EXPECT_FALSE(blob_check_type("ab", 2, BLOB_ATTR_STRING));
	EXPECT_FALSE(blob_check_type("abcd", 4, BLOB_ATTR_LAST));
}

TEST(BlobParse, WalkStopsAtMalformedLengths)
{
	// Raw length 2 (below a header) and a length running past the region.
	for (const char *h : {"00 00 00 0c 03 00 00 02 00 00 00 00", "00 00 00 0c 03 00 00 40 61 00 00 00"}) {
		Bytes bytes = hex(h);
		auto *head = reinterpret_cast<blob_attr *>(bytes.data());
		blob_attr *pos;
		size_t rem;
		int n = 0;
		blob_for_each_attr (pos, head, rem)
			n++;
		EXPECT_EQ(n, 0) << h;
		blobmsg_for_each_attr (pos, head, rem)
			n++;
		EXPECT_EQ(n, 0) << h;
	}
	blob_attr *none = nullptr, *pos;
	size_t rem;
	int n = 0;
	blobmsg_for_each_attr (pos, none, rem)
		n++;
	EXPECT_EQ(n, 0);
}

namespace {

enum { P_CMD, P_WAIT, P_ANY, P_NUM, P_PARAM, P_NULL, P_CMD_ANY, P_BLOCK, P__MAX };
const blobmsg_policy probe_policy[P__MAX] = {
	{"cmd", BLOBMSG_TYPE_STRING}, {"wait", BLOBMSG_TYPE_INT32},      {"any", BLOBMSG_TYPE_UNSPEC},
	{"num", BLOBMSG_CAST_INT64},  {"parameter", BLOBMSG_TYPE_TABLE}, {nullptr, BLOBMSG_TYPE_STRING},
	{"cmd", BLOBMSG_TYPE_UNSPEC}, {"block", BLOBMSG_TYPE_INT32},
};

} // namespace

TEST(BlobParse, PolicyDuplicatesMismatchesAndUnknowns)
{
	Buf m;
	blob_buf *b = &m.b;
	blob_put_u32(b, 5, 77); // plain attribute: skipped
	blobmsg_add_string(b, "cmd", "FIRST");
	blobmsg_add_string(b, "wait", "notanint");
	blobmsg_add_u32(b, "wait", 1234);
	blobmsg_add_string(b, "cmd", "SECOND");
	blobmsg_add_u32(b, "unknown", 1);
	blobmsg_add_u8(b, "any", 1);
	blobmsg_add_u16(b, "num", 7);
	blobmsg_add_u32(b, "block", 9);
	blobmsg_add_u32(b, "block", 10);
	blobmsg_add_string(b, "", "noname");

	blob_attr *tb[P__MAX];
	ASSERT_EQ(blobmsg_parse(probe_policy, P__MAX, tb, blob_data(b->head), unsigned(blob_len(b->head))),
		  0);
	ASSERT_NE(tb[P_CMD], nullptr);
	EXPECT_STREQ(blobmsg_get_string(tb[P_CMD]), "FIRST");
	ASSERT_NE(tb[P_WAIT], nullptr);
	EXPECT_EQ(blobmsg_get_u32(tb[P_WAIT]), 1234u);
	ASSERT_NE(tb[P_ANY], nullptr);
	EXPECT_EQ(blobmsg_type(tb[P_ANY]), BLOBMSG_TYPE_INT8);
	ASSERT_NE(tb[P_NUM], nullptr);
	EXPECT_EQ(blobmsg_cast_u64(tb[P_NUM]), 7u);
	EXPECT_EQ(tb[P_PARAM], nullptr);
	EXPECT_EQ(tb[P_NULL], nullptr);
	EXPECT_EQ(tb[P_CMD_ANY], tb[P_CMD]);
	ASSERT_NE(tb[P_BLOCK], nullptr);
	EXPECT_EQ(blobmsg_get_u32(tb[P_BLOCK]), 9u);

	// Every typed slot stays empty when only the types differ.
	Buf w;
	blobmsg_add_string(&w.b, "num", "5");
	blobmsg_add_u64(&w.b, "wait", 1);
	blobmsg_add_u32(&w.b, "cmd", 1);
	ASSERT_EQ(blobmsg_parse(probe_policy, P__MAX, tb, blob_data(w.b.head), unsigned(blob_len(w.b.head))),
		  0);
	for (int i = 0; i < P__MAX; i++)
		EXPECT_EQ(tb[i] != nullptr, i == P_CMD_ANY) << i;
	EXPECT_EQ(blobmsg_get_string(nullptr), nullptr);
}

TEST(BlobParse, EmptyTruncatedAndMalformed)
{
	blob_attr *tb[P__MAX];
	Buf empty;
	std::fill(std::begin(tb), std::end(tb), reinterpret_cast<blob_attr *>(1));
	EXPECT_EQ(blobmsg_parse(probe_policy, P__MAX, tb, blob_data(empty.b.head), 0), -EINVAL);
	for (auto *t : tb)
		EXPECT_EQ(t, nullptr);
	EXPECT_EQ(blobmsg_parse(probe_policy, P__MAX, tb, nullptr, 8), -EINVAL);

	Buf m;
	blobmsg_add_string(&m.b, "cmd", "AT");
	blobmsg_add_u32(&m.b, "wait", 3000);
	unsigned len = unsigned(blob_len(m.b.head));
	EXPECT_EQ(blobmsg_parse(probe_policy, P__MAX, tb, blob_data(m.b.head), len - 4), 0);
	EXPECT_NE(tb[P_CMD], nullptr);
	EXPECT_EQ(tb[P_WAIT], nullptr);
	EXPECT_EQ(blobmsg_parse(probe_policy, P__MAX, tb, blob_data(m.b.head), 3), 0);
	EXPECT_EQ(tb[P_CMD], nullptr);

	// A 2-byte INT32 in the second field: -1, with the first slot kept.
	Buf bad;
	blobmsg_add_string(&bad.b, "cmd", "AT");
	uint16_t two = 0;
	blobmsg_add_field(&bad.b, BLOBMSG_TYPE_INT32, "wait", &two, 2);
	EXPECT_EQ(blobmsg_parse(probe_policy, P__MAX, tb, blob_data(bad.b.head),
				unsigned(blob_len(bad.b.head))),
		  -1);
	EXPECT_NE(tb[P_CMD], nullptr);

	// Unterminated string.
	Buf unterminated;
	blobmsg_add_field(&unterminated.b, BLOBMSG_TYPE_STRING, "cmd", "ATX", 3);
	EXPECT_EQ(blobmsg_parse(probe_policy, P__MAX, tb, blob_data(unterminated.b.head),
				unsigned(blob_len(unterminated.b.head))),
		  -1);
}

// How a walk ends decides the result: a zero length or one past the end stops
// quietly, a length below the header size is an error.
TEST(BlobParse, WalkEndsAsTheRouterLibraryDoes)
{
	static const blobmsg_policy pol[] = {{"cmd", BLOBMSG_TYPE_STRING}, {"wait", BLOBMSG_TYPE_INT32}};
	const char *cmd = "83 00 00 0e 00 03 63 6d 64 00 00 00 41 00 00 00 "; // "cmd": "A"
	const char *wait = "85 00 00 10 00 04 77 61 69 74 00 00 00 00 00 07 ";
	struct Case {
		std::string bytes;
		int parse, parse_array;
		bool cmd_found, wait_found;
	} cases[] = {
		{std::string(cmd) + "83 00 00 02 00 00 00 00", -1, 0, true, false},
		{std::string(cmd) + "00 00 00 00 " + wait, 0, 0, true, false},
		{std::string(cmd) + "83 00 00 40 00 00 00 00", 0, 0, true, false},
		{std::string(cmd) + "61 62 63", 0, 0, true, false},
		// A two-byte INT8 named "zz": parse refuses it; parse_array steps over
		// it because slot 1 asks for an INT32.
		{std::string(cmd) + "87 00 00 0e 00 02 7a 7a 00 00 00 00 01 02 00 00 " + wait, -1, 0, true,
		 true},
		// Too short for a header, of a type slot 1 does not take: stepped over.
		{std::string(cmd) + "87 00 00 03 " + wait, -1, 0, true, true},
	};
	for (const Case &c : cases) {
		Bytes b = hex(c.bytes.c_str());
		blob_attr *tb[2];
		EXPECT_EQ(blobmsg_parse(pol, 2, tb, b.data(), unsigned(b.size())), c.parse) << c.bytes;
		EXPECT_NE(tb[0], nullptr) << c.bytes;
		EXPECT_EQ(blobmsg_parse_array(pol, 2, tb, b.data(), unsigned(b.size())), c.parse_array)
			<< c.bytes;
		EXPECT_EQ(tb[0] != nullptr, c.cmd_found) << c.bytes;
		EXPECT_EQ(tb[1] != nullptr, c.wait_found) << c.bytes;
	}
	blob_attr *tb[2];
	Bytes one = hex(cmd);
	EXPECT_EQ(blobmsg_parse_array(pol, 2, tb, one.data(), 0), 0);

	// An array whose second entry is too short for a header is not an array;
	// no type past the last one counts entries.
	Bytes arr = hex("01 00 00 10 03 00 00 06 41 00 00 00 03 00 00 02");
	auto *a = reinterpret_cast<blob_attr *>(arr.data());
	EXPECT_EQ(blobmsg_check_array(a, BLOBMSG_TYPE_STRING), -1);
	Bytes good = hex("01 00 00 0c 03 00 00 06 41 00 00 00");
	a = reinterpret_cast<blob_attr *>(good.data());
	EXPECT_EQ(blobmsg_check_array(a, BLOBMSG_TYPE_STRING), 1);
	EXPECT_EQ(blobmsg_check_array(a, BLOBMSG_TYPE_LAST + 1), -1);
}

TEST(BlobParse, NestedTableAndPositionalArray)
{
	Buf m;
	build_a(&m.b, false);
	static const blobmsg_policy top[] = {{"parameter", BLOBMSG_TYPE_TABLE}};
	static const blobmsg_policy inner[] = {{"port", BLOBMSG_TYPE_INT32}, {"proto", BLOBMSG_TYPE_STRING}};
	blob_attr *t1[1], *t2[2];
	ASSERT_EQ(blobmsg_parse(top, 1, t1, blob_data(m.b.head), unsigned(blob_len(m.b.head))), 0);
	ASSERT_NE(t1[0], nullptr);
	ASSERT_EQ(blobmsg_parse_attr(inner, 2, t2, t1[0]), 0);
	EXPECT_EQ(blobmsg_get_u32(t2[0]), 5000u);
	EXPECT_STREQ(blobmsg_get_string(t2[1]), "tcp");

	Buf a;
	void *c = blobmsg_open_array(&a.b, "a");
	blobmsg_add_u32(&a.b, nullptr, 1);
	blobmsg_add_u32(&a.b, nullptr, 2);
	blobmsg_add_string(&a.b, nullptr, "x");
	blobmsg_add_u32(&a.b, nullptr, 3);
	blobmsg_close_array(&a.b, c);
	blob_attr *arr = reinterpret_cast<blob_attr *>(blob_data(a.b.head));
	static const blobmsg_policy pos[] = {
		{nullptr, BLOBMSG_TYPE_INT32}, {nullptr, BLOBMSG_TYPE_STRING}, {nullptr, BLOBMSG_TYPE_INT32}};
	blob_attr *tb[3];
	ASSERT_EQ(blobmsg_parse_array(pos, 3, tb, blobmsg_data(arr), unsigned(blobmsg_data_len(arr))), 0);
	EXPECT_EQ(blobmsg_get_u32(tb[0]), 1u);
	EXPECT_STREQ(blobmsg_get_string(tb[1]), "x");
	EXPECT_EQ(blobmsg_get_u32(tb[2]), 3u);
	EXPECT_EQ(blobmsg_check_array(arr, BLOBMSG_TYPE_UNSPEC), 4);
	EXPECT_EQ(blobmsg_check_array(arr, BLOBMSG_TYPE_INT32), -1);
	EXPECT_FALSE(blobmsg_check_attr_list(arr, BLOBMSG_TYPE_STRING));
}

TEST(BlobCheck, AttributeRules)
{
	Buf m;
	blob_buf *b = &m.b;
	blobmsg_add_string(b, "named", "v");
	blobmsg_add_string(b, nullptr, "v");
	blob_put_u32(b, BLOBMSG_TYPE_INT32, 1); // plain, not extended
	blobmsg_add_field(b, 99, "id99", "", 1);
	uint16_t two = 0;
	blobmsg_add_field(b, BLOBMSG_TYPE_INT32, "short", &two, 2);
	char twelve[12] = {};
	blobmsg_add_field(b, BLOBMSG_TYPE_DOUBLE, "dbl12", twelve, 12);
	blobmsg_add_field(b, BLOBMSG_TYPE_STRING, "emb", "a\0b", 4);
	blobmsg_add_field(b, BLOBMSG_TYPE_STRING, "zero", nullptr, 0);
	struct Row {
		bool no_name, with_name;
	};
	const Row expect[] = {{true, true},   {true, false}, {true, false}, {false, false},
			      {false, false}, {true, true},  {true, true},  {false, false}};
	blob_attr *pos;
	size_t rem;
	size_t i = 0;
	blobmsg_for_each_attr (pos, b->head, rem) {
		ASSERT_LT(i, std::size(expect));
		EXPECT_EQ(blobmsg_check_attr(pos, false), expect[i].no_name) << i;
		EXPECT_EQ(blobmsg_check_attr(pos, true), expect[i].with_name) << i;
		i++;
	}
	EXPECT_EQ(i, std::size(expect));
}

TEST(BlobCheck, HostileHeaders)
{
	struct Case {
		const char *bytes;
		size_t len;
		bool ok;
	};
	const Case cases[] = {
		{"83 00 00 0c 00 03 63 6d 64 00 00 00", 12, false},             // name header but no value
		{"83 00 00 06 00 03", 6, false},                                // name longer than payload
		{"83 00 00 0c 00 03 63 6d 64 41 00 00", 12, false},             // name not NUL-terminated
		{"83 00 00 10 ff ff 63 6d 64 00 00 00 41 00 00 00", 16, false}, // huge namelen
		{"83 00 00 0a 00 00 00 00 41 00 00 00", 12, true},
		{"83 00 00 0a 00 00 00 00 41 00 00 00", 8, false}, // longer than the region
		{"83 00 00 02", 4, false},                         // below a header
	};
	for (const auto &c : cases) {
		Bytes bytes = hex(c.bytes);
		bytes.resize(16);
		auto *a = reinterpret_cast<blob_attr *>(bytes.data());
		EXPECT_EQ(blobmsg_check_attr_len(a, false, c.len), c.ok) << c.bytes;
	}
	// A name header claiming more than the payload gives an empty value.
	Bytes lie = hex("83 00 00 06 00 09 00 00");
	auto *a = reinterpret_cast<blob_attr *>(lie.data());
	EXPECT_EQ(blobmsg_data_len(a), 0u);
}

TEST(BlobBuilding, PrintfAndStringBuffer)
{
	Buf m;
	EXPECT_EQ(blobmsg_printf(&m.b, "p", "%d-%s", 42, "x"), 4);
	char *s = static_cast<char *>(blobmsg_alloc_string_buffer(&m.b, "sb", 4));
	ASSERT_NE(s, nullptr);
	s = static_cast<char *>(blobmsg_realloc_string_buffer(&m.b, 2000));
	ASSERT_NE(s, nullptr);
	memset(s, 'a', 1500);
	s[1500] = 0;
	blobmsg_add_string_buffer(&m.b);
	blobmsg_add_u32(&m.b, "after", 1);
	static const blobmsg_policy pol[] = {
		{"p", BLOBMSG_TYPE_STRING}, {"sb", BLOBMSG_TYPE_STRING}, {"after", BLOBMSG_TYPE_INT32}};
	blob_attr *tb[3];
	ASSERT_EQ(blobmsg_parse(pol, 3, tb, blob_data(m.b.head), unsigned(blob_len(m.b.head))), 0);
	EXPECT_STREQ(blobmsg_get_string(tb[0]), "42-x");
	ASSERT_NE(tb[1], nullptr);
	EXPECT_EQ(strlen(blobmsg_get_string(tb[1])), 1500u);
	EXPECT_EQ(blobmsg_data_len(tb[1]), 1501u);
	ASSERT_NE(tb[2], nullptr);

	// A buffer of n characters takes n characters and the terminating NUL.
	Buf f;
	strcpy(static_cast<char *>(blobmsg_alloc_string_buffer(&f.b, "s", 3)), "abc");
	blobmsg_add_string_buffer(&f.b);
	s = static_cast<char *>(blobmsg_alloc_string_buffer(&f.b, "t", 1));
	s = static_cast<char *>(blobmsg_realloc_string_buffer(&f.b, 6));
	memcpy(s, "123456", 6); // filled to the end, NUL left to add_string_buffer
	blobmsg_add_string_buffer(&f.b);
	EXPECT_EQ(bytes_of(f.b), hex("00 00 00 20 83 00 00 0c 00 01 73 00 61 62 63 00"
				     "83 00 00 0f 00 01 74 00 31 32 33 34 35 36 00 00"));
}

TEST(BlobBuilding, OverlongNameIsRefused)
{
	Buf m;
	std::string name(70000, 'n');
	EXPECT_EQ(blobmsg_add_string(&m.b, name.c_str(), "v"), -1);
	EXPECT_EQ(blobmsg_open_table(&m.b, name.c_str()), nullptr);
	EXPECT_EQ(blob_raw_len(m.b.head), 4u);
}

TEST(Headers, UsableFromC)
{
	Buf m;
	EXPECT_STREQ(ubox_c_roundtrip(&m.b), "AT");
}
