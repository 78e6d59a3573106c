/*
 * blobmsg: validation, policy parsing and building of named values.
 */
#include <stdio.h>

#include "libubox/blobmsg.h"

/* The blob type that holds the value of each blobmsg type; 0 for the
 * containers, whose contents are checked member by member. */
static int value_type(int id)
{
	switch (id) {
	case BLOBMSG_TYPE_UNSPEC:
		return BLOB_ATTR_BINARY;
	case BLOBMSG_TYPE_STRING:
		return BLOB_ATTR_STRING;
	case BLOBMSG_TYPE_INT64:
		return BLOB_ATTR_INT64;
	case BLOBMSG_TYPE_INT32:
		return BLOB_ATTR_INT32;
	case BLOBMSG_TYPE_INT16:
		return BLOB_ATTR_INT16;
	case BLOBMSG_TYPE_INT8:
		return BLOB_ATTR_INT8;
	case BLOBMSG_TYPE_DOUBLE:
		return BLOB_ATTR_DOUBLE;
	default:
		return 0;
	}
}

static bool name_ok(const struct blob_attr *attr, bool need_name)
{
	const struct blobmsg_hdr *hdr;
	uint16_t namelen;

	if (!blob_is_extended(attr))
		return !need_name;

	if (blob_len(attr) < sizeof(struct blobmsg_hdr))
		return false;

	hdr = (const struct blobmsg_hdr *) blob_data(attr);
	namelen = blobmsg_namelen(hdr);
	if (need_name && namelen == 0)
		return false;

	if (blob_len(attr) < (size_t) blobmsg_hdrlen(namelen))
		return false;

	return hdr->name[namelen] == 0;
}

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
	size_t raw;
	int id, vtype;

	if (len < sizeof(struct blob_attr))
		return false;

	raw = blob_raw_len(attr);
	if (raw < sizeof(struct blob_attr) || raw > len)
		return false;

	if (!name_ok(attr, name))
		return false;

	id = (int) blob_id(attr);
	if (id > BLOBMSG_TYPE_LAST)
		return false;

	vtype = value_type(id);
	if (!vtype)
		return true;

	return blob_check_type(blobmsg_data(attr), (unsigned int) blobmsg_data_len(attr), vtype);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
	return blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t len)
{
	struct blob_attr *cur;
	size_t rem;
	bool named;
	int count = 0;

	if (type > BLOBMSG_TYPE_LAST)
		return -1;

	if (!blobmsg_check_attr_len(attr, false, len))
		return -1;

	switch (blobmsg_type(attr)) {
	case BLOBMSG_TYPE_TABLE:
		named = true;
		break;
	case BLOBMSG_TYPE_ARRAY:
		named = false;
		break;
	default:
		return -1;
	}

	blobmsg_for_each_attr(cur, attr, rem) {
		if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(cur) != type)
			return -1;
		if (!blobmsg_check_attr_len(cur, named, rem))
			return -1;
		count++;
	}

	return count;
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
	return blobmsg_check_array_len(attr, type, blob_raw_len(attr));
}

bool blobmsg_check_attr_list(const struct blob_attr *attr, int type)
{
	return blobmsg_check_array(attr, type) >= 0;
}

bool blobmsg_check_attr_list_len(const struct blob_attr *attr, int type, size_t len)
{
	return blobmsg_check_array_len(attr, type, len) >= 0;
}

static bool type_matches(int want, int have)
{
	if (want == BLOBMSG_TYPE_UNSPEC)
		return true;
	if (want == BLOBMSG_CAST_INT64)
		return have == BLOBMSG_TYPE_INT64 || have == BLOBMSG_TYPE_INT32 ||
			have == BLOBMSG_TYPE_INT16 || have == BLOBMSG_TYPE_INT8;
	return want == have;
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len,
		  struct blob_attr **tb, void *data, unsigned int len)
{
	struct blob_attr *attr;
	size_t rem = len;
	int i;

	memset(tb, 0, sizeof(*tb) * (size_t) policy_len);
	if (!data || !len)
		return -EINVAL;

	__blob_for_each_attr(attr, data, rem) {
		const struct blobmsg_hdr *hdr;
		size_t namelen;

		if (!blobmsg_check_attr_len(attr, false, rem))
			return -1;

		if (!blob_is_extended(attr))
			continue;

		hdr = (const struct blobmsg_hdr *) blob_data(attr);
		namelen = blobmsg_namelen(hdr);
		for (i = 0; i < policy_len; i++) {
			if (!policy[i].name || tb[i])
				continue;
			if (!type_matches((int) policy[i].type, (int) blob_id(attr)))
				continue;
			if (strlen(policy[i].name) != namelen ||
			    memcmp(policy[i].name, hdr->name, namelen) != 0)
				continue;
			tb[i] = attr;
		}
	}

