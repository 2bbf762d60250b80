// SPDX-License-Identifier: ISC
/* Small helpers shared by the libubox modules: array size, byte order,
 * packed structs and grouped allocation. */
#ifndef LIBUBOX_UTILS_H
#define LIBUBOX_UTILS_H

#include <sys/types.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <stdint.h>
#include <stdbool.h>
#include <stddef.h>
#include <unistd.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#endif

#ifndef __packed
#define __packed __attribute__((packed))
#endif
#ifndef __hidden
#define __hidden __attribute__((visibility("hidden")))
#endif
#ifndef __constructor
#define __constructor __attribute__((constructor))
#endif
#ifndef __destructor
#define __destructor __attribute__((destructor))
#endif

#ifndef BUILD_BUG_ON
#define BUILD_BUG_ON(condition) ((void)sizeof(char[1 - 2 * !!(condition)]))
#endif

/*
 * One allocation for a record and its variable-sized parts:
 *   calloc_a(sizeof(*rec), &name, strlen(n) + 1, &data, len)
 * Every part starts at a multiple of 8 (pointer-sized) and all bytes are zero.
 * Free the whole thing with free() on the returned pointer.
 */
void *__calloc_a(size_t len, ...);
#define calloc_a(len, ...) __calloc_a(len, ##__VA_ARGS__, NULL)

/* Byte order. Wire data is big-endian on every host. */
#define __constant_swap16(x) ((uint16_t)((((uint16_t)(x)&0x00ffU) << 8) | (((uint16_t)(x)&0xff00U) >> 8)))
#define __constant_swap32(x)                                                                                 \
	((uint32_t)((((uint32_t)(x)&0x000000ffUL) << 24) | (((uint32_t)(x)&0x0000ff00UL) << 8) |             \
		    (((uint32_t)(x)&0x00ff0000UL) >> 8) | (((uint32_t)(x)&0xff000000UL) >> 24)))
#define __constant_swap64(x)                                                                                 \
	((uint64_t)(((uint64_t)__constant_swap32((uint32_t)((uint64_t)(x)&0xffffffffULL)) << 32) |           \
		    (uint64_t)__constant_swap32((uint32_t)((uint64_t)(x) >> 32))))

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define cpu_to_be64(x) __builtin_bswap64((uint64_t)(x))
#define cpu_to_be32(x) __builtin_bswap32((uint32_t)(x))
#define cpu_to_be16(x) __builtin_bswap16((uint16_t)(x))
#define const_cpu_to_be64(x) __constant_swap64(x)
#define const_cpu_to_be32(x) __constant_swap32(x)
#define const_cpu_to_be16(x) __constant_swap16(x)
#define cpu_to_le64(x) ((uint64_t)(x))
#define cpu_to_le32(x) ((uint32_t)(x))
#define cpu_to_le16(x) ((uint16_t)(x))
#define const_cpu_to_le64(x) ((uint64_t)(x))
#define const_cpu_to_le32(x) ((uint32_t)(x))
#define const_cpu_to_le16(x) ((uint16_t)(x))
#else
#define cpu_to_be64(x) ((uint64_t)(x))
#define cpu_to_be32(x) ((uint32_t)(x))
#define cpu_to_be16(x) ((uint16_t)(x))
#define const_cpu_to_be64(x) ((uint64_t)(x))
#define const_cpu_to_be32(x) ((uint32_t)(x))
#define const_cpu_to_be16(x) ((uint16_t)(x))
#define cpu_to_le64(x) __builtin_bswap64((uint64_t)(x))
#define cpu_to_le32(x) __builtin_bswap32((uint32_t)(x))
#define cpu_to_le16(x) __builtin_bswap16((uint16_t)(x))
#define const_cpu_to_le64(x) __constant_swap64(x)
#define const_cpu_to_le32(x) __constant_swap32(x)
#define const_cpu_to_le16(x) __constant_swap16(x)
#endif

#define be64_to_cpu(x) cpu_to_be64(x)
#define be32_to_cpu(x) cpu_to_be32(x)
#define be16_to_cpu(x) cpu_to_be16(x)
#define const_be64_to_cpu(x) const_cpu_to_be64(x)
#define const_be32_to_cpu(x) const_cpu_to_be32(x)
#define const_be16_to_cpu(x) const_cpu_to_be16(x)
#define le64_to_cpu(x) cpu_to_le64(x)
#define le32_to_cpu(x) cpu_to_le32(x)
#define le16_to_cpu(x) cpu_to_le16(x)
#define const_le64_to_cpu(x) const_cpu_to_le64(x)
#define const_le32_to_cpu(x) const_cpu_to_le32(x)
#define const_le16_to_cpu(x) const_cpu_to_le16(x)

#ifdef __cplusplus
}
#endif

#endif
