// SPDX-License-Identifier: ISC
// JSON import through json-c and the exact text of the formatter.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg_json.h>
}

namespace {

struct Buf {
	blob_buf b{};
	Buf() { blob_buf_init(&b, 0); }
	~Buf() { blob_buf_free(&b); }
};

std::string take(char *s)
{
	if (!s)
		return "<NULL>";
	std::string r(s);
	free(s);
	return r;
}

std::string compact(blob_attr *a)
{
	return take(blobmsg_format_json(a, true));
}
std::string indented(blob_attr *a, int level = 0)
{
	return take(blobmsg_format_json_indent(a, true, level));
}

std::vector<blob_attr *> fields(blob_attr *container)
{
	std::vector<blob_attr *> out;
	blob_attr *pos;
	size_t rem;
	blobmsg_for_each_attr (pos, container, rem)
		out.push_back(pos);
	return out;
}

void build_a(blob_buf *b, bool empty_parameter)
{
	blobmsg_add_string(b, "name", "ravel_tools_cpe");
	blobmsg_add_u32(b, "type", 2);
	void *c = blobmsg_open_table(b, "parameter");
	if (!empty_parameter) {
		blobmsg_add_string(b, "channel", "cpe");
		blobmsg_add_string(b, "server", "192.168.1.1");
		blobmsg_add_u32(b, "port", 5000);
		blobmsg_add_string(b, "proto", "tcp");
	}
	blobmsg_close_table(b, c);
}

void build_nesting(blob_buf *b)
{
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
}

} // namespace

TEST(JsonOut, MessageVectors)
{
	Buf a;
	build_a(&a.b, false);
	EXPECT_EQ(indented(a.b.head),
		  "{\n\t\"name\": \"ravel_tools_cpe\",\n\t\"type\": 2,\n\t\"parameter\": {\n\t\t\"channel\": "
		  "\"cpe\",\n\t\t"
		  "\"server\": \"192.168.1.1\",\n\t\t\"port\": 5000,\n\t\t\"proto\": \"tcp\"\n\t}\n}");
	EXPECT_EQ(take(blobmsg_format_json_with_cb(a.b.head, true, nullptr, nullptr, 0)), indented(a.b.head));
	EXPECT_EQ(compact(a.b.head),
		  "{\"name\":\"ravel_tools_cpe\",\"type\":2,\"parameter\":{\"channel\":\"cpe\",\"server\":"
		  "\"192.168.1.1\",\"port\":5000,\"proto\":\"tcp\"}}");
	std::string l1 = indented(a.b.head, 1);
	EXPECT_EQ(l1, "{\n\t\t\"name\": \"ravel_tools_cpe\",\n\t\t\"type\": 2,\n\t\t\"parameter\": "
		      "{\n\t\t\t\"channel\": "
		      "\"cpe\",\n\t\t\t\"server\": \"192.168.1.1\",\n\t\t\t\"port\": 5000,\n\t\t\t\"proto\": "
		      "\"tcp\"\n\t\t}\n\t}");
	EXPECT_EQ(indented(a.b.head, 2).size(), 160u);
	EXPECT_EQ(take(blobmsg_format_json(a.b.head, false)), "null");
	EXPECT_EQ(take(blobmsg_format_json_indent(a.b.head, false, 0)), "null");

	Buf b;
	build_a(&b.b, true);
	EXPECT_EQ(indented(b.b.head),
		  "{\n\t\"name\": \"ravel_tools_cpe\",\n\t\"type\": 2,\n\t\"parameter\": {\n\t\t\n\t}\n}");
	EXPECT_EQ(compact(b.b.head), "{\"name\":\"ravel_tools_cpe\",\"type\":2,\"parameter\":{}}");

	Buf d;
	EXPECT_EQ(compact(d.b.head), "{}");
	EXPECT_EQ(indented(d.b.head), "{\n\t\n}");
	EXPECT_EQ(take(blobmsg_format_json(d.b.head, false)), "null");
	blobmsg_add_string(&d.b, "cmd", "AT");
	blobmsg_add_u32(&d.b, "wait", 3000);
	blobmsg_add_u32(&d.b, "block", 0);
	EXPECT_EQ(compact(d.b.head), "{\"cmd\":\"AT\",\"wait\":3000,\"block\":0}");
	EXPECT_EQ(indented(d.b.head), "{\n\t\"cmd\": \"AT\",\n\t\"wait\": 3000,\n\t\"block\": 0\n}");

	// A head initialised with id ARRAY is still an object in list mode.
	blob_buf arr{};
	blob_buf_init(&arr, BLOBMSG_TYPE_ARRAY);
	blobmsg_add_string(&arr, "cmd", "AT");
	blobmsg_add_u8(&arr, nullptr, 1);
	EXPECT_EQ(compact(arr.head), "{\"cmd\":\"AT\",true}");
	blob_buf_free(&arr);
	blob_buf tbl{};
	blobmsg_buf_init(&tbl);
	blobmsg_add_u32(&tbl, "n", 1);
	EXPECT_EQ(take(blobmsg_format_json(tbl.head, false)), "{\"n\":1}");
	blob_buf_free(&tbl);
}

