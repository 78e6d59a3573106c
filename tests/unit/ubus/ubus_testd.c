/*
 * A bus client for tests: publishes one object whose methods exercise the
 * reply paths of libubus, writes "ready" on stdout once it is published and
 * runs until SIGTERM.  Written against the libubus API only, so that it
 * builds with the stand-ins and with the platform's libraries alike.
 *
 *   ubus_testd [-s socket] [-o object]
 *
 * Methods:
 *   echo   {...}                replies with its argument
 *   status {"code": int}        no data, status code
 *   multi  {}                   two replies {"n":1} and {"n":2}
 *   defer  {"delay": int}       replies {"deferred":true} after delay ms
 *   never  {}                   never answers
 *   args   {"s":str,"i":int,"t":table,"a":array,"b":bool,"d":double,"l":int64}
 *                               replies which members the policy matched
 *   nonfinite {}                replies {"inf":+inf,"ninf":-inf,"nan":nan,"a":[nan]},
 *                               doubles that JSON cannot carry
 */
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>

static struct ubus_context *ctx;

static int do_echo(struct ubus_context *c, struct ubus_object *obj, struct ubus_request_data *req,
		   const char *method, struct blob_attr *msg)
{
	(void) obj;
	(void) method;
	ubus_send_reply(c, req, msg);
	return 0;
}

static int do_nonfinite(struct ubus_context *c, struct ubus_object *obj, struct ubus_request_data *req,
			const char *method, struct blob_attr *msg)
{
	struct blob_buf b = { 0 };
	void *array;

	(void) obj;
	(void) method;
	(void) msg;
	blob_buf_init(&b, 0);
	blobmsg_add_double(&b, "inf", INFINITY);
	blobmsg_add_double(&b, "ninf", -INFINITY);
	blobmsg_add_double(&b, "nan", NAN);
	array = blobmsg_open_array(&b, "a");
	blobmsg_add_double(&b, NULL, NAN);
	blobmsg_close_array(&b, array);
	ubus_send_reply(c, req, b.head);
	blob_buf_free(&b);
	return 0;
}

enum { STATUS_CODE, __STATUS_MAX };
static const struct blobmsg_policy status_policy[__STATUS_MAX] = {
	[STATUS_CODE] = { .name = "code", .type = BLOBMSG_TYPE_INT32 },
};

static int do_status(struct ubus_context *c, struct ubus_object *obj, struct ubus_request_data *req,
		     const char *method, struct blob_attr *msg)
{
	struct blob_attr *tb[__STATUS_MAX];

	(void) c;
	(void) obj;
	(void) req;
	(void) method;
	blobmsg_parse(status_policy, __STATUS_MAX, tb, blob_data(msg), blob_len(msg));
	return tb[STATUS_CODE] ? (int) blobmsg_get_u32(tb[STATUS_CODE]) : 0;
}

static int do_multi(struct ubus_context *c, struct ubus_object *obj, struct ubus_request_data *req,
		    const char *method, struct blob_attr *msg)
{
	struct blob_buf b = { 0 };
	int n;

	(void) obj;
	(void) method;
	(void) msg;
	for (n = 1; n <= 2; n++) {
		blob_buf_init(&b, 0);
		blobmsg_add_u32(&b, "n", (uint32_t) n);
		ubus_send_reply(c, req, b.head);
	}
	blob_buf_free(&b);
	return 0;
}

struct deferred {
	struct uloop_timeout timer;
	struct ubus_request_data req;
};

static void finish_deferred(struct uloop_timeout *t)
{
	struct deferred *d = (struct deferred *) t;
	struct blob_buf b = { 0 };

	blob_buf_init(&b, 0);
	blobmsg_add_u8(&b, "deferred", 1);
	ubus_send_reply(ctx, &d->req, b.head);
	ubus_complete_deferred_request(ctx, &d->req, 0);
	blob_buf_free(&b);
	free(d);
}

enum { DEFER_DELAY, __DEFER_MAX };
static const struct blobmsg_policy defer_policy[__DEFER_MAX] = {
	[DEFER_DELAY] = { .name = "delay", .type = BLOBMSG_TYPE_INT32 },
};

