// SPDX-License-Identifier: ISC
// Blob buffers: building attributes into a growable buffer and walking them.
#include "libubox/blob.h"

#include <cstdarg>

namespace {

constexpr size_t pad4(size_t len)
{
	return (len + BLOB_ATTR_ALIGN - 1) & ~size_t(BLOB_ATTR_ALIGN - 1);
}

char *buf_start(struct blob_buf *buf)
{
	return static_cast<char *>(buf->buf);
}

void attr_init(struct blob_attr *attr, int id, unsigned int len)
{
	uint32_t v = (uint32_t(id) << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK;
	v |= len & BLOB_ATTR_LEN_MASK;
	attr->id_len = cpu_to_be32(v);
}

// Appends an attribute with `payload` bytes at byte offset `offset` of the
// buffer, growing it if needed. Header, payload and padding are zeroed except
// for the header word. Returns NULL when the buffer cannot hold it.
struct blob_attr *blob_add(struct blob_buf *buf, size_t offset, int id, size_t payload)
{
	if (payload > BLOB_ATTR_LEN_MASK - sizeof(struct blob_attr))
		return nullptr;
	size_t end = offset + pad4(sizeof(struct blob_attr) + payload);
	// Every length in the buffer is measured in 24 bits.
	if (end > BLOB_ATTR_LEN_MASK)
		return nullptr;

	if (end > size_t(buf->buflen)) {
		size_t head_off =
			buf->head ? size_t(reinterpret_cast<char *>(buf->head) - buf_start(buf)) : 0;
		int required = int(end - size_t(buf->buflen));
		if (!buf->grow || !buf->grow(buf, required))
			return nullptr;
		if (size_t(buf->buflen) < end || !buf->buf)
			return nullptr;
		buf->head = reinterpret_cast<struct blob_attr *>(buf_start(buf) + head_off);
	}

	auto *attr = reinterpret_cast<struct blob_attr *>(buf_start(buf) + offset);
	attr_init(attr, id, unsigned(payload + sizeof(struct blob_attr)));
	memset(attr->data, 0, pad4(sizeof(struct blob_attr) + payload) - sizeof(struct blob_attr));
	return attr;
}

size_t next_offset(struct blob_buf *buf)
{
	return size_t(reinterpret_cast<char *>(blob_next(buf->head)) - buf_start(buf));
}

} // namespace

bool blob_buf_grow(struct blob_buf *buf, int required)
{
	if (required <= 0)
		return true;
	size_t delta = (size_t(required) / 256 + 1) * 256;
	if (size_t(buf->buflen) + size_t(required) > BLOB_ATTR_LEN_MASK)
		return false;
	void *p = realloc(buf->buf, size_t(buf->buflen) + delta);
	if (!p)
		return false;
	memset(static_cast<char *>(p) + buf->buflen, 0, delta);
	buf->buf = p;
	buf->buflen += int(delta);
	return true;
}

void blob_fill_pad(struct blob_attr *attr)
{
	size_t raw = blob_raw_len(attr);
	size_t pad = pad4(raw) - raw;
	if (pad)
		memset(reinterpret_cast<char *>(attr) + raw, 0, pad);
}

void blob_set_raw_len(struct blob_attr *attr, unsigned int len)
{
	uint32_t v = be32_to_cpu(attr->id_len) & ~uint32_t(BLOB_ATTR_LEN_MASK);
	v |= len & BLOB_ATTR_LEN_MASK;
	attr->id_len = cpu_to_be32(v);
}

int blob_buf_init(struct blob_buf *buf, int id)
{
	if (!buf->grow)
		buf->grow = blob_buf_grow;
	buf->head = static_cast<struct blob_attr *>(buf->buf);
	if (!blob_add(buf, 0, id, 0)) {
		buf->head = static_cast<struct blob_attr *>(buf->buf);
		return -ENOMEM;
	}
	buf->head = static_cast<struct blob_attr *>(buf->buf);
	return 0;
}

void blob_buf_free(struct blob_buf *buf)
{
	free(buf->buf);
	buf->buf = nullptr;
	buf->head = nullptr;
	buf->buflen = 0;
}

struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload)
{
	if (!buf->head || payload < 0)
		return nullptr;
	struct blob_attr *attr = blob_add(buf, next_offset(buf), id, size_t(payload));
	if (!attr)
		return nullptr;
	blob_set_raw_len(buf->head, unsigned(blob_pad_len(buf->head) + blob_pad_len(attr)));
	return attr;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len)
{
	if (len > BLOB_ATTR_LEN_MASK)
		return nullptr;
	struct blob_attr *attr = blob_new(buf, id, int(len));
	if (!attr)
		return nullptr;
	if (ptr && len)
		memcpy(blob_data(attr), ptr, len);
	return attr;
}

struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len)
{
	if (len < sizeof(struct blob_attr) || !ptr || !buf->head || len > BLOB_ATTR_LEN_MASK)
		return nullptr;
	struct blob_attr *attr = blob_add(buf, next_offset(buf), 0, len - sizeof(struct blob_attr));
	if (!attr)
		return nullptr;
	memcpy(attr, ptr, len);
	blob_set_raw_len(buf->head, unsigned(blob_pad_len(buf->head) + pad4(len)));
	return attr;
}

