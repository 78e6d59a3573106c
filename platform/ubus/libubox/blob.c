/*
 * Blob buffers: building, parsing and comparing blob attributes.
 *
 * While a buffer is built, head points at the innermost open nested
 * attribute; new attributes are appended at its end and its length grows
 * with them.  Nesting cookies are byte offsets into the buffer (plus a
 * constant, so that a valid cookie is never NULL).
 */
#include "libubox/blob.h"

#define GROW_STEP 256

static bool default_grow(struct blob_buf *buf, int minlen)
{
	int delta = (minlen / GROW_STEP + 1) * GROW_STEP;
	char *grown = realloc(buf->buf, (size_t) buf->buflen + (size_t) delta);

	if (!grown)
		return false;

	memset(grown + buf->buflen, 0, (size_t) delta);
	buf->buf = grown;
	buf->buflen += delta;
	return true;
}

static void set_header(struct blob_attr *attr, int id, unsigned int raw_len)
{
	uint32_t v = (raw_len & BLOB_ATTR_LEN_MASK) |
		(((uint32_t) id << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK);

	attr->id_len = cpu_to_be32(v);
}

static size_t offset_of(const struct blob_buf *buf, const void *ptr)
{
	return (size_t) ((const char *) ptr - (const char *) buf->buf);
}

static struct blob_attr *at_offset(const struct blob_buf *buf, size_t offset)
{
	return (struct blob_attr *) ((char *) buf->buf + offset);
}

bool blob_buf_grow(struct blob_buf *buf, int required)
{
	size_t head = buf->head ? offset_of(buf, buf->head) : 0;

	if ((long) buf->buflen + required > BLOB_ATTR_LEN_MASK)
		return false;
	if (!buf->grow || !buf->grow(buf, required))
		return false;

	buf->head = at_offset(buf, head);
	return true;
}

/* Places an attribute of payload bytes at offset, growing the buffer. */
static struct blob_attr *place(struct blob_buf *buf, size_t offset, int id, int payload)
{
	long end = (long) offset + (long) sizeof(struct blob_attr) + payload;
	struct blob_attr *attr;

	if (payload < 0)
		return NULL;
	if (end > buf->buflen && !blob_buf_grow(buf, (int) (end - buf->buflen)))
		return NULL;

	attr = at_offset(buf, offset);
	set_header(attr, id, (unsigned int) (payload + (int) sizeof(struct blob_attr)));
	blob_fill_pad(attr);
	return attr;
}

int blob_buf_init(struct blob_buf *buf, int id)
{
	if (!buf->grow)
		buf->grow = default_grow;

	buf->head = buf->buf;
	if (!place(buf, 0, id, 0))
		return -ENOMEM;

	return 0;
}

void blob_buf_free(struct blob_buf *buf)
{
	free(buf->buf);
	buf->buf = NULL;
	buf->head = NULL;
	buf->buflen = 0;
}

void blob_fill_pad(struct blob_attr *attr)
{
	size_t raw = blob_raw_len(attr), padded = blob_pad_len(attr);

	if (padded > raw)
		memset((char *) attr + raw, 0, padded - raw);
}

void blob_set_raw_len(struct blob_attr *attr, unsigned int len)
{
	uint32_t v = be32_to_cpu(attr->id_len);

	v = (v & ~(uint32_t) BLOB_ATTR_LEN_MASK) | (len & BLOB_ATTR_LEN_MASK);
	attr->id_len = cpu_to_be32(v);
}

struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload)
{
	size_t head = offset_of(buf, buf->head);
	size_t offset = head + blob_pad_len(buf->head);
	struct blob_attr *attr = place(buf, offset, id, payload);

	if (!attr)
		return NULL;

	blob_set_raw_len(buf->head, (unsigned int) (offset - head + blob_pad_len(attr)));
	return attr;
}

struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len)
{
	struct blob_attr *attr;

	if (!ptr || len < sizeof(struct blob_attr))
		return NULL;

	attr = blob_new(buf, 0, (int) (len - sizeof(struct blob_attr)));
	if (!attr)
		return NULL;

	memcpy(attr, ptr, len);
	blob_fill_pad(attr);
	return attr;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len)
{
	struct blob_attr *attr = blob_new(buf, id, (int) len);

	if (!attr)
		return NULL;

	if (ptr && len)
		memcpy(blob_data(attr), ptr, len);
	return attr;
}