	return 0;
}

int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len,
			struct blob_attr **tb, void *data, unsigned int len)
{
	struct blob_attr *attr;
	size_t rem = len;
	int i = 0;

	memset(tb, 0, sizeof(*tb) * (size_t) policy_len);
	if (!data || policy_len <= 0)
		return 0;

	__blob_for_each_attr(attr, data, rem) {
		if (policy[i].type != BLOBMSG_TYPE_UNSPEC && (int) blob_id(attr) != (int) policy[i].type)
			continue;

		if (!blobmsg_check_attr_len(attr, false, rem))
			return -1;

		tb[i++] = attr;
		if (i == policy_len)
			break;
	}

	return 0;
}

/* Appends a blobmsg attribute with room for payload value bytes; *value
 * receives where the value goes. */
static struct blob_attr *new_named(struct blob_buf *buf, int type, const char *name,
				   int payload, void **value)
{
	struct blob_attr *attr;
	struct blobmsg_hdr *hdr;
	size_t namelen;
	int hdrlen;

	if (!name)
		name = "";

	namelen = strlen(name);
	if (namelen > UINT16_MAX)
		return NULL;

	hdrlen = blobmsg_hdrlen((unsigned int) namelen);
	attr = blob_new(buf, type, hdrlen + payload);
	if (!attr)
		return NULL;

	attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
	hdr = (struct blobmsg_hdr *) blob_data(attr);
	hdr->namelen = cpu_to_be16((uint16_t) namelen);
	memcpy(hdr->name, name, namelen);
	memset(hdr->name + namelen, 0, (size_t) hdrlen - sizeof(*hdr) - namelen);

	*value = (char *) blob_data(attr) + hdrlen;
	return attr;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name,
		      const void *data, unsigned int len)
{
	void *value;

	if (!new_named(buf, type, name, (int) len, &value))
		return -1;

	if (len && data)
		memcpy(value, data, len);
	return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array)
{
	size_t parent = (size_t) ((char *) buf->head - (char *) buf->buf);
	struct blob_attr *nested;
	void *value;

	nested = new_named(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE, name, 0, &value);
	if (!nested)
		return NULL;

	buf->head = nested;
	return (void *) (uintptr_t) (parent + BLOB_COOKIE);
}

void *blobmsg_alloc_string_buffer(struct blob_buf *buf, const char *name, unsigned int maxlen)
{
	struct blob_attr *attr;
	void *value;

	attr = new_named(buf, BLOBMSG_TYPE_STRING, name, (int) maxlen + 1, &value);
	if (!attr)
		return NULL;

	/* Not part of the parent until blobmsg_add_string_buffer. */
	blob_set_raw_len(buf->head, (unsigned int) (blob_pad_len(buf->head) - blob_pad_len(attr)));
	blob_set_raw_len(attr, (unsigned int) (blob_raw_len(attr) - maxlen - 1));
	return value;
}

void *blobmsg_realloc_string_buffer(struct blob_buf *buf, unsigned int maxlen)
{
	size_t attr_off = (size_t) ((char *) blob_next(buf->head) - (char *) buf->buf);
	struct blob_attr *attr = blob_next(buf->head);
	size_t value_end = attr_off + ((char *) blobmsg_data(attr) - (char *) attr) + maxlen + 1;

	if ((long) value_end > buf->buflen &&
	    !blob_buf_grow(buf, (int) (value_end - (size_t) buf->buflen)))
		return NULL;

	return blobmsg_data(blob_next(buf->head));
}

void blobmsg_add_string_buffer(struct blob_buf *buf)
{
	struct blob_attr *attr = blob_next(buf->head);
	size_t len = strlen(blobmsg_data(attr)) + 1;

	blob_set_raw_len(attr, (unsigned int) (blob_raw_len(attr) + len));
	blob_fill_pad(attr);
	blob_set_raw_len(buf->head, (unsigned int) (blob_raw_len(buf->head) + blob_pad_len(attr)));
}

int blobmsg_vprintf(struct blob_buf *buf, const char *name, const char *format, va_list arg)
{
	va_list probe;
	char *text;
	int len;

	va_copy(probe, arg);
	len = vsnprintf(NULL, 0, format, probe);
	va_end(probe);
	if (len < 0)
		return -1;

	text = blobmsg_alloc_string_buffer(buf, name, (unsigned int) len);
	if (!text)
		return -1;

	len = vsnprintf(text, (size_t) len + 1, format, arg);
	if (len < 0)
		return -1;

	blobmsg_add_string_buffer(buf);
	return len;
}

int blobmsg_printf(struct blob_buf *buf, const char *name, const char *format, ...)
{
	va_list ap;
	int ret;

	va_start(ap, format);
	ret = blobmsg_vprintf(buf, name, format, ap);
	va_end(ap);
	return ret;
}
