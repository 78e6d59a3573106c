#ifndef KELVORA_UBUS_COMMON_H
#define KELVORA_UBUS_COMMON_H

#include <stdbool.h>

/* Extra type codes used in object signatures. */
#define UBUS_SIGNATURE_METHOD	(BLOBMSG_TYPE_LAST + 1)
#define UBUS_SIGNATURE_END	(BLOBMSG_TYPE_LAST + 2)

/* Compares two strings; *len receives the length of their common prefix. */
static inline bool ubus_strmatch_len(const char *s1, const char *s2, int *len)
{
	for (*len = 0; s1[*len] == s2[*len]; (*len)++)
		if (!s1[*len])
			return true;

	return false;
}

#endif