TEST(JsonOut, TypeRendering)
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
	EXPECT_EQ(compact(b->head),
		  "{\"b1\":true,\"b0\":false,\"u8_5\":true,\"u16\":-1,\"u32big\":-294967296,\"neg\":-7,"
		  "\"u64\":72623859790382856,\"u64max\":-1,\"dbl\":3.141593,"
		  "\"dblbig\":100000000000000000000.000000,\"dblsmall\":0.000000}");
	EXPECT_EQ(indented(b->head),
		  "{\n\t\"b1\": true,\n\t\"b0\": false,\n\t\"u8_5\": true,\n\t\"u16\": -1,\n\t\"u32big\": "
		  "-294967296,\n\t"
		  "\"neg\": -7,\n\t\"u64\": 72623859790382856,\n\t\"u64max\": -1,\n\t\"dbl\": 3.141593,\n\t"
		  "\"dblbig\": 100000000000000000000.000000,\n\t\"dblsmall\": 0.000000\n}");

	Buf x;
	blobmsg_add_u16(&x.b, "a", static_cast<uint16_t>(-300));
	blobmsg_add_u64(&x.b, "b", 0x8000000000000000ULL);
	blobmsg_add_double(&x.b, "c", -0.0);
	blobmsg_add_double(&x.b, "d", NAN);
	blobmsg_add_double(&x.b, "e", -INFINITY);
	blobmsg_add_field(&x.b, BLOBMSG_TYPE_UNSPEC, "bin", "abc", 3);
	EXPECT_EQ(
		compact(x.b.head),
		"{\"a\":-300,\"b\":-9223372036854775808,\"c\":-0.000000,\"d\":nan,\"e\":-inf,\"bin\":null}");
	Buf big;
	blobmsg_add_double(&big.b, nullptr, DBL_MAX);
	EXPECT_EQ(take(blobmsg_format_json_value(fields(big.b.head)[0])).size(), 316u);
}

