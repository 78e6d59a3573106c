#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "libubox/utils.h"

#define CALLOC_ALIGN(n) (((n) + sizeof(void *) - 1) & ~(sizeof(void *) - 1))

void *__calloc_a(size_t len, ...)
{
	va_list ap, ap1;
	size_t total = CALLOC_ALIGN(len);
	void **addr;
	char *block, *pos;

	va_start(ap, len);
	va_copy(ap1, ap);
	while ((addr = va_arg(ap, void **)) != NULL)
		total += CALLOC_ALIGN(va_arg(ap, size_t));
	va_end(ap);

	block = calloc(1, total);
	if (!block) {
		va_end(ap1);
		return NULL;
	}

	pos = block + CALLOC_ALIGN(len);
	while ((addr = va_arg(ap1, void **)) != NULL) {
		*addr = pos;
		pos += CALLOC_ALIGN(va_arg(ap1, size_t));
	}
	va_end(ap1);
	return block;
}
