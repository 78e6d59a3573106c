/*
 * JSON <-> blobmsg on json-c.
 *
 * In: an object becomes a table, an array an array, a string a string, a
 * boolean a u8, an integer INT32 when it fits in 32 bits and INT64 otherwise,
 * a double a double, null an empty UNSPEC value.
 *
 * Out: integers as signed decimals, doubles with "%lf", booleans as
 * true/false, UNSPEC as null; strings escape '"', '\\' and control
 * characters and pass other bytes through unchanged.
 */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <json-c/json.h>

#include "libubox/blobmsg_json.h"

static bool add_array(struct blob_buf *b, struct json_object *arr)
{
	size_t i, n = json_object_array_length(arr);

	for (i = 0; i < n; i++)
		if (!blobmsg_add_json_element(b, NULL, json_object_array_get_idx(arr, i)))
			return false;
	return true;
}

bool blobmsg_add_object(struct blob_buf *b, struct json_object *obj)
{
	struct json_object_iterator it = json_object_iter_begin(obj);
	struct json_object_iterator end = json_object_iter_end(obj);

	for (; !json_object_iter_equal(&it, &end); json_object_iter_next(&it))
		if (!blobmsg_add_json_element(b, json_object_iter_peek_name(&it),
					      json_object_iter_peek_value(&it)))
			return false;
	return true;
}

bool blobmsg_add_json_element(struct blob_buf *b, const char *name, struct json_object *obj)
{
	void *cookie;
	bool ok = true;

	switch (json_object_get_type(obj)) {
	case json_type_object:
		cookie = blobmsg_open_table(b, name);
		ok = blobmsg_add_object(b, obj);
		blobmsg_close_table(b, cookie);
		break;
	case json_type_array:
		cookie = blobmsg_open_array(b, name);
		ok = add_array(b, obj);
		blobmsg_close_array(b, cookie);
		break;
	case json_type_string:
		blobmsg_add_string(b, name, json_object_get_string(obj));
		break;
	case json_type_boolean:
		blobmsg_add_u8(b, name, json_object_get_boolean(obj) ? 1 : 0);
		break;
	case json_type_int: {
		int64_t v = json_object_get_int64(obj);

		if (v >= INT32_MIN && v <= INT32_MAX)
			blobmsg_add_u32(b, name, (uint32_t) (int32_t) v);
		else
			blobmsg_add_u64(b, name, (uint64_t) v);
		break;
	}
	case json_type_double:
		blobmsg_add_double(b, name, json_object_get_double(obj));
		break;
	case json_type_null:
		blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, NULL, 0);
		break;
	default:
		return false;
	}
	return ok;
}

/* Adds the members of obj when it is an object; releases obj. */
static bool add_top_level(struct blob_buf *b, struct json_object *obj)
{
	bool ok = false;

	if (!obj)
		return false;

	if (json_object_get_type(obj) == json_type_object)
		ok = blobmsg_add_object(b, obj);

	json_object_put(obj);
	return ok;
}

bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str)
{
	if (!str)
		return false;
	return add_top_level(b, json_tokener_parse(str));
}

bool blobmsg_add_json_from_file(struct blob_buf *b, const char *file)
{
	return add_top_level(b, json_object_from_file(file));
}

struct out {
	char *buf;
	size_t len;
	size_t cap;
	bool failed;

	blobmsg_json_format_t cb;
	void *priv;
	bool indent;
	int level;
};

static void put(struct out *o, const char *text, size_t len)
{
	if (o->failed || !len)
		return;

	if (o->len + len + 1 > o->cap) {
		size_t cap = o->cap ? o->cap : 64;
		char *grown;

		while (cap < o->len + len + 1)
			cap *= 2;
		grown = realloc(o->buf, cap);
		if (!grown) {
			o->failed = true;
			return;
		}
		o->buf = grown;
		o->cap = cap;
	}

	memcpy(o->buf + o->len, text, len);
	o->len += len;
}

static void puts_str(struct out *o, const char *text)
{
	put(o, text, strlen(text));
}

static void newline(struct out *o)
{
	int i;

	if (!o->indent)
		return;

	put(o, "\n", 1);
	for (i = 0; i < o->level && i < 16; i++)
		put(o, "\t", 1);
}

