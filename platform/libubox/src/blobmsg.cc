// SPDX-License-Identifier: ISC
// Named fields: building, validating and parsing by policy.
#include "libubox/blobmsg.h"

#include <cstdarg>

namespace {

constexpr size_t pad4(size_t len)
{
	return (len + BLOB_ATTR_ALIGN - 1) & ~size_t(BLOB_ATTR_ALIGN - 1);
}

constexpr size_t max_namelen = 0xffff;

// Appends a field with its name header and room for `payload` value bytes.
// `data` receives the value address. The header and value start out zeroed.
struct blob_attr *blobmsg_new(struct blob_buf *buf, int type, const char *name, size_t payload, void **data)
{
	size_t namelen = name ? strlen(name) : 0;
	// A longer name would not fit its 16-bit length and corrupt the field.
	if (namelen > max_namelen)
		return nullptr;
	size_t hdrlen = size_t(blobmsg_hdrlen(unsigned(namelen)));
	if (payload > BLOB_ATTR_LEN_MASK || hdrlen + payload > BLOB_ATTR_LEN_MASK)
		return nullptr;

	struct blob_attr *attr = blob_new(buf, type & 0x7f, int(hdrlen + payload));
	if (!attr)
		return nullptr;

	attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
	auto *hdr = static_cast<struct blobmsg_hdr *>(blob_data(attr));
	uint16_t nl = cpu_to_be16(uint16_t(namelen));
	memcpy(&hdr->namelen, &nl, sizeof(nl));
	if (namelen)
		memcpy(hdr->name, name, namelen);
	hdr->name[namelen] = 0;
	if (data)
		*data = static_cast<char *>(blob_data(attr)) + hdrlen;
	return attr;
}

size_t head_offset(struct blob_buf *buf)
{
	return size_t(reinterpret_cast<char *>(buf->head) - static_cast<char *>(buf->buf));
}

bool check_value(int id, const char *data, size_t len)
{
	switch (id) {
	case BLOBMSG_TYPE_UNSPEC:
	case BLOBMSG_TYPE_ARRAY:
	case BLOBMSG_TYPE_TABLE:
		return true;
	case BLOBMSG_TYPE_STRING:
		return len >= 1 && data[len - 1] == 0;
	case BLOBMSG_TYPE_INT64:
		return len == 8;
	case BLOBMSG_TYPE_INT32:
		return len == 4;
	case BLOBMSG_TYPE_INT16:
		return len == 2;
	case BLOBMSG_TYPE_INT8:
		return len == 1;
	case BLOBMSG_TYPE_DOUBLE:
		return len >= 8;
	default:
		return false;
	}
}

bool type_matches(int want, int have)
{
	if (want == BLOBMSG_TYPE_UNSPEC)
		return true;
	if (want == BLOBMSG_CAST_INT64)
		return have == BLOBMSG_TYPE_INT64 || have == BLOBMSG_TYPE_INT32 ||
		       have == BLOBMSG_TYPE_INT16 || have == BLOBMSG_TYPE_INT8;
	return want == have;
}

// Steps to the next attribute of a payload, where `pos` and `rem` track what
// is left. A zero length, or one running past the end, ends the walk; a length
// shorter than the header ends it with `rem` set to walk_bad.
constexpr size_t walk_bad = ~size_t(0);

struct blob_attr *walk_next(void *&pos, size_t &rem)
{
	if (rem == walk_bad || rem < sizeof(struct blob_attr))
		return nullptr;
	auto *attr = static_cast<struct blob_attr *>(pos);
	size_t raw = blob_raw_len(attr);
	if (!raw || blob_pad_len(attr) > rem)
		return nullptr;
	if (raw < sizeof(struct blob_attr)) {
		rem = walk_bad;
		return nullptr;
	}
	pos = static_cast<char *>(pos) + blob_pad_len(attr);
	rem -= blob_pad_len(attr);
	return attr;
}

} // namespace

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
	if (!attr || len < sizeof(struct blob_attr))
		return false;
	size_t raw = blob_raw_len(attr);
	if (raw < sizeof(struct blob_attr) || raw > len)
		return false;

	size_t payload = blob_len(attr);
	size_t start = 0;
	if (!blob_is_extended(attr)) {
		if (name)
			return false;
	} else {
		if (payload < sizeof(struct blobmsg_hdr))
			return false;
		unsigned int namelen = blobmsg_namelen_raw(attr);
		if (name && !namelen)
			return false;
		start = size_t(blobmsg_hdrlen(namelen));
		if (payload < start)
			return false;
		if (blobmsg_name(attr)[namelen] != 0)
			return false;
	}

	int id = int(blob_id(attr));
	if (id > BLOBMSG_TYPE_LAST)
		return false;

	return check_value(id, static_cast<const char *>(blob_data(attr)) + start, payload - start);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
	if (!attr)
		return false;
	return blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t blob_len)
{
	if (type > BLOBMSG_TYPE_LAST || !blobmsg_check_attr_len(attr, false, blob_len))
		return -1;

	bool table;
	switch (blobmsg_type(attr)) {
	case BLOBMSG_TYPE_TABLE:
		table = true;
		break;
	case BLOBMSG_TYPE_ARRAY:
		table = false;
		break;
	default:
		return -1;
	}

	int count = 0;
	void *pos = blobmsg_data(attr);
	size_t rem = blobmsg_data_len(attr);
	struct blob_attr *entry;
	while ((entry = walk_next(pos, rem))) {
		if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(entry) != type)
			return -1;
		if (!blobmsg_check_attr_len(entry, table, rem + blob_pad_len(entry)))
			return -1;
		count++;
	}
	return rem == walk_bad ? -1 : count;
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
	if (!attr)
		return -1;
	return blobmsg_check_array_len(attr, type, blob_raw_len(attr));
}