void *blob_nest_start(struct blob_buf *buf, int id)
{
	size_t parent = offset_of(buf, buf->head);
	struct blob_attr *nested = blob_new(buf, id, 0);

	if (!nested)
		return NULL;

	buf->head = nested;
	return (void *) (uintptr_t) (parent + BLOB_COOKIE);
}

void blob_nest_end(struct blob_buf *buf, void *cookie)
{
	size_t parent_off = (size_t) (uintptr_t) cookie - BLOB_COOKIE;
	size_t end = offset_of(buf, buf->head) + blob_pad_len(buf->head);
	struct blob_attr *parent = at_offset(buf, parent_off);

	blob_set_raw_len(parent, (unsigned int) (end - parent_off));
	buf->head = parent;
}

bool blob_check_type(const void *ptr, unsigned int len, int type)
{
	const char *data = ptr;

	switch (type) {
	case BLOB_ATTR_INT8:
		return len == 1;
	case BLOB_ATTR_INT16:
		return len == 2;
	case BLOB_ATTR_INT32:
		return len == 4;
	case BLOB_ATTR_INT64:
		return len == 8;
	case BLOB_ATTR_DOUBLE:
		return len >= 8;
	case BLOB_ATTR_STRING:
		return len >= 1 && data[len - 1] == 0;
	case BLOB_ATTR_UNSPEC:
	case BLOB_ATTR_NESTED:
	case BLOB_ATTR_BINARY:
		return true;
	default:
		return false;
	}
}

/* Stores attr in data[id] when it passes the checks of info; returns 1 when
 * that slot was empty before. */
static int take_attr(struct blob_attr *attr, size_t avail, struct blob_attr **data,
		     const struct blob_attr_info *info, int max)
{
	unsigned int id;
	size_t raw;
	int fresh;

	if (avail < sizeof(struct blob_attr))
		return 0;

	id = blob_id(attr);
	if ((int) id >= max)
		return 0;

	raw = blob_raw_len(attr);
	if (raw < sizeof(struct blob_attr) || raw > avail)
		return 0;

	if (info) {
		const struct blob_attr_info *want = &info[id];

		if (want->type < BLOB_ATTR_LAST &&
		    !blob_check_type(blob_data(attr), (unsigned int) blob_len(attr), (int) want->type))
			return 0;
		if (want->minlen && raw < want->minlen)
			return 0;
		if (want->maxlen && raw > want->maxlen)
			return 0;
		if (want->validate && !want->validate(want, attr))
			return 0;
	}

	fresh = data[id] == NULL;
	data[id] = attr;
	return fresh;
}

int blob_parse_untrusted(struct blob_attr *attr, size_t attr_len, struct blob_attr **data,
			 const struct blob_attr_info *info, int max)
{
	struct blob_attr *pos;
	size_t len, rem;
	int found = 0;

	if (!attr || attr_len < sizeof(struct blob_attr))
		return 0;

	len = blob_raw_len(attr);
	if (len > attr_len)
		return 0;

	memset(data, 0, sizeof(*data) * (size_t) max);
	blob_for_each_attr_len(pos, attr, len, rem)
		found += take_attr(pos, rem, data, info, max);

	return found;
}

int blob_parse(struct blob_attr *attr, struct blob_attr **data, const struct blob_attr_info *info, int max)
{
	struct blob_attr *pos;
	size_t rem;
	int found = 0;

	memset(data, 0, sizeof(*data) * (size_t) max);
	blob_for_each_attr(pos, attr, rem)
		found += take_attr(pos, rem, data, info, max);

	return found;
}

bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2)
{
	if (!a1 || !a2)
		return a1 == a2;

	if (blob_pad_len(a1) != blob_pad_len(a2))
		return false;

	return memcmp(a1, a2, blob_pad_len(a1)) == 0;
}

struct blob_attr *blob_memdup(const struct blob_attr *attr)
{
	size_t size = blob_pad_len(attr);
	struct blob_attr *copy = malloc(size);

	if (copy)
		memcpy(copy, attr, size);
	return copy;
}
