/*
 * libubus: client side of the ubus message bus.
 *
 * A context is one connection to the bus daemon.  It publishes objects whose
 * methods other clients invoke, looks objects up, invokes their methods and
 * sends and receives events.  Requests are completed synchronously
 * (ubus_complete_request, ubus_invoke) or through uloop once the context is
 * attached with ubus_add_uloop.
 */
#ifndef KELVORA_LIBUBUS_H
#define KELVORA_LIBUBUS_H

#include <stdint.h>
#include <string.h>

#include <libubox/list.h>
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>

#include "ubusmsg.h"
#include "ubus_common.h"

#ifdef __cplusplus
extern "C" {
#endif

struct ubus_context;
struct ubus_object;
struct ubus_request;
struct ubus_request_data;
struct ubus_object_data;
struct ubus_event_handler;

struct ubus_msghdr_buf {
	struct ubus_msghdr hdr;
	struct blob_attr *data;
};

typedef void (*ubus_lookup_handler_t)(struct ubus_context *ctx, struct ubus_object_data *obj, void *priv);
typedef int (*ubus_handler_t)(struct ubus_context *ctx, struct ubus_object *obj,
			      struct ubus_request_data *req, const char *method, struct blob_attr *msg);
typedef void (*ubus_state_handler_t)(struct ubus_context *ctx, struct ubus_object *obj);
typedef void (*ubus_event_handler_t)(struct ubus_context *ctx, struct ubus_event_handler *ev,
				     const char *type, struct blob_attr *msg);
typedef void (*ubus_data_handler_t)(struct ubus_request *req, int type, struct blob_attr *msg);
typedef void (*ubus_fd_handler_t)(struct ubus_request *req, int fd);
typedef void (*ubus_complete_handler_t)(struct ubus_request *req, int ret);

#define UBUS_OBJECT_TYPE(_name, _methods)		\
	{						\
		.name = _name,				\
		.id = 0,				\
		.methods = _methods,			\
		.n_methods = ARRAY_SIZE(_methods)	\
	}

#define __UBUS_METHOD_BASE(_name, _handler, _mask, _tags)	\
	.name = _name,						\
	.handler = _handler,					\
	.mask = _mask,						\
	.tags = _tags

#define __UBUS_METHOD_NOARG(_name, _handler, _mask, _tags)	\
	__UBUS_METHOD_BASE(_name, _handler, _mask, _tags),	\
	.policy = NULL,						\
	.n_policy = 0

#define __UBUS_METHOD(_name, _handler, _mask, _policy, _tags)	\
	__UBUS_METHOD_BASE(_name, _handler, _mask, _tags),	\
	.policy = _policy,					\
	.n_policy = ARRAY_SIZE(_policy)

#define UBUS_METHOD(_name, _handler, _policy)			\
	{ __UBUS_METHOD(_name, _handler, 0, _policy, 0) }

#define UBUS_METHOD_TAG(_name, _handler, _policy, _tags)	\
	{ __UBUS_METHOD(_name, _handler, 0, _policy, _tags) }

#define UBUS_METHOD_MASK(_name, _handler, _policy, _mask)	\
	{ __UBUS_METHOD(_name, _handler, _mask, _policy, 0) }

#define UBUS_METHOD_NOARG(_name, _handler)			\
	{ __UBUS_METHOD_NOARG(_name, _handler, 0, 0) }

#define UBUS_METHOD_TAG_NOARG(_name, _handler, _tags)		\
	{ __UBUS_METHOD_NOARG(_name, _handler, 0, _tags) }

#define UBUS_TAG_STATUS		(1ul << 0)
#define UBUS_TAG_ADMIN		(1ul << 1)
#define UBUS_TAG_PRIVATE	(1ul << 2)

struct ubus_method {
	const char *name;		/* NULL: matches every method */
	ubus_handler_t handler;

	unsigned long mask;		/* bit i set: policy[i] is announced */
	unsigned long tags;
	const struct blobmsg_policy *policy;
	int n_policy;
};

struct ubus_object_type {
	const char *name;
	uint32_t id;			/* given by the daemon */

	const struct ubus_method *methods;
	int n_methods;
};

struct ubus_object {
	struct list_head ctx_list;	/* in ubus_context.objects while published */

	const char *name;
	uint32_t id;			/* given by the daemon; 0 while unpublished */

	const char *path;
	struct ubus_object_type *type;

	ubus_state_handler_t subscribe_cb;
	bool has_subscribers;

	const struct ubus_method *methods;
	int n_methods;
};

struct ubus_event_handler {
	struct ubus_object obj;

	ubus_event_handler_t cb;
};

struct ubus_context {
	struct list_head requests;	/* requests waiting for their status */
	struct list_head objects;	/* published objects */
	struct list_head pending;	/* invocations queued during a synchronous request */

	struct uloop_fd sock;
	struct uloop_timeout pending_timer;

	uint32_t local_id;
	uint16_t request_seq;
	bool cancel_poll;
	int stack_depth;

	void (*connection_lost)(struct ubus_context *ctx);
	void (*monitor_cb)(struct ubus_context *ctx, uint32_t seq, struct blob_attr *data);

	struct ubus_msghdr_buf msgbuf;
	uint32_t msgbuf_data_len;
	int msgbuf_reduction_counter;
};

struct ubus_object_data {
	uint32_t id;
	uint32_t type_id;
	const char *path;
	struct blob_attr *signature;
};

struct ubus_acl_key {
	const char *user;
	const char *group;
	const char *object;
};

struct ubus_request_data {
	uint32_t object;
	uint32_t peer;
	uint16_t seq;

	struct ubus_acl_key acl;

	/* internal use */
	bool deferred;
	int fd;
	int req_fd;
};

struct ubus_request {
	struct list_head list;

	struct list_head pending;
	int status_code;
	bool status_msg;
	bool blocked;
	bool cancelled;
	bool notify;

	uint32_t peer;
	uint16_t seq;

	ubus_data_handler_t raw_data_cb;
	ubus_data_handler_t data_cb;
	ubus_fd_handler_t fd_cb;
	ubus_complete_handler_t complete_cb;

	int fd;

	struct ubus_context *ctx;
	void *priv;
};

/* Connects to the daemon at path (NULL: UBUS_UNIX_SOCKET); NULL on failure. */
struct ubus_context *ubus_connect(const char *path);
int ubus_connect_ctx(struct ubus_context *ctx, const char *path);
int ubus_reconnect(struct ubus_context *ctx, const char *path);
/* For contexts from ubus_connect. */
void ubus_free(struct ubus_context *ctx);
/* For contexts set up with ubus_connect_ctx. */
void ubus_shutdown(struct ubus_context *ctx);
/* Ends every request still waiting with UBUS_STATUS_TIMEOUT. */
void ubus_flush_requests(struct ubus_context *ctx);

const char *ubus_strerror(int error);

static inline void ubus_add_uloop(struct ubus_context *ctx)
{
	uloop_fd_add(&ctx->sock, ULOOP_BLOCKING | ULOOP_READ);
}

/* For read events on ctx->sock.fd when uloop is not used. */
static inline void ubus_handle_event(struct ubus_context *ctx)
{
	ctx->sock.cb(&ctx->sock, ULOOP_READ);
}

/* Waits for a request's status (timeout in ms, 0: none) and returns it. */
int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout);
/* Lets uloop complete the request; its complete_cb reports the status. */
void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req);
void ubus_abort_request(struct ubus_context *ctx, struct ubus_request *req);