TEST(JsonOut, NestingAndElementForms)
{
	Buf m;
	build_nesting(&m.b);
	EXPECT_EQ(compact(m.b.head), "{\"arr\":[\"x\",1,{\"k\":\"v\"},[]],\"tbl\":{\"flag\":true,\"deep\":{"
				     "\"n\":42}},\"empty\":[]}");
	EXPECT_EQ(indented(m.b.head), "{\n\t\"arr\": [\n\t\t\"x\",\n\t\t1,\n\t\t{\n\t\t\t\"k\": "
				      "\"v\"\n\t\t},\n\t\t[\n\t\t\t\n\t\t]\n\t],\n\t"
				      "\"tbl\": {\n\t\t\"flag\": true,\n\t\t\"deep\": {\n\t\t\t\"n\": "
				      "42\n\t\t}\n\t},\n\t\"empty\": [\n\t\t\n\t]\n}");
	blob_attr *arr = fields(m.b.head)[0];
	EXPECT_EQ(compact(arr), "[\"x\",1,{\"k\":\"v\"},[]]");
	EXPECT_EQ(take(blobmsg_format_json(arr, false)), "\"arr\":[\"x\",1,{\"k\":\"v\"},[]]");
	EXPECT_EQ(take(blobmsg_format_json_value(arr)), "[\"x\",1,{\"k\":\"v\"},[]]");
	EXPECT_EQ(take(blobmsg_format_json_indent(arr, false, 0)),
		  "\"arr\": [\n\t\"x\",\n\t1,\n\t{\n\t\t\"k\": \"v\"\n\t},\n\t[\n\t\t\n\t]\n]");

	// Tabs stop at 16, for deep nesting and for a high start level.
	Buf deep;
	std::vector<void *> cookies;
	for (int i = 0; i < 18; i++)
		cookies.push_back(blobmsg_open_array(&deep.b, nullptr));
	blobmsg_add_u32(&deep.b, nullptr, 1);
	while (!cookies.empty()) {
		blobmsg_close_array(&deep.b, cookies.back());
		cookies.pop_back();
	}
	std::string out = indented(deep.b.head);
	EXPECT_NE(out.find("\n" + std::string(16, '\t') + "1"), std::string::npos);
	EXPECT_EQ(out.find(std::string(17, '\t')), std::string::npos);
	Buf one;
	blobmsg_add_u32(&one.b, "n", 1);
	EXPECT_EQ(indented(one.b.head, 20),
		  "{\n" + std::string(16, '\t') + "\"n\": 1\n" + std::string(16, '\t') + "}");
}

TEST(JsonOut, InvalidElementsKeepTheirComma)
{
	Buf m;
	blob_buf *b = &m.b;
	blobmsg_add_string(b, "cmd", "AT");
	blobmsg_add_string(b, nullptr, "noname");
	blob_put_u32(b, BLOBMSG_TYPE_INT32, 1);
	blobmsg_add_field(b, 99, "id99", "", 1);
	uint16_t two = 0;
	blobmsg_add_field(b, BLOBMSG_TYPE_INT32, "short", &two, 2);
	blobmsg_add_field(b, BLOBMSG_TYPE_STRING, "emb", "a\0b", 4);
	blobmsg_add_field(b, BLOBMSG_TYPE_STRING, "zero", nullptr, 0);
	EXPECT_EQ(compact(b->head), "{\"cmd\":\"AT\",\"noname\",1,,,\"emb\":\"a\",}");

	Buf e;
	blobmsg_add_u32(&e.b, "", 1);
	blobmsg_add_u32(&e.b, "b", 2);
	EXPECT_EQ(compact(e.b.head), "{1,\"b\":2}");

	// A lone string formatted as a list has no children.
	Buf s;
	blobmsg_add_string(&s.b, "k", "v");
	EXPECT_EQ(compact(fields(s.b.head)[0]), "{}");
	EXPECT_EQ(take(blobmsg_format_json(fields(s.b.head)[0], false)), "\"k\":\"v\"");
}

TEST(JsonOut, StringEscaping)
{
	Buf m;
	std::string ctl;
	for (int c = 1; c < 0x20; c++)
		ctl += char(c);
	blobmsg_add_string(&m.b, "ctl", ctl.c_str());
	blobmsg_add_string(&m.b, "punct", "q\"b\\s/d'<>&");
	blobmsg_add_string(&m.b, "high", "\x7f\x80\xc3\xa9\xff");
	blobmsg_add_string(&m.b, "na\"me\n", "v");
	blobmsg_add_string(&m.b, "empty", "");
	EXPECT_EQ(
		compact(m.b.head),
		"{\"ctl\":"
		"\"\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\u000c\\r\\u000e\\u000f"
		"\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c"
		"\\u001d"
		"\\u001e\\u001f\",\"punct\":\"q\\\"b\\\\s/d'<>&\",\"high\":\"\x7f\x80\xc3\xa9\xff\","
		"\"na\\\"me\\n\":\"v\",\"empty\":\"\"}");
}

