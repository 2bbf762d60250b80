// SPDX-License-Identifier: ISC
// Grouped allocation and the comparison helpers for ordered sets.
#include "libubox/utils.h"
#include "libubox/avl-cmp.h"
#include "libubox/blob.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {
constexpr size_t align8(size_t len)
{
	return (len + 7) & ~size_t(7);
}
} // namespace

void *__calloc_a(size_t len, ...)
{
	va_list ap;
	size_t total = align8(len);

	va_start(ap, len);
	while (void **p = va_arg(ap, void **)) {
		(void)p;
		total += align8(va_arg(ap, size_t));
	}
	va_end(ap);

	char *base = static_cast<char *>(calloc(1, total));
	if (!base)
		return nullptr;

	char *next = base + align8(len);
	va_start(ap, len);
	while (void **p = va_arg(ap, void **)) {
		*p = next;
		next += align8(va_arg(ap, size_t));
	}
	va_end(ap);
	return base;
}

int avl_strcmp(const void *k1, const void *k2, void *)
{
	return strcmp(static_cast<const char *>(k1), static_cast<const char *>(k2));
}

int avl_blobcmp(const void *k1, const void *k2, void *)
{
	auto *a = static_cast<const struct blob_attr *>(k1);
	auto *b = static_cast<const struct blob_attr *>(k2);
	size_t la = blob_pad_len(a), lb = blob_pad_len(b);
	if (la != lb)
		return la < lb ? -1 : 1;
	return memcmp(a, b, la);
}
