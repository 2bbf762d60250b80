// SPDX-License-Identifier: ISC
// Bounded copies into fixed-size text fields, and the counted join of texts.
#pragma once

#include <stddef.h>

// Copies at most len bytes of src into dst (a buffer of size bytes), stopping
// at src's own zero byte and zero-filling up to the count; the count is cut to
// size - 1 when len does not fit. The result always ends in a zero byte.
// Returns dst, or null when nothing was done: dst or src null, size < 1,
// len 0, or size 1 with a len that does not fit (dst is then left untouched).
char *bounded_copy(char *dst, int size, const char *src, size_t len);

// Concatenates count texts (null ones are skipped) into a new heap text that
// the caller frees. Returns null if count is negative or the text cannot be
// allocated. join_texts(0) gives an empty text.
char *join_texts(int count, ...);