TEST(JsonOut, CallbackReplacesValues)
{
	Buf m;
	build_nesting(&m.b);
	struct log_t {
		std::vector<std::string> seen;
	} log;
	auto cb = [](void *priv, blob_attr *attr) -> const char * {
		auto *l = static_cast<log_t *>(priv);
		l->seen.push_back(std::to_string(blobmsg_type(attr)) + blobmsg_name(attr));
		if (blobmsg_type(attr) == BLOBMSG_TYPE_INT32)
			return "\"INT\"";
		if (!strcmp(blobmsg_name(attr), "tbl"))
			return "<T>";
		return nullptr;
	};
	EXPECT_EQ(take(blobmsg_format_json_with_cb(m.b.head, true, cb, &log, -1)),
		  "{\"arr\":[\"x\",\"INT\",{\"k\":\"v\"},[]],\"tbl\":<T>,\"empty\":[]}");
	EXPECT_EQ(log.seen,
		  (std::vector<std::string>{"1arr", "3", "5ignoredname", "2", "3k", "1", "2tbl", "1empty"}));
}

TEST(JsonOut, NullResultsAndHostileNesting)
{
	EXPECT_EQ(blobmsg_format_json(nullptr, true), nullptr);
	// Nothing written for an empty attribute gives NULL; otherwise "".
	uint32_t zero_len_bad = cpu_to_be32(uint32_t(99) << 24 | 4);
	EXPECT_EQ(blobmsg_format_json(reinterpret_cast<blob_attr *>(&zero_len_bad), false), nullptr);
	uint32_t bad_with_payload[2] = {cpu_to_be32(uint32_t(99) << 24 | 8), 0};
	EXPECT_EQ(take(blobmsg_format_json(reinterpret_cast<blob_attr *>(bad_with_payload), false)), "");

	// Deeply nested unnamed arrays: the output stops at a bounded depth.
	const size_t levels = 100000;
	// Each nested array needs a 4-byte name header; make room for them.
	std::vector<uint32_t> msg(levels * 2 + 1, 0);
	msg[0] = cpu_to_be32(uint32_t(levels * 8 + 4));
	for (size_t i = 0; i < levels; i++)
		msg[1 + 2 * i] = cpu_to_be32(BLOB_ATTR_EXTENDED | uint32_t(BLOBMSG_TYPE_ARRAY) << 24 |
					     uint32_t((levels - i) * 8));
	std::string out = compact(reinterpret_cast<blob_attr *>(msg.data()));
	EXPECT_EQ(out.substr(0, 3), "{[[");
	EXPECT_LT(out.size(), 2000u);
}

TEST(JsonIn, ImportVector)
{
	Buf m;
	EXPECT_TRUE(blobmsg_add_json_from_string(&m.b, "{'interface':'cpe','action':5,'available':true}"));
	const uint8_t expect[] = {0x00, 0x00, 0x00, 0x40, 0x83, 0x00, 0x00, 0x14, 0x00, 0x09, 0x69,
				  0x6e, 0x74, 0x65, 0x72, 0x66, 0x61, 0x63, 0x65, 0x00, 0x63, 0x70,
				  0x65, 0x00, 0x85, 0x00, 0x00, 0x14, 0x00, 0x06, 0x61, 0x63, 0x74,
				  0x69, 0x6f, 0x6e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
				  0x87, 0x00, 0x00, 0x11, 0x00, 0x09, 0x61, 0x76, 0x61, 0x69, 0x6c,
				  0x61, 0x62, 0x6c, 0x65, 0x00, 0x01, 0x00, 0x00, 0x00};
	ASSERT_EQ(blob_pad_len(m.b.head), sizeof(expect));
	EXPECT_EQ(memcmp(m.b.head, expect, sizeof(expect)), 0);
	EXPECT_EQ(compact(m.b.head), "{\"interface\":\"cpe\",\"action\":5,\"available\":true}");
	EXPECT_EQ(indented(m.b.head),
		  "{\n\t\"interface\": \"cpe\",\n\t\"action\": 5,\n\t\"available\": true\n}");
}