static void put_string(struct out *o, const char *str)
{
	const unsigned char *p = (const unsigned char *) str, *run = p;

	put(o, "\"", 1);
	for (; *p; p++) {
		char esc[8];
		size_t n = 2;

		switch (*p) {
		case '"':
		case '\\':
			esc[1] = (char) *p;
			break;
		case '\b':
			esc[1] = 'b';
			break;
		case '\n':
			esc[1] = 'n';
			break;
		case '\t':
			esc[1] = 't';
			break;
		case '\r':
			esc[1] = 'r';
			break;
		default:
			if (*p >= 0x20)
				continue;
			snprintf(esc, sizeof(esc), "\\u%04x", *p);
			n = 6;
			break;
		}
		esc[0] = '\\';
		put(o, (const char *) run, (size_t) (p - run));
		put(o, esc, n);
		run = p + 1;
	}
	put(o, (const char *) run, (size_t) (p - run));
	put(o, "\"", 1);
}

static void put_list(struct out *o, struct blob_attr *first, size_t len, bool array);

static void put_element(struct out *o, struct blob_attr *attr, bool without_name)
{
	char num[400];
	const char *text = num;
	void *data;

	if (!blobmsg_check_attr(attr, false))
		return;

	if (!without_name && blobmsg_name(attr)[0]) {
		put_string(o, blobmsg_name(attr));
		put(o, ": ", o->indent ? 2 : 1);
	}

	if (o->cb) {
		const char *custom = o->cb(o->priv, attr);

		if (custom) {
			puts_str(o, custom);
			return;
		}
	}

	data = blobmsg_data(attr);
	switch (blob_id(attr)) {
	case BLOBMSG_TYPE_UNSPEC:
		text = "null";
		break;
	case BLOBMSG_TYPE_BOOL:
		text = *(uint8_t *) data ? "true" : "false";
		break;
	case BLOBMSG_TYPE_INT16:
		snprintf(num, sizeof(num), "%" PRId16, (int16_t) blobmsg_get_u16(attr));
		break;
	case BLOBMSG_TYPE_INT32:
		snprintf(num, sizeof(num), "%" PRId32, (int32_t) blobmsg_get_u32(attr));
		break;
	case BLOBMSG_TYPE_INT64:
		snprintf(num, sizeof(num), "%" PRId64, (int64_t) blobmsg_get_u64(attr));
		break;
	case BLOBMSG_TYPE_DOUBLE:
		snprintf(num, sizeof(num), "%lf", blobmsg_get_double(attr));
		break;
	case BLOBMSG_TYPE_STRING:
		put_string(o, data);
		return;
	case BLOBMSG_TYPE_ARRAY:
		put_list(o, data, blobmsg_data_len(attr), true);
		return;
	case BLOBMSG_TYPE_TABLE:
		put_list(o, data, blobmsg_data_len(attr), false);
		return;
	default:
		return;
	}
	puts_str(o, text);
}

static void put_list(struct out *o, struct blob_attr *first, size_t len, bool array)
{
	struct blob_attr *pos;
	size_t rem = len;
	bool more = false;

	put(o, array ? "[" : "{", 1);
	o->level++;
	newline(o);
	__blob_for_each_attr(pos, first, rem) {
		if (more) {
			put(o, ",", 1);
			newline(o);
		}
		put_element(o, pos, array);
		more = true;
	}
	o->level--;
	newline(o);
	put(o, array ? "]" : "}", 1);
}

/* Nothing printed gives an empty text, or NULL for an attribute without
 * payload. */
static char *finish(struct out *o, const struct blob_attr *attr)
{
	if (!o->failed && !o->buf && blob_len(attr) > 0) {
		o->buf = calloc(1, 1);
		o->failed = !o->buf;
	}
	if (o->failed || !o->buf) {
		free(o->buf);
		return NULL;
	}
	o->buf[o->len] = 0;
	return o->buf;
}

static void setup(struct out *o, blobmsg_json_format_t cb, void *priv, int indent)
{
	memset(o, 0, sizeof(*o));
	o->cb = cb;
	o->priv = priv;
	if (indent >= 0) {
		o->indent = true;
		o->level = indent;
	}
}

char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list,
				  blobmsg_json_format_t cb, void *priv, int indent)
{
	struct out o;

	if (!attr)
		return NULL;

	setup(&o, cb, priv, indent);
	if (list) {
		bool array = blob_is_extended(attr) && blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY;

		put_list(&o, blobmsg_data(attr), blobmsg_data_len(attr), array);
	} else {
		put_element(&o, attr, false);
	}
	return finish(&o, attr);
}

char *blobmsg_format_json_value_with_cb(struct blob_attr *attr, blobmsg_json_format_t cb,
					void *priv, int indent)
{
	struct out o;

	if (!attr)
		return NULL;

	setup(&o, cb, priv, indent);
	put_element(&o, attr, true);
	return finish(&o, attr);
}
