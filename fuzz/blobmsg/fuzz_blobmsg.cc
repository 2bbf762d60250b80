// SPDX-License-Identifier: ISC
// Arbitrary bytes through the blobmsg checks, policy parsing and the JSON
// formatter; arbitrary text through the JSON import and back out.
// The first byte picks the path: even = binary, odd = JSON text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

extern "C" {
#include <libubox/blobmsg_json.h>
}

namespace {

const blobmsg_policy policy[] = {
	{"cmd", BLOBMSG_TYPE_STRING}, {"wait", BLOBMSG_TYPE_INT32}, {"any", BLOBMSG_TYPE_UNSPEC},
	{"num", BLOBMSG_CAST_INT64},  {"t", BLOBMSG_TYPE_TABLE},    {"a", BLOBMSG_TYPE_ARRAY},
	{"d", BLOBMSG_TYPE_DOUBLE},   {"", BLOBMSG_TYPE_STRING},
};
constexpr int policy_len = int(sizeof(policy) / sizeof(policy[0]));

const char *format_cb(void *priv, struct blob_attr *attr)
{
	auto *n = static_cast<unsigned *>(priv);
	if (++*n % 7 == 0 || blobmsg_type(attr) == BLOBMSG_TYPE_INT16)
		return "<cb>";
	return nullptr;
}

void format_all(struct blob_attr *attr)
{
	unsigned n = 0;
	for (int indent : {-1, 0, 3, 40}) {
		free(blobmsg_format_json_indent(attr, true, indent));
		free(blobmsg_format_json_indent(attr, false, indent));
		free(blobmsg_format_json_value_indent(attr, indent));
	}
	free(blobmsg_format_json_with_cb(attr, true, format_cb, &n, 1));
}

void binary(const uint8_t *data, size_t size)
{
	// Wire data as a bus message carries it: a head attribute around the region.
	size_t total = sizeof(struct blob_attr) + size;
	if (total > BLOB_ATTR_LEN_MASK)
		return;
	auto *buf = static_cast<uint32_t *>(calloc(1, total + 4));
	if (!buf)
		return;
	auto *head = reinterpret_cast<struct blob_attr *>(buf);
	head->id_len = cpu_to_be32(uint32_t(total));
	if (size)
		memcpy(blob_data(head), data, size);

	struct blob_attr *tb[policy_len];
	blobmsg_parse(policy, policy_len, tb, blob_data(head), unsigned(size));
	for (auto *t : tb) {
		if (!t)
			continue;
		if (blobmsg_type(t) == BLOBMSG_TYPE_TABLE || blobmsg_type(t) == BLOBMSG_TYPE_ARRAY) {
			struct blob_attr *inner[policy_len];
			blobmsg_parse_attr(policy, policy_len, inner, t);
			blobmsg_parse_array(policy, policy_len, inner, blobmsg_data(t),
					    unsigned(blobmsg_data_len(t)));
			blobmsg_check_array(t, BLOBMSG_TYPE_UNSPEC);
		} else if (blobmsg_type(t) == BLOBMSG_TYPE_STRING) {
			(void)strlen(blobmsg_get_string(t));
		}
	}

	// The first attribute on its own, when it fits.
	auto *first = static_cast<struct blob_attr *>(blob_data(head));
	if (size >= sizeof(struct blob_attr) && blobmsg_check_attr_len(first, false, size)) {
		blobmsg_check_attr(first, true);
		blobmsg_check_array_len(first, BLOBMSG_TYPE_INT32, size);
		format_all(first);
	}
	format_all(head);

	// Copy the valid fields into a fresh buffer; it must check out.
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	struct blob_attr *pos;
	size_t rem;
	blobmsg_for_each_attr (pos, head, rem) {
		if (blob_is_extended(pos) && blobmsg_check_attr(pos, false))
			blobmsg_add_blob(&b, pos);
	}
	blobmsg_for_each_attr (pos, b.head, rem) {
		if (!blobmsg_check_attr(pos, false))
			abort();
	}
	blob_buf_free(&b);
	free(buf);
}

void text(const uint8_t *data, size_t size)
{
	char *str = static_cast<char *>(malloc(size + 1));
	if (!str)
		return;
	memcpy(str, data, size);
	str[size] = 0;

	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "pre", "x");
	void *c = blobmsg_open_table(&b, "inner");
	bool ok = blobmsg_add_json_from_string(&b, str);
	blobmsg_close_table(&b, c);
	if (!ok && blob_len(b.head) != 28) // "pre" (16) + empty "inner" (12): failures add nothing
		abort();
	format_all(b.head);

	// What we print in compact form must read back.
	char *json = blobmsg_format_json(b.head, true);
	if (json) {
		struct blob_buf again = {};
		blob_buf_init(&again, 0);
		blobmsg_add_json_from_string(&again, json);
		blob_buf_free(&again);
		free(json);
	}
	blob_buf_free(&b);
	free(str);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (!size)
		return 0;
	if (data[0] & 1)
		text(data + 1, size - 1);
	else
		binary(data + 1, size - 1);
	return 0;
}