TEST(JsonIn, RejectedTextsAddNothing)
{
	for (const char *text :
	     {"[1,2,3]", "42", "\"abc\"", "null", "{\"a\":1", "hello", "{a:1}", "", "   ",
	      "\xef\xbb\xbf{\"a\":1}", "{'a':'it\\'s'}", "{\"a\":\"\\q\"}", "{\"a\":0x10}", "{\"a\":+1}"}) {
		Buf m;
		EXPECT_FALSE(blobmsg_add_json_from_string(&m.b, text)) << text;
		EXPECT_EQ(blob_len(m.b.head), 0u) << text;
	}
	Buf m;
	EXPECT_FALSE(blobmsg_add_json_from_string(&m.b, nullptr));
	// json-c's nesting limit: 31 levels parse, far deeper fails.
	auto nested = [](int levels) {
		return "{\"a\":" + std::string(size_t(levels - 1), '[') +
		       std::string(size_t(levels - 1), ']') + "}";
	};
	std::string deep31 = nested(31), deep32 = nested(40);
	EXPECT_TRUE(blobmsg_add_json_from_string(&m.b, deep31.c_str()));
	EXPECT_FALSE(blobmsg_add_json_from_string(&m.b, deep32.c_str()));
}

TEST(JsonIn, ValueMapping)
{
	struct Case {
		const char *in;
		const char *out;
	};
	const Case cases[] = {
		{"{}", "{}"},
		{"{\"m\":[[1,2],[\"x\",[true,null]],[]]}", "{\"m\":[[1,2],[\"x\",[true,null]],[]]}"},
		{"{\"a\":2147483647,\"b\":2147483648,\"c\":-2147483648,\"d\":-2147483649}",
		 "{\"a\":2147483647,\"b\":2147483648,\"c\":-2147483648,\"d\":-2147483649}"},
		{"{\"a\":9223372036854775807,\"b\":9223372036854775808,\"c\":18446744073709551615,\"d\":"
		 "18446744073709551616}",
		 "{\"a\":9223372036854775807,\"b\":9223372036854775807,\"c\":9223372036854775807,\"d\":"
		 "9223372036854775807}"},
		{"{\"a\":-9223372036854775809}", "{\"a\":-9223372036854775808}"},
		{"{\"a\":1.5,\"b\":1e3,\"c\":-0.25,\"d\":1.0,\"e\":5.0,\"f\":1E2}",
		 "{\"a\":1.500000,\"b\":1000.000000,\"c\":-0.250000,\"d\":1.000000,\"e\":5.000000,\"f\":100."
		 "000000}"},
		{"{\"a\":-0}", "{\"a\":0}"},
		{"{\"n\":null}", "{\"n\":null}"},
		{"{\"t\":true,\"f\":false}", "{\"t\":true,\"f\":false}"},
		{"{\"a\":1,/* c */ \"b\":[1,2,],} // tail", "{\"a\":1,\"b\":[1,2]}"},
		{"{\"a\":1} xyz", "{\"a\":1}"},
		{"{\"a\":1}{\"b\":2}", "{\"a\":1}"},
		{"{\"a\":1,\"b\":2,\"a\":3}", "{\"a\":3,\"b\":2}"},
		{"{\"a\":True,\"b\":NULL,\"c\":007}", "{\"a\":true,\"b\":null,\"c\":7}"},
		{"{\"a\":NaN,\"b\":-Infinity}", "{\"a\":nan,\"b\":-inf}"},
		{"{\"q\":\"a\\\"b\\\\c\\/d\\n\\t\\r\\b\\f\"}",
		 "{\"q\":\"a\\\"b\\\\c/d\\n\\t\\r\\b\\u000c\"}"},
		{"{\"s\":\"\\ud83d\\ude00 caf\xc3\xa9\"}", "{\"s\":\"\xf0\x9f\x98\x80 caf\xc3\xa9\"}"},
		{"{\"s\":\"ab\\u0000cd\"}", "{\"s\":\"ab\"}"},
	};
	for (const auto &c : cases) {
		Buf m;
		EXPECT_TRUE(blobmsg_add_json_from_string(&m.b, c.in)) << c.in;
		EXPECT_EQ(compact(m.b.head), c.out) << c.in;
	}

	Buf t;
	ASSERT_TRUE(blobmsg_add_json_from_string(
		&t.b, "{\"a\":2147483647,\"b\":2147483648,\"n\":null,\"s\":\"ab\\u0000cd\"}"));
	auto f = fields(t.b.head);
	ASSERT_EQ(f.size(), 4u);
	EXPECT_EQ(blobmsg_type(f[0]), BLOBMSG_TYPE_INT32);
	EXPECT_EQ(blobmsg_type(f[1]), BLOBMSG_TYPE_INT64);
	EXPECT_EQ(blobmsg_type(f[2]), BLOBMSG_TYPE_UNSPEC);
	EXPECT_EQ(blobmsg_data_len(f[2]), 0u);
	EXPECT_EQ(blobmsg_data_len(f[3]), 3u);
}

