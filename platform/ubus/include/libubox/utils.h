/*
 * Small helpers shared by the libubox stand-in: byte order, container_of,
 * array sizes and grouped allocation.
 */
#ifndef KELVORA_LIBUBOX_UTILS_H
#define KELVORA_LIBUBOX_UTILS_H

#include <endian.h>
#include <stddef.h>
#include <stdint.h>
#include <stdbool.h>
#include <sys/types.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#endif

#ifndef container_of
#define container_of(ptr, type, member) \
	((type *) ((char *) (ptr) - offsetof(type, member)))
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

#define cpu_to_be16(x) ((uint16_t) htobe16((uint16_t) (x)))
#define cpu_to_be32(x) ((uint32_t) htobe32((uint32_t) (x)))
#define cpu_to_be64(x) ((uint64_t) htobe64((uint64_t) (x)))
#define be16_to_cpu(x) ((uint16_t) be16toh((uint16_t) (x)))
#define be32_to_cpu(x) ((uint32_t) be32toh((uint32_t) (x)))
#define be64_to_cpu(x) ((uint64_t) be64toh((uint64_t) (x)))
#define cpu_to_le16(x) ((uint16_t) htole16((uint16_t) (x)))
#define cpu_to_le32(x) ((uint32_t) htole32((uint32_t) (x)))
#define cpu_to_le64(x) ((uint64_t) htole64((uint64_t) (x)))
#define le16_to_cpu(x) ((uint16_t) le16toh((uint16_t) (x)))
#define le32_to_cpu(x) ((uint32_t) le32toh((uint32_t) (x)))
#define le64_to_cpu(x) ((uint64_t) le64toh((uint64_t) (x)))

/*
 * calloc_a(len, &ptr1, len1, &ptr2, len2, ...): one zeroed block holding the
 * first object followed by the others, each aligned; the extra pointers are
 * stored through the given addresses.
 */
#define calloc_a(len, ...) __calloc_a(len, ##__VA_ARGS__, NULL)
void *__calloc_a(size_t len, ...);

#ifdef __cplusplus
}
#endif

#endif