// A cookie is the enclosing head's offset plus BLOB_COOKIE: it survives a
// realloc of the storage and is never NULL.
void *blob_nest_start(struct blob_buf *buf, int id)
{
	if (!buf->head)
		return nullptr;
	size_t head_off_before = size_t(reinterpret_cast<char *>(buf->head) - buf_start(buf));
	struct blob_attr *attr = blob_new(buf, id, 0);
	if (!attr)
		return nullptr;
	buf->head = attr;
	// NOLINTNEXTLINE(performance-no-int-to-ptr): the cookie is an offset, not an address
	return reinterpret_cast<void *>(uintptr_t(head_off_before) + BLOB_COOKIE);
}

void blob_nest_end(struct blob_buf *buf, void *cookie)
{
	uintptr_t off = reinterpret_cast<uintptr_t>(cookie) - BLOB_COOKIE;
	if (!cookie || !buf->head || off + sizeof(struct blob_attr) > uintptr_t(buf->buflen))
		return;
	auto *attr = reinterpret_cast<struct blob_attr *>(buf_start(buf) + off);
	if (attr >= buf->head)
		return;
	blob_set_raw_len(attr, unsigned(blob_pad_len(attr) + blob_len(buf->head)));
	buf->head = attr;
}

bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2)
{
	if (!a1 && !a2)
		return true;
	if (!a1 || !a2)
		return false;
	if (blob_pad_len(a1) != blob_pad_len(a2))
		return false;
	return !memcmp(a1, a2, blob_pad_len(a1));
}

struct blob_attr *blob_memdup(const struct blob_attr *attr)
{
	size_t size = blob_pad_len(attr);
	void *p = malloc(size);
	if (!p)
		return nullptr;
	memcpy(p, attr, size);
	return static_cast<struct blob_attr *>(p);
}

bool blob_check_type(const void *ptr, unsigned int len, int type)
{
	const char *data = static_cast<const char *>(ptr);

	switch (type) {
	case BLOB_ATTR_INT8:
		return len == 1;
	case BLOB_ATTR_INT16:
		return len == 2;
	case BLOB_ATTR_INT32:
		return len == 4;
	case BLOB_ATTR_INT64:
		return len == 8;
	case BLOB_ATTR_STRING:
		return len >= 1 && data[len - 1] == 0;
	case BLOB_ATTR_DOUBLE:
		return len >= 8;
	default:
		return type >= 0 && type < BLOB_ATTR_LAST;
	}
}

namespace {

bool blob_attr_ok(const struct blob_attr *pos, const struct blob_attr_info *info, int max)
{
	unsigned int id = blob_id(pos);
	if (int(id) >= max)
		return false;
	if (!info)
		return true;
	const struct blob_attr_info *i = &info[id];
	unsigned int len = unsigned(blob_len(pos));
	if (i->type < BLOB_ATTR_LAST && !blob_check_type(blob_data(pos), len, int(i->type)))
		return false;
	if (i->minlen && blob_raw_len(pos) < i->minlen)
		return false;
	if (i->maxlen && blob_raw_len(pos) > i->maxlen)
		return false;
	if (i->validate && !i->validate(i, const_cast<struct blob_attr *>(pos)))
		return false;
	return true;
}

int parse_region(struct blob_attr *first, size_t rem, struct blob_attr **data,
		 const struct blob_attr_info *info, int max)
{
	int found = 0;
	struct blob_attr *pos;

	if (max <= 0)
		return 0;
	memset(data, 0, sizeof(struct blob_attr *) * size_t(max));
	__blob_for_each_attr(pos, first, rem)
	{
		if (!blob_attr_ok(pos, info, max))
			continue;
		unsigned int id = blob_id(pos);
		if (!data[id])
			found++;
		data[id] = pos; // the last duplicate wins
	}
	return found;
}

} // namespace

int blob_parse(struct blob_attr *attr, struct blob_attr **data, const struct blob_attr_info *info, int max)
{
	if (!attr || blob_raw_len(attr) < sizeof(struct blob_attr)) {
		if (max > 0)
			memset(data, 0, sizeof(struct blob_attr *) * size_t(max));
		return 0;
	}
	return parse_region(static_cast<struct blob_attr *>(blob_data(attr)), blob_len(attr), data, info,
			    max);
}

int blob_parse_untrusted(struct blob_attr *attr, size_t attr_len, struct blob_attr **data,
			 const struct blob_attr_info *info, int max)
{
	if (!attr || attr_len < sizeof(struct blob_attr) || blob_raw_len(attr) < sizeof(struct blob_attr) ||
	    blob_raw_len(attr) > attr_len) {
		if (max > 0)
			memset(data, 0, sizeof(struct blob_attr *) * size_t(max));
		return 0;
	}
	return parse_region(static_cast<struct blob_attr *>(blob_data(attr)), blob_len(attr), data, info,
			    max);
}
