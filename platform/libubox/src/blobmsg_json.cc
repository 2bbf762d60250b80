// SPDX-License-Identifier: ISC
// JSON text to blobmsg fields (through json-c) and blobmsg fields to JSON text.
#include "libubox/blobmsg_json.h"

#include <cinttypes>
#include <cstdarg>
#include <json-c/json.h>

namespace {

// ---- JSON in ----

bool add_array(struct blob_buf *b, struct json_object *arr)
{
	size_t n = json_object_array_length(arr);
	for (size_t i = 0; i < n; i++) {
		if (!blobmsg_add_json_element(b, nullptr, json_object_array_get_idx(arr, i)))
			return false;
	}
	return true;
}

// ---- JSON out ----

// Growing heap text. Allocation failure is sticky and makes the result NULL.
struct text {
	char *buf = nullptr;
	size_t len = 0;
	size_t cap = 0;
	bool failed = false;

	text() = default;
	text(const text &) = delete;
	text &operator=(const text &) = delete;
	~text() { free(buf); }

	bool reserve(size_t more)
	{
		if (failed)
			return false;
		if (len + more + 1 <= cap)
			return true;
		size_t ncap = cap ? cap : 256;
		while (ncap < len + more + 1)
			ncap *= 2;
		char *n = static_cast<char *>(realloc(buf, ncap));
		if (!n) {
			failed = true;
			return false;
		}
		buf = n;
		cap = ncap;
		return true;
	}

	void put(const char *s, size_t n)
	{
		if (!reserve(n))
			return;
		memcpy(buf + len, s, n);
		len += n;
		buf[len] = 0;
	}

	void put(const char *s) { put(s, strlen(s)); }
	void put(char c) { put(&c, 1); }

	__attribute__((format(printf, 2, 3))) void putf(const char *fmt, ...)
	{
		va_list ap;
		va_start(ap, fmt);
		int n = vsnprintf(nullptr, 0, fmt, ap);
		va_end(ap);
		if (n < 0 || !reserve(size_t(n)))
			return;
		va_start(ap, fmt);
		vsnprintf(buf + len, size_t(n) + 1, fmt, ap);
		va_end(ap);
		len += size_t(n);
	}

	char *release()
	{
		char *r = buf;
		buf = nullptr;
		return r;
	}
};

// Nesting deeper than this is not printed (the element is left out like an
// invalid one), so hostile input cannot exhaust the stack.
constexpr int max_depth = 256;
constexpr int max_tabs = 16;

struct formatter {
	text out;
	blobmsg_json_format_t cb;
	void *priv;
	bool indent;
	int level;
	int depth = 0;

	void sep()
	{
		if (!indent)
			return;
		out.put('\n');
		int tabs = level < max_tabs ? level : max_tabs;
		for (int i = 0; i < tabs; i++)
			out.put('\t');
	}

	void string(const char *s, size_t max)
	{
		static const char hexdig[] = "0123456789abcdef";
		out.put('"');
		for (size_t i = 0; i < max && s[i]; i++) {
			unsigned char c = static_cast<unsigned char>(s[i]);
			switch (c) {
			case '"':
				out.put("\\\"", 2);
				break;
			case '\\':
				out.put("\\\\", 2);
				break;
			case '\b':
				out.put("\\b", 2);
				break;
			case '\t':
				out.put("\\t", 2);
				break;
			case '\n':
				out.put("\\n", 2);
				break;
			case '\r':
				out.put("\\r", 2);
				break;
			default:
				if (c < 0x20) {
					char esc[6] = {'\\', 'u', '0', '0', hexdig[c >> 4], hexdig[c & 15]};
					out.put(esc, sizeof(esc));
				} else {
					out.put(char(c));
				}
			}
		}
		out.put('"');
	}

	void list(const struct blob_attr *attr, bool array)
	{
		out.put(array ? '[' : '{');
		level++;
		sep();
		const struct blob_attr *pos;
		size_t rem;
		bool first = true;
		blobmsg_for_each_attr (pos, attr, rem) {
			if (!first) {
				out.put(',');
				sep();
			}
			first = false;
			element(const_cast<struct blob_attr *>(pos), array, false);
		}
		level--;
		sep();
		out.put(array ? ']' : '}');
	}