bool blobmsg_check_attr_list_len(const struct blob_attr *attr, int type, size_t len)
{
	return blobmsg_check_array_len(attr, type, len) >= 0;
}

bool blobmsg_check_attr_list(const struct blob_attr *attr, int type)
{
	return blobmsg_check_array(attr, type) >= 0;
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb, void *data,
		  unsigned int len)
{
	if (policy_len > 0)
		// NOLINTNEXTLINE(bugprone-sizeof-expression): an array of attribute pointers
		memset(tb, 0, sizeof(*tb) * size_t(policy_len));
	if (!data || !len)
		return -EINVAL;

	struct blob_attr *attr;
	size_t rem = len;
	while ((attr = walk_next(data, rem))) {
		// Every field is checked, asked for or not: the payload is one message.
		if (!blobmsg_check_attr_len(attr, false, rem + blob_pad_len(attr)))
			return -1;
		if (!blob_is_extended(attr))
			continue;

		unsigned int namelen = blobmsg_namelen_raw(attr);
		const char *name = blobmsg_name(attr);
		int type = blobmsg_type(attr);
		for (int i = 0; i < policy_len; i++) {
			if (!policy[i].name || tb[i])
				continue;
			if (!type_matches(policy[i].type, type))
				continue;
			if (strlen(policy[i].name) != namelen || memcmp(policy[i].name, name, namelen) != 0)
				continue;
			tb[i] = attr; // the first match wins
		}
	}
	return rem == walk_bad ? -1 : 0;
}