static int do_defer(struct ubus_context *c, struct ubus_object *obj, struct ubus_request_data *req,
		    const char *method, struct blob_attr *msg)
{
	struct blob_attr *tb[__DEFER_MAX];
	struct deferred *d = calloc(1, sizeof(*d));

	(void) obj;
	(void) method;
	if (!d)
		return UBUS_STATUS_NO_MEMORY;
	blobmsg_parse(defer_policy, __DEFER_MAX, tb, blob_data(msg), blob_len(msg));
	ubus_defer_request(c, req, &d->req);
	d->timer.cb = finish_deferred;
	uloop_timeout_set(&d->timer, tb[DEFER_DELAY] ? (int) blobmsg_get_u32(tb[DEFER_DELAY]) : 0);
	return 0;
}

static int do_never(struct ubus_context *c, struct ubus_object *obj, struct ubus_request_data *req,
		    const char *method, struct blob_attr *msg)
{
	struct ubus_request_data ignored;

	(void) obj;
	(void) method;
	(void) msg;
	ubus_defer_request(c, req, &ignored);
	return 0;
}

enum { ARG_S, ARG_I, ARG_T, ARG_A, ARG_B, ARG_D, ARG_L, __ARG_MAX };
static const struct blobmsg_policy args_policy[__ARG_MAX] = {
	[ARG_S] = { .name = "s", .type = BLOBMSG_TYPE_STRING },
	[ARG_I] = { .name = "i", .type = BLOBMSG_TYPE_INT32 },
	[ARG_T] = { .name = "t", .type = BLOBMSG_TYPE_TABLE },
	[ARG_A] = { .name = "a", .type = BLOBMSG_TYPE_ARRAY },
	[ARG_B] = { .name = "b", .type = BLOBMSG_TYPE_BOOL },
	[ARG_D] = { .name = "d", .type = BLOBMSG_TYPE_DOUBLE },
	[ARG_L] = { .name = "l", .type = BLOBMSG_TYPE_INT64 },
};

static int do_args(struct ubus_context *c, struct ubus_object *obj, struct ubus_request_data *req,
		   const char *method, struct blob_attr *msg)
{
	struct blob_attr *tb[__ARG_MAX];
	struct blob_buf b = { 0 };
	void *list;
	int i;

	(void) obj;
	(void) method;
	blobmsg_parse(args_policy, __ARG_MAX, tb, blob_data(msg), blob_len(msg));
	blob_buf_init(&b, 0);
	list = blobmsg_open_array(&b, "matched");
	for (i = 0; i < __ARG_MAX; i++)
		if (tb[i])
			blobmsg_add_string(&b, NULL, args_policy[i].name);
	blobmsg_close_array(&b, list);
	ubus_send_reply(c, req, b.head);
	blob_buf_free(&b);
	return 0;
}

static const struct ubus_method methods[] = {
	UBUS_METHOD_NOARG("echo", do_echo),
	UBUS_METHOD("status", do_status, status_policy),
	UBUS_METHOD_NOARG("multi", do_multi),
	UBUS_METHOD("defer", do_defer, defer_policy),
	UBUS_METHOD_NOARG("never", do_never),
	UBUS_METHOD("args", do_args, args_policy),
	UBUS_METHOD_NOARG("nonfinite", do_nonfinite),
};

static struct ubus_object_type type = UBUS_OBJECT_TYPE("test", methods);

static struct ubus_object object = {
	.name = "test",
	.type = &type,
	.methods = methods,
	.n_methods = ARRAY_SIZE(methods),
};

static void announce_ready(struct uloop_timeout *t)
{
	(void) t;
	printf("ready\n");
	fflush(stdout);
}

static struct uloop_timeout ready = { .cb = announce_ready };

int main(int argc, char **argv)
{
	const char *socket_path = NULL;
	int ch, ret;

	while ((ch = getopt(argc, argv, "s:o:")) != -1) {
		switch (ch) {
		case 's':
			socket_path = optarg;
			break;
		case 'o':
			object.name = optarg;
			break;
		default:
			fprintf(stderr, "usage: %s [-s socket] [-o object]\n", argv[0]);
			return 2;
		}
	}

	signal(SIGTERM, SIG_DFL);
	signal(SIGINT, SIG_DFL);
	uloop_init();
	ctx = ubus_connect(socket_path);
	if (!ctx) {
		fprintf(stderr, "ubus_testd: cannot connect\n");
		return 1;
	}
	ubus_add_uloop(ctx);

	ret = ubus_add_object(ctx, &object);
	if (ret) {
		fprintf(stderr, "ubus_testd: add object: %s\n", ubus_strerror(ret));
		return 1;
	}
	/* Announced from inside the loop: a SIGTERM that arrived before
	 * uloop_run would be wiped by it. */
	uloop_timeout_set(&ready, 0);
	uloop_run();
	ubus_free(ctx);
	uloop_done();
	return 0;
}
