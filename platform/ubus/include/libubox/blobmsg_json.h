/*
 * Conversion between JSON text (json-c) and blobmsg.
 */
#ifndef KELVORA_LIBUBOX_BLOBMSG_JSON_H
#define KELVORA_LIBUBOX_BLOBMSG_JSON_H

#include <stdbool.h>

#include "blobmsg.h"

#ifdef __cplusplus
extern "C" {
#endif

struct json_object;

/* Adds the members of a JSON object to buf. */
bool blobmsg_add_object(struct blob_buf *b, struct json_object *obj);
/* Adds one JSON value under name. */
bool blobmsg_add_json_element(struct blob_buf *b, const char *name, struct json_object *obj);
/* Parses text whose top level must be an object and adds its members. */
bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str);
bool blobmsg_add_json_from_file(struct blob_buf *b, const char *file);

/* Asked for each value; returns the text to print instead, or NULL. */
typedef const char *(*blobmsg_json_format_t)(void *priv, struct blob_attr *attr);

/* Renders attr as JSON (list: its members as an object or array; indent < 0:
 * compact, else tab-indented from that level).  The text is malloc'ed. */
char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list,
				  blobmsg_json_format_t cb, void *priv, int indent);

static inline char *blobmsg_format_json(struct blob_attr *attr, bool list)
{
	return blobmsg_format_json_with_cb(attr, list, NULL, NULL, -1);
}

static inline char *blobmsg_format_json_indent(struct blob_attr *attr, bool list, int indent)
{
	return blobmsg_format_json_with_cb(attr, list, NULL, NULL, indent);
}

/* Renders one value without its name. */
char *blobmsg_format_json_value_with_cb(struct blob_attr *attr, blobmsg_json_format_t cb,
					void *priv, int indent);

static inline char *blobmsg_format_json_value(struct blob_attr *attr)
{
	return blobmsg_format_json_value_with_cb(attr, NULL, NULL, -1);
}

static inline char *blobmsg_format_json_value_indent(struct blob_attr *attr, int indent)
{
	return blobmsg_format_json_value_with_cb(attr, NULL, NULL, indent);
}

#ifdef __cplusplus
}
#endif

#endif