int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
			void *data, unsigned int len)
{
	if (policy_len > 0)
		// NOLINTNEXTLINE(bugprone-sizeof-expression): an array of attribute pointers
		memset(tb, 0, sizeof(*tb) * size_t(policy_len));
	if (!data)
		return -EINVAL;

	// Only the entries whose type the next policy slot takes are checked; the
	// others are stepped over, even when too short to hold a header.
	int i = 0;
	size_t rem = len;
	char *pos = static_cast<char *>(data);
	while (i < policy_len && rem >= sizeof(struct blob_attr)) {
		auto *attr = reinterpret_cast<struct blob_attr *>(pos);
		size_t pad = blob_pad_len(attr);
		if (!pad || pad > rem)
			break;
		pos += pad;
		rem -= pad;
		if (!type_matches(policy[i].type, blobmsg_type(attr)))
			continue;
		if (!blobmsg_check_attr_len(attr, false, rem + pad))
			return -1;
		tb[i++] = attr;
	}
	return 0;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data, unsigned int len)
{
	void *dest;
	if (!blobmsg_new(buf, type, name, len, &dest))
		return -1;
	if (len && data)
		memcpy(dest, data, len);
	return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array)
{
	if (!buf->head)
		return nullptr;
	size_t enclosing = head_offset(buf);
	struct blob_attr *attr =
		blobmsg_new(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE, name, 0, nullptr);
	if (!attr)
		return nullptr;
	// The enclosing length only counts the nest's header word for now; closing
	// the nest adds the name header and the children.
	size_t hdrlen = blob_len(attr);
	blob_set_raw_len(buf->head, unsigned(blob_pad_len(buf->head) - hdrlen));
	buf->head = attr;
	// NOLINTNEXTLINE(performance-no-int-to-ptr): the cookie is an offset, not an address
	return reinterpret_cast<void *>(uintptr_t(enclosing) + BLOB_COOKIE);
}

int blobmsg_vprintf(struct blob_buf *buf, const char *name, const char *format, va_list arg)
{
	va_list copy;
	va_copy(copy, arg);
	int len = vsnprintf(nullptr, 0, format, copy);
	va_end(copy);
	if (len < 0)
		return -1;

	void *dest;
	if (!blobmsg_new(buf, BLOBMSG_TYPE_STRING, name, size_t(len) + 1, &dest))
		return -1;
	return vsnprintf(static_cast<char *>(dest), size_t(len) + 1, format, arg);
}

int blobmsg_printf(struct blob_buf *buf, const char *name, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	int ret = blobmsg_vprintf(buf, name, format, ap);
	va_end(ap);
	return ret;
}

// A string buffer is a STRING field appended after the head but not yet
// counted in it; blobmsg_add_string_buffer sizes it to the text and counts it.
// It holds `maxlen` characters and their terminating NUL.
void *blobmsg_alloc_string_buffer(struct blob_buf *buf, const char *name, unsigned int maxlen)
{
	void *dest;
	struct blob_attr *attr = blobmsg_new(buf, BLOBMSG_TYPE_STRING, name, size_t(maxlen) + 1, &dest);
	if (!attr)
		return nullptr;
	blob_set_raw_len(buf->head, unsigned(blob_pad_len(buf->head) - blob_pad_len(attr)));
	return dest;
}

void *blobmsg_realloc_string_buffer(struct blob_buf *buf, unsigned int maxlen)
{
	struct blob_attr *attr = blob_next(buf->head);
	size_t offset = size_t(reinterpret_cast<char *>(attr) - static_cast<char *>(buf->buf));
	size_t hdr = size_t(static_cast<char *>(blobmsg_data(attr)) - reinterpret_cast<char *>(attr));
	size_t room = size_t(maxlen) + 1;
	size_t end = offset + pad4(hdr + room);
	if (end > BLOB_ATTR_LEN_MASK)
		return nullptr;
	if (end > size_t(buf->buflen)) {
		size_t head_off = head_offset(buf);
		if (!buf->grow || !buf->grow(buf, int(end - size_t(buf->buflen))) ||
		    size_t(buf->buflen) < end)
			return nullptr;
		buf->head = reinterpret_cast<struct blob_attr *>(static_cast<char *>(buf->buf) + head_off);
		attr = blob_next(buf->head);
	}
	blob_set_raw_len(attr, unsigned(hdr + room));
	return blobmsg_data(attr);
}

void blobmsg_add_string_buffer(struct blob_buf *buf)
{
	struct blob_attr *attr = blob_next(buf->head);
	size_t hdr = size_t(static_cast<char *>(blobmsg_data(attr)) - reinterpret_cast<char *>(attr));
	size_t room = blob_raw_len(attr) - hdr;
	char *text = static_cast<char *>(blobmsg_data(attr));
	size_t len = strnlen(text, room ? room - 1 : 0);
	text[len] = 0;
	blob_set_raw_len(attr, unsigned(hdr + len + 1));
	blob_fill_pad(attr);
	blob_set_raw_len(buf->head, unsigned(blob_pad_len(buf->head) + blob_pad_len(attr)));
}