	void element(struct blob_attr *attr, bool array_member, bool value_only)
	{
		if (!blobmsg_check_attr(attr, false))
			return;
		if (depth >= max_depth)
			return;

		if (!array_member && !value_only && blob_is_extended(attr) && blobmsg_name(attr)[0]) {
			string(blobmsg_name(attr), blobmsg_namelen_raw(attr));
			out.put(indent ? ": " : ":");
		}

		if (cb) {
			if (const char *r = cb(priv, attr)) {
				out.put(r);
				return;
			}
		}

		const void *data = blobmsg_data(attr);
		size_t len = blobmsg_data_len(attr);
		switch (blobmsg_type(attr)) {
		case BLOBMSG_TYPE_UNSPEC:
			out.put("null");
			break;
		case BLOBMSG_TYPE_INT8:
			out.put(*static_cast<const uint8_t *>(data) ? "true" : "false");
			break;
		case BLOBMSG_TYPE_INT16:
			out.putf("%d", int(int16_t(blobmsg_get_u16(attr))));
			break;
		case BLOBMSG_TYPE_INT32:
			out.putf("%" PRId32, int32_t(blobmsg_get_u32(attr)));
			break;
		case BLOBMSG_TYPE_INT64:
			out.putf("%" PRId64, int64_t(blobmsg_get_u64(attr)));
			break;
		case BLOBMSG_TYPE_DOUBLE:
			out.putf("%f", blobmsg_get_double(attr));
			break;
		case BLOBMSG_TYPE_STRING:
			string(static_cast<const char *>(data), len);
			break;
		case BLOBMSG_TYPE_ARRAY:
		case BLOBMSG_TYPE_TABLE:
			depth++;
			list(attr, blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY);
			depth--;
			break;
		}
	}

	// NULL when nothing was written for an empty attribute, "" when nothing
	// was written otherwise.
	char *result(const struct blob_attr *attr)
	{
		if (out.failed)
			return nullptr;
		if (!out.len)
			return blob_len(attr) ? strdup("") : nullptr;
		return out.release();
	}
};

} // namespace

bool blobmsg_add_json_element(struct blob_buf *b, const char *name, struct json_object *obj)
{
	void *c;

	switch (obj ? json_object_get_type(obj) : json_type_null) {
	case json_type_object:
		c = blobmsg_open_table(b, name);
		if (!c)
			break; // the buffer is full: the field is left out
		blobmsg_add_object(b, obj);
		blobmsg_close_table(b, c);
		break;
	case json_type_array:
		c = blobmsg_open_array(b, name);
		if (!c)
			break;
		add_array(b, obj);
		blobmsg_close_array(b, c);
		break;
	case json_type_string:
		blobmsg_add_string(b, name, json_object_get_string(obj));
		break;
	case json_type_boolean:
		blobmsg_add_u8(b, name, json_object_get_boolean(obj) ? 1 : 0);
		break;
	case json_type_int: {
		int64_t v = json_object_get_int64(obj);
		if (v >= INT32_MIN && v <= INT32_MAX)
			blobmsg_add_u32(b, name, uint32_t(int32_t(v)));
		else
			blobmsg_add_u64(b, name, uint64_t(v));
		break;
	}
	case json_type_double:
		blobmsg_add_double(b, name, json_object_get_double(obj));
		break;
	case json_type_null:
		blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0);
		break;
	default:
		return false;
	}
	return true;
}

bool blobmsg_add_object(struct blob_buf *b, struct json_object *obj)
{
	if (!obj || json_object_get_type(obj) != json_type_object)
		return false;
	json_object_object_foreach(obj, key, val)
	{
		if (!blobmsg_add_json_element(b, key, val))
			return false;
	}
	return true;
}

namespace {

bool add_top_object(struct blob_buf *b, struct json_object *obj)
{
	bool ok = false;
	if (obj && json_object_get_type(obj) == json_type_object)
		ok = blobmsg_add_object(b, obj);
	if (obj)
		json_object_put(obj);
	return ok;
}

} // namespace

bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str)
{
	if (!str)
		return false;
	return add_top_object(b, json_tokener_parse(str));
}

bool blobmsg_add_json_from_file(struct blob_buf *b, const char *file)
{
	if (!file)
		return false;
	return add_top_object(b, json_object_from_file(file));
}

char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list, blobmsg_json_format_t cb, void *priv,
				  int indent)
{
	if (!attr || blob_raw_len(attr) < sizeof(struct blob_attr))
		return nullptr;

	formatter f;
	f.cb = cb;
	f.priv = priv;
	f.indent = indent >= 0;
	f.level = indent >= 0 ? indent : 0;

	if (list) {
		// Children are walked within the value region only, which is empty
		// when the name header does not fit.
		f.list(attr, blob_is_extended(attr) && blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY);
	} else {
		f.element(attr, false, false);
	}
	return f.result(attr);
}

char *blobmsg_format_json_value_with_cb(struct blob_attr *attr, blobmsg_json_format_t cb, void *priv,
					int indent)
{
	if (!attr || blob_raw_len(attr) < sizeof(struct blob_attr))
		return nullptr;

	formatter f;
	f.cb = cb;
	f.priv = priv;
	f.indent = indent >= 0;
	f.level = indent >= 0 ? indent : 0;
	f.element(attr, false, true);
	return f.result(attr);
}
