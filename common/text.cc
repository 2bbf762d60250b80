// SPDX-License-Identifier: ISC
#include "common/text.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

char *bounded_copy(char *dst, int size, const char *src, size_t len)
{
	if (!dst || !src || size <= 0 || len == 0)
		return nullptr;

	size_t count = len;
	if (len >= static_cast<size_t>(size)) {
		if (size == 1)
			return nullptr;
		count = static_cast<size_t>(size) - 1;
	}
	dst[count] = '\0';
	strncpy(dst, src, count);
	return dst;
}

char *join_texts(int count, ...)
{
	if (count < 0)
		return nullptr;

	size_t total = 0;
	va_list ap;
	va_start(ap, count);
	for (int i = 0; i < count; i++) {
		const char *part = va_arg(ap, const char *);
		if (!part)
			continue;
		size_t n = strlen(part);
		if (n > SIZE_MAX - 1 - total) {
			va_end(ap);
			return nullptr;
		}
		total += n;
	}
	va_end(ap);

	char *out = static_cast<char *>(malloc(total + 1));
	if (!out)
		return nullptr;

	char *p = out;
	va_start(ap, count);
	for (int i = 0; i < count; i++) {
		const char *part = va_arg(ap, const char *);
		if (!part)
			continue;
		size_t n = strlen(part);
		memcpy(p, part, n);
		p += n;
	}
	va_end(ap);
	*p = '\0';
	return out;
}
