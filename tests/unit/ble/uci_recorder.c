/*
 * A stand-in "uci" object for tests of the registry: appends one line
 * "method request" per call to a file, and answers every "get" with a fixed
 * reply (none when it is empty). Usage: uci_recorder LOG [GET_REPLY]
 * The log file is created once the object is on the bus.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>

static const char *log_path;
static const char *get_reply;
static struct blob_buf reply;

static int handle(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
                  const char *method, struct blob_attr *msg) {
	(void)obj;
	char *text = blobmsg_format_json(msg, true);
	FILE *log = fopen(log_path, "a");
	if (log) {
		fprintf(log, "%s %s\n", method, text ? text : "null");
		fclose(log);
	}
	free(text);
	if (strcmp(method, "get") == 0 && get_reply && *get_reply) {
		blob_buf_init(&reply, 0);
		if (!blobmsg_add_json_from_string(&reply, get_reply))
			return UBUS_STATUS_UNKNOWN_ERROR;
		ubus_send_reply(ctx, req, reply.head);
	}
	return UBUS_STATUS_OK;
}

static const struct ubus_method methods[] = {
	UBUS_METHOD_NOARG("get", handle),
	UBUS_METHOD_NOARG("add", handle),
	UBUS_METHOD_NOARG("set", handle),
	UBUS_METHOD_NOARG("delete", handle),
	UBUS_METHOD_NOARG("commit", handle),
};

static struct ubus_object_type type = UBUS_OBJECT_TYPE("uci", methods);

static struct ubus_object object = {
	.name = "uci",
	.type = &type,
	.methods = methods,
	.n_methods = sizeof(methods) / sizeof(methods[0]),
};

int main(int argc, char **argv) {
	if (argc < 2) {
		fprintf(stderr, "usage: %s LOG [GET_REPLY]\n", argv[0]);
		return 2;
	}
	log_path = argv[1];
	get_reply = argc > 2 ? argv[2] : NULL;

	uloop_init();
	struct ubus_context *ctx = ubus_connect(NULL);
	if (!ctx) {
		fprintf(stderr, "uci_recorder: no bus\n");
		return 1;
	}
	ubus_add_uloop(ctx);
	if (ubus_add_object(ctx, &object) != 0) {
		fprintf(stderr, "uci_recorder: cannot add the object\n");
		return 1;
	}
	FILE *log = fopen(log_path, "a");
	if (log)
		fclose(log);
	uloop_run();
	ubus_free(ctx);
	uloop_done();
	blob_buf_free(&reply);
	return 0;
}