TEST(JsonIn, ImportsIntoTheOpenContainer)
{
	Buf m;
	blobmsg_add_string(&m.b, "pre", "x");
	void *c = blobmsg_open_table(&m.b, "inner");
	EXPECT_TRUE(blobmsg_add_json_from_string(&m.b, "{\"a\":1}"));
	blobmsg_close_table(&m.b, c);
	EXPECT_EQ(compact(m.b.head), "{\"pre\":\"x\",\"inner\":{\"a\":1}}");

	Buf o;
	EXPECT_TRUE(blobmsg_add_json_from_string(&o.b, "{\"o\":{\"p\":{\"q\":1}},\"e\":{}}"));
	EXPECT_EQ(indented(o.b.head),
		  "{\n\t\"o\": {\n\t\t\"p\": {\n\t\t\t\"q\": 1\n\t\t}\n\t},\n\t\"e\": {\n\t\t\n\t}\n}");
	Buf n;
	EXPECT_TRUE(blobmsg_add_json_from_string(&n.b, "{\"m\":[[1,2],[\"x\",[true,null]],[]]}"));
	EXPECT_EQ(indented(n.b.head),
		  "{\n\t\"m\": [\n\t\t[\n\t\t\t1,\n\t\t\t2\n\t\t],\n\t\t[\n\t\t\t\"x\",\n\t\t\t[\n"
		  "\t\t\t\ttrue,\n\t\t\t\tnull\n\t\t\t]\n\t\t],\n\t\t[\n\t\t\t\n\t\t]\n\t]\n}");
}

TEST(JsonIn, FullBufferStillReportsSuccess)
{
	alignas(4) static uint8_t storage[64];
	blob_buf b{};
	b.buf = storage;
	b.buflen = sizeof(storage);
	b.grow = [](blob_buf *, int) { return false; };
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	EXPECT_TRUE(blobmsg_add_json_from_string(
		&b, "{\"a\":1,\"long\":\"0123456789012345678901234567890123456789\","
		    "\"t\":{\"x\":[1,2,3,4,5,6,7,8,9,10]}}"));
	EXPECT_EQ(compact(b.head).substr(0, 6), "{\"a\":1");
	EXPECT_LE(blob_pad_len(b.head), sizeof(storage));
}