/* Objects whose path is path, or starts with it when it ends in '*', or all
 * objects when path is NULL; cb runs once per object. */
int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv);
int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id);

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj);

/* Invokes method of object obj and waits at most timeout ms (0: no limit);
 * cb receives each reply's data. */
int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
		   struct blob_attr *msg, ubus_data_handler_t cb, void *priv,
		   int timeout, int fd);

static inline int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method,
			      struct blob_attr *msg, ubus_data_handler_t cb, void *priv,
			      int timeout)
{
	return ubus_invoke_fd(ctx, obj, method, msg, cb, priv, timeout, -1);
}

/* Sends the invocation only; complete req with ubus_complete_request(_async). */
int ubus_invoke_async_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
			 struct blob_attr *msg, struct ubus_request *req, int fd);

static inline int ubus_invoke_async(struct ubus_context *ctx, uint32_t obj, const char *method,
				    struct blob_attr *msg, struct ubus_request *req)
{
	return ubus_invoke_async_fd(ctx, obj, method, msg, req, -1);
}

/* Sends data for an incoming invocation (before its status). */
int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg);

/* Keeps an invocation open past its handler; finish it with
 * ubus_complete_deferred_request. */
static inline void ubus_defer_request(struct ubus_context *ctx, struct ubus_request_data *req,
				      struct ubus_request_data *new_req)
{
	(void) ctx;
	memcpy(new_req, req, sizeof(*req));
	req->deferred = true;
}

static inline void ubus_request_set_fd(struct ubus_context *ctx, struct ubus_request_data *req, int fd)
{
	(void) ctx;
	req->fd = fd;
}

static inline int ubus_request_get_caller_fd(struct ubus_request_data *req)
{
	int fd = req->req_fd;

	req->req_fd = -1;
	return fd;
}

/* Sends the status that ends an invocation. */
void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req, int ret);

/* Sends event id with the members of the table data. */
int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data);

/* Subscribes ev to the events named pattern (a trailing '*' matches any
 * name with that prefix); one handler may take several patterns. */
int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
				const char *pattern);

static inline int ubus_unregister_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev)
{
	return ubus_remove_object(ctx, &ev->obj);
}

#ifdef __cplusplus
}
#endif

#endif
