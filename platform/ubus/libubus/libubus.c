/*
 * libubus stand-in: connection, message I/O, requests, objects and events.
 *
 * Every message is built in a blob buffer local to the call, so contexts
 * used on different threads share no buffer.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "libubus.h"

static const char *const status_text[__UBUS_STATUS_LAST] = {
	[UBUS_STATUS_OK] = "Success",
	[UBUS_STATUS_INVALID_COMMAND] = "Invalid command",
	[UBUS_STATUS_INVALID_ARGUMENT] = "Invalid argument",
	[UBUS_STATUS_METHOD_NOT_FOUND] = "Method not found",
	[UBUS_STATUS_NOT_FOUND] = "Not found",
	[UBUS_STATUS_NO_DATA] = "No response",
	[UBUS_STATUS_PERMISSION_DENIED] = "Permission denied",
	[UBUS_STATUS_TIMEOUT] = "Request timed out",
	[UBUS_STATUS_NOT_SUPPORTED] = "Operation not supported",
	[UBUS_STATUS_UNKNOWN_ERROR] = "Unknown error",
	[UBUS_STATUS_CONNECTION_FAILED] = "Connection failed",
	[UBUS_STATUS_NO_MEMORY] = "Out of memory",
	[UBUS_STATUS_PARSE_ERROR] = "Parsing message data failed",
	[UBUS_STATUS_SYSTEM_ERROR] = "System error",
};

const char *ubus_strerror(int error)
{
	static __thread char unknown[32];

	if (error >= 0 && error < __UBUS_STATUS_LAST && status_text[error])
		return status_text[error];

	snprintf(unknown, sizeof(unknown), "Unknown error: %d", error);
	return unknown;
}

/* ---------------------------------------------------------------- parsing */

static const struct blob_attr_info msg_policy[UBUS_ATTR_MAX] = {
	[UBUS_ATTR_STATUS] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_OBJPATH] = { .type = BLOB_ATTR_STRING },
	[UBUS_ATTR_OBJID] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_METHOD] = { .type = BLOB_ATTR_STRING },
	[UBUS_ATTR_OBJTYPE] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_SIGNATURE] = { .type = BLOB_ATTR_NESTED },
	[UBUS_ATTR_DATA] = { .type = BLOB_ATTR_NESTED },
	[UBUS_ATTR_TARGET] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_ACTIVE] = { .type = BLOB_ATTR_INT8 },
	[UBUS_ATTR_NO_REPLY] = { .type = BLOB_ATTR_INT8 },
	[UBUS_ATTR_SUBSCRIBERS] = { .type = BLOB_ATTR_NESTED },
	[UBUS_ATTR_USER] = { .type = BLOB_ATTR_STRING },
	[UBUS_ATTR_GROUP] = { .type = BLOB_ATTR_STRING },
};

static void parse_msg(struct blob_attr *msg, struct blob_attr **tb)
{
	memset(tb, 0, sizeof(*tb) * UBUS_ATTR_MAX);
	if (msg)
		blob_parse_untrusted(msg, blob_raw_len(msg), tb, msg_policy, UBUS_ATTR_MAX);
}

static bool header_ok(const struct ubus_msghdr *hdr, const struct blob_attr *data)
{
	return hdr->version == 0 &&
		blob_raw_len(data) >= sizeof(struct blob_attr) &&
		blob_pad_len(data) <= UBUS_MAX_MSGLEN;
}

/* -------------------------------------------------------------------- I/O */

static void wait_fd(int fd, short events, int timeout)
{
	struct pollfd pfd = { .fd = fd, .events = events };

	while (poll(&pfd, 1, timeout) < 0 && errno == EINTR)
		;
}

/* Writes the header and msg (an empty blob when NULL), passing fd along with
 * the first byte when fd >= 0; fd is closed afterwards. */
static int send_msg(struct ubus_context *ctx, uint16_t seq, struct blob_attr *msg,
		    int type, uint32_t peer, int fd)
{
	struct blob_attr empty;
	struct ubus_msghdr hdr = {
		.version = 0,
		.type = (uint8_t) type,
		.seq = cpu_to_be16(seq),
		.peer = cpu_to_be32(peer),
	};
	struct iovec iov[2];
	char control[CMSG_SPACE(sizeof(int))];
	struct msghdr mh;
	size_t total, done = 0;
	int ret = 0;

	if (!msg) {
		empty.id_len = cpu_to_be32(sizeof(empty));
		msg = &empty;
	}

	iov[0].iov_base = &hdr;
	iov[0].iov_len = sizeof(hdr);
	iov[1].iov_base = msg;
	iov[1].iov_len = blob_raw_len(msg);
	total = iov[0].iov_len + iov[1].iov_len;

	while (done < total) {
		struct iovec part[2];
		size_t skip = done;
		int n = 0, i;
		ssize_t sent;

		for (i = 0; i < 2; i++) {
			if (skip >= iov[i].iov_len) {
				skip -= iov[i].iov_len;
				continue;
			}
			part[n].iov_base = (char *) iov[i].iov_base + skip;
			part[n].iov_len = iov[i].iov_len - skip;
			skip = 0;
			n++;
		}

		memset(&mh, 0, sizeof(mh));
		mh.msg_iov = part;
		mh.msg_iovlen = (size_t) n;
		if (fd >= 0 && done == 0) {
			struct cmsghdr *cm;

			memset(control, 0, sizeof(control));
			mh.msg_control = control;
			mh.msg_controllen = sizeof(control);
			cm = CMSG_FIRSTHDR(&mh);
			cm->cmsg_level = SOL_SOCKET;
			cm->cmsg_type = SCM_RIGHTS;
			cm->cmsg_len = CMSG_LEN(sizeof(int));
			memcpy(CMSG_DATA(cm), &fd, sizeof(int));
		}

		sent = sendmsg(ctx->sock.fd, &mh, MSG_NOSIGNAL);
		if (sent < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK) {
				wait_fd(ctx->sock.fd, POLLOUT, -1);
				continue;
			}
			ctx->sock.eof = true;
			ret = -1;
			break;
		}
		done += (size_t) sent;
	}

	if (fd >= 0)
		close(fd);
	return ret < 0 ? ret : (int) total;
}

/* Reads len bytes.  With may_stop, returns 0 when nothing is waiting yet;
 * once a byte has arrived the rest is waited for.  -1 on end of stream or
 * error.  The first descriptor received is stored in *recv_fd. */
static int recv_full(int sock, void *buf, size_t len, bool may_stop, int *recv_fd)
{
	size_t got = 0;

	while (got < len) {
		char control[CMSG_SPACE(sizeof(int))];
		struct iovec iov = { .iov_base = (char *) buf + got, .iov_len = len - got };
		struct msghdr mh;
		ssize_t n;

		memset(&mh, 0, sizeof(mh));
		mh.msg_iov = &iov;
		mh.msg_iovlen = 1;
		if (recv_fd) {
			mh.msg_control = control;
			mh.msg_controllen = sizeof(control);
		}

		n = recvmsg(sock, &mh, MSG_CMSG_CLOEXEC);
		if (n == 0)
			return -1;
		if (n < 0) {
			if (errno == EINTR)
				continue;
			if (errno != EAGAIN && errno != EWOULDBLOCK)
				return -1;
			if (may_stop && got == 0)
				return 0;
			wait_fd(sock, POLLIN, -1);
			continue;
		}

		if (recv_fd) {
			struct cmsghdr *cm;

			/* musl's CMSG_NXTHDR compares a size_t with a signed difference. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
			for (cm = CMSG_FIRSTHDR(&mh); cm; cm = CMSG_NXTHDR(&mh, cm)) {
				if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS)
					continue;
				if (*recv_fd < 0)
					memcpy(recv_fd, CMSG_DATA(cm), sizeof(int));
			}
#pragma GCC diagnostic pop
			recv_fd = NULL;
		}
		got += (size_t) n;
	}
	return (int) got;
}

static bool msgbuf_reserve(struct ubus_context *ctx, size_t len)
{
	size_t want = (len + UBUS_MSG_CHUNK_SIZE - 1) / UBUS_MSG_CHUNK_SIZE * UBUS_MSG_CHUNK_SIZE;
	void *grown;

	if (ctx->msgbuf.data && want <= ctx->msgbuf_data_len)
		return true;

	grown = realloc(ctx->msgbuf.data, want);
	if (!grown)
		return false;

	ctx->msgbuf.data = grown;
	ctx->msgbuf_data_len = (uint32_t) want;
	return true;
}

/* Reads the next message into ctx->msgbuf: 1 when one was read, 0 when none
 * is waiting, -1 when the connection is unusable (eof is then set). */
static int next_msg(struct ubus_context *ctx, int *recv_fd)
{
	struct {
		struct ubus_msghdr hdr;
		struct blob_attr data;
	} head;
	int r;

	r = recv_full(ctx->sock.fd, &head, sizeof(head), true, recv_fd);
	if (r == 0)
		return 0;
	if (r < 0)
		goto broken;

	head.hdr.seq = be16_to_cpu(head.hdr.seq);
	head.hdr.peer = be32_to_cpu(head.hdr.peer);
	if (!header_ok(&head.hdr, &head.data))
		goto broken;

	if (!msgbuf_reserve(ctx, blob_raw_len(&head.data)))
		goto broken;

	ctx->msgbuf.hdr = head.hdr;
	memcpy(ctx->msgbuf.data, &head.data, sizeof(head.data));
	if (blob_len(&head.data) > 0 &&
	    recv_full(ctx->sock.fd, blob_data(ctx->msgbuf.data), blob_len(&head.data), false, NULL) < 0)
		goto broken;

	return 1;

broken:
	ctx->sock.eof = true;
	if (*recv_fd >= 0) {
		close(*recv_fd);
		*recv_fd = -1;
	}
	return -1;
}

/* --------------------------------------------------------------- requests */

struct pending_data {
	struct list_head list;
	int type;
	struct blob_attr data[];
};

static void deliver_data(struct ubus_request *req, int type, struct blob_attr *msg)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];

	if (req->raw_data_cb)
		req->raw_data_cb(req, type, msg);

	if (!req->data_cb)
		return;

	parse_msg(msg, tb);
	if (tb[UBUS_ATTR_DATA])
		req->data_cb(req, type, tb[UBUS_ATTR_DATA]);
}

static void deliver_queued(struct ubus_request *req)
{
	struct pending_data *d, *tmp;

	list_for_each_entry_safe(d, tmp, &req->pending, list) {
		list_del(&d->list);
		if (!req->cancelled)
			deliver_data(req, d->type, d->data);
		free(d);
	}
}

static void fire_complete(struct ubus_request *req)
{
	ubus_complete_handler_t cb = req->complete_cb;

	if (!cb)
		return;

	req->complete_cb = NULL;
	cb(req, req->status_code);
}

static void set_status(struct ubus_request *req, int status)
{
	if (!list_empty(&req->list))
		list_del_init(&req->list);

	req->status_msg = true;
	req->status_code = status;
	if (!req->blocked)
		fire_complete(req);
}

/* Sends a request message; req must be zeroed apart from fd. */
static int start_request(struct ubus_context *ctx, struct ubus_request *req,
			 struct blob_attr *msg, int type, uint32_t peer)
{
	if (msg && blob_pad_len(msg) > UBUS_MAX_MSGLEN)
		return -1;

	INIT_LIST_HEAD(&req->list);
	INIT_LIST_HEAD(&req->pending);
	req->ctx = ctx;
	req->peer = peer;
	req->seq = ++ctx->request_seq;

	if (ctx->sock.fd < 0)
		return -1;

	return send_msg(ctx, req->seq, msg, type, peer, req->fd);
}

static int start_fresh_request(struct ubus_context *ctx, struct ubus_request *req,
			       struct blob_attr *msg, int type, uint32_t peer)
{
	memset(req, 0, sizeof(*req));
	req->fd = -1;
	return start_request(ctx, req, msg, type, peer);
}

void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req)
{
	if (!list_empty(&req->list))
		return;

	list_add(&req->list, &ctx->requests);
}

void ubus_abort_request(struct ubus_context *ctx, struct ubus_request *req)
{
	(void) ctx;

	if (list_empty(&req->list))
		return;

	req->cancelled = true;
	deliver_queued(req);
	list_del_init(&req->list);
}

void ubus_flush_requests(struct ubus_context *ctx)
{
	while (!list_empty(&ctx->requests)) {
		struct ubus_request *req = list_first_entry(&ctx->requests, struct ubus_request, list);

		set_status(req, UBUS_STATUS_TIMEOUT);
	}
}

static struct ubus_request *find_request(struct ubus_context *ctx, uint16_t seq, uint32_t peer)
{
	struct ubus_request *req;

	list_for_each_entry(req, &ctx->requests, list)
		if (req->seq == seq && req->peer == peer)
			return req;
	return NULL;
}

static void on_status(struct ubus_context *ctx, struct ubus_msghdr_buf *buf, int fd)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];
	struct ubus_request *req = find_request(ctx, buf->hdr.seq, buf->hdr.peer);
	int status = UBUS_STATUS_INVALID_ARGUMENT;

	if (!req) {
		if (fd >= 0)
			close(fd);
		return;
	}

	if (fd >= 0) {
		if (req->fd_cb)
			req->fd_cb(req, fd);
		else
			close(fd);
	}

	parse_msg(buf->data, tb);
	if (tb[UBUS_ATTR_STATUS])
		status = (int) blob_get_u32(tb[UBUS_ATTR_STATUS]);

	req->peer = buf->hdr.peer;
	set_status(req, status);
}

static void on_data(struct ubus_context *ctx, struct ubus_msghdr_buf *buf)
{
	struct ubus_request *req = find_request(ctx, buf->hdr.seq, buf->hdr.peer);
	struct pending_data *d;
	size_t len;

	if (!req || (!req->data_cb && !req->raw_data_cb))
		return;

	if (!req->blocked) {
		req->blocked = true;
		deliver_data(req, buf->hdr.type, buf->data);
		deliver_queued(req);
		req->blocked = false;
		if (req->status_msg)
			fire_complete(req);
		return;
	}

	/* A callback of this request is running further up the stack. */
	len = blob_raw_len(buf->data);
	d = calloc(1, sizeof(*d) + len);
	if (!d)
		return;
	d->type = buf->hdr.type;
	memcpy(d->data, buf->data, len);
	list_add_tail(&d->list, &req->pending);
}

static void sync_complete(struct ubus_request *req, int status)
{
	req->status_msg = true;
	req->status_code = status;
	req->ctx->cancel_poll = true;
}

static int64_t now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t) ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void process_queued_invocations(struct ubus_context *ctx);
static void handle_data(struct uloop_fd *u, unsigned int events);

int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout)
{
	ubus_complete_handler_t user_cb = req->complete_cb;
	int64_t deadline = timeout ? now_ms() + timeout : 0;
	int status = UBUS_STATUS_NO_DATA;

	ubus_complete_request_async(ctx, req);
	req->complete_cb = sync_complete;

	ctx->stack_depth++;
	while (!req->status_msg) {
		int wait = -1;
		struct pollfd pfd = { .fd = ctx->sock.fd, .events = POLLIN | POLLERR };

		if (timeout) {
			int64_t left = deadline - now_ms();

			if (left <= 0) {
				set_status(req, UBUS_STATUS_TIMEOUT);
				break;
			}
			wait = (int) left;
		}

		ctx->cancel_poll = false;
		if (poll(&pfd, 1, wait) < 0 && errno != EINTR) {
			ctx->sock.eof = true;
		} else {
			handle_data(&ctx->sock, ULOOP_READ);
		}

		if (ctx->sock.eof && !req->status_msg) {
			set_status(req, UBUS_STATUS_CONNECTION_FAILED);
			ctx->cancel_poll = true;
			break;
		}
	}
	ctx->stack_depth--;
	if (ctx->stack_depth)
		ctx->cancel_poll = true;

	if (req->status_msg)
		status = req->status_code;

	req->complete_cb = user_cb;
	if (user_cb)
		user_cb(req, status);

	if (!ctx->stack_depth && !ctx->sock.registered)
		process_queued_invocations(ctx);

	return status;
}

/* ---------------------------------------------------- incoming invocations */

struct queued_msg {
	struct list_head list;
	struct ubus_msghdr hdr;
	struct blob_attr data[];
};

static struct ubus_object *find_object(struct ubus_context *ctx, uint32_t id)
{
	struct ubus_object *obj;

	list_for_each_entry(obj, &ctx->objects, ctx_list)
		if (obj->id == id)
			return obj;
	return NULL;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req, int ret)
{
	struct blob_buf b = { 0 };

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_STATUS, (uint32_t) ret);
	blob_put_int32(&b, UBUS_ATTR_OBJID, req->object);
	send_msg(ctx, req->seq, b.head, UBUS_MSG_STATUS, req->peer, req->fd);
	req->fd = -1;
	blob_buf_free(&b);
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg)
{
	struct blob_buf b = { 0 };
	int ret;

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, req->object);
	blob_put(&b, UBUS_ATTR_DATA, msg ? blob_data(msg) : NULL, msg ? (unsigned int) blob_len(msg) : 0);
	ret = send_msg(ctx, req->seq, b.head, UBUS_MSG_DATA, req->peer, -1);
	blob_buf_free(&b);
	return ret < 0 ? UBUS_STATUS_NO_DATA : 0;
}

static void invoke_object(struct ubus_context *ctx, const struct ubus_msghdr *hdr,
			  struct blob_attr **tb, int fd)
{
	struct ubus_request_data req = { .fd = -1, .req_fd = fd };
	struct ubus_object *obj;
	const char *method;
	ubus_handler_t handler = NULL;
	bool no_reply = false;
	int ret, i;

	req.peer = hdr->peer;
	req.seq = hdr->seq;
	req.object = blob_get_u32(tb[UBUS_ATTR_OBJID]);

	obj = find_object(ctx, req.object);
	if (!obj) {
		ret = UBUS_STATUS_NOT_FOUND;
		goto send;
	}

	if (!tb[UBUS_ATTR_METHOD]) {
		ret = UBUS_STATUS_INVALID_ARGUMENT;
		goto send;
	}
	method = blob_data(tb[UBUS_ATTR_METHOD]);

	if (tb[UBUS_ATTR_NO_REPLY])
		no_reply = blob_get_int8(tb[UBUS_ATTR_NO_REPLY]) != 0;

	if (tb[UBUS_ATTR_USER] && tb[UBUS_ATTR_GROUP]) {
		req.acl.user = blob_data(tb[UBUS_ATTR_USER]);
		req.acl.group = blob_data(tb[UBUS_ATTR_GROUP]);
		req.acl.object = obj->name;
	}

	for (i = 0; i < obj->n_methods; i++) {
		if (!obj->methods[i].name || !strcmp(obj->methods[i].name, method)) {
			handler = obj->methods[i].handler;
			break;
		}
	}
	if (!handler) {
		ret = UBUS_STATUS_METHOD_NOT_FOUND;
		goto send;
	}

	if (!tb[UBUS_ATTR_DATA]) {
		ret = UBUS_STATUS_INVALID_ARGUMENT;
		goto send;
	}

	ret = handler(ctx, obj, &req, method, tb[UBUS_ATTR_DATA]);
	if (req.req_fd >= 0)
		close(req.req_fd);
	req.req_fd = -1;
	if (req.deferred || no_reply)
		return;

send:
	if (req.req_fd >= 0)
		close(req.req_fd);
	ubus_complete_deferred_request(ctx, &req, ret);
}

static void process_obj_msg(struct ubus_context *ctx, struct ubus_msghdr_buf *buf, int fd)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];
	struct ubus_msghdr hdr = buf->hdr;
	void *stolen = NULL;
	uint32_t stolen_len = 0;

	parse_msg(buf->data, tb);
	if (buf->hdr.type != UBUS_MSG_INVOKE || !tb[UBUS_ATTR_OBJID]) {
		if (fd >= 0)
			close(fd);
		return;
	}

	/* The handler may issue requests that read into ctx->msgbuf: let them
	 * use a buffer of their own while this message is in use. */
	if (buf == &ctx->msgbuf) {
		stolen = buf->data;
		stolen_len = ctx->msgbuf_data_len;
		buf->data = NULL;
		ctx->msgbuf_data_len = 0;
	}

	invoke_object(ctx, &hdr, tb, fd);

	if (stolen) {
		if (ctx->msgbuf.data) {
			free(stolen);
		} else {
			ctx->msgbuf.data = stolen;
			ctx->msgbuf_data_len = stolen_len;
		}
	}
}

static void queue_invocation(struct ubus_context *ctx, struct ubus_msghdr_buf *buf)
{
	size_t len = blob_raw_len(buf->data);
	struct queued_msg *q = calloc(1, sizeof(*q) + len);

	if (!q)
		return;

	q->hdr = buf->hdr;
	memcpy(q->data, buf->data, len);
	list_add_tail(&q->list, &ctx->pending);
	if (ctx->sock.registered)
		uloop_timeout_set(&ctx->pending_timer, 1);
}

static void process_msg(struct ubus_context *ctx, struct ubus_msghdr_buf *buf, int fd)
{
	switch (buf->hdr.type) {
	case UBUS_MSG_STATUS:
		on_status(ctx, buf, fd);
		return;
	case UBUS_MSG_DATA:
		if (fd >= 0)
			close(fd);
		on_data(ctx, buf);
		return;
	case UBUS_MSG_INVOKE:
		if (ctx->stack_depth) {
			if (fd >= 0)
				close(fd);
			queue_invocation(ctx, buf);
			return;
		}
		ctx->stack_depth++;
		process_obj_msg(ctx, buf, fd);
		ctx->stack_depth--;
		return;
	case UBUS_MSG_MONITOR:
		if (ctx->monitor_cb)
			ctx->monitor_cb(ctx, buf->hdr.seq, buf->data);
		break;
	default:
		break;
	}
	if (fd >= 0)
		close(fd);
}

static void process_queued_invocations(struct ubus_context *ctx)
{
	while (!list_empty(&ctx->pending) && !ctx->stack_depth) {
		struct queued_msg *q = list_first_entry(&ctx->pending, struct queued_msg, list);
		struct ubus_msghdr_buf buf = { .hdr = q->hdr, .data = q->data };

		list_del(&q->list);
		process_msg(ctx, &buf, -1);
		free(q);
	}
}

static void pending_timer_cb(struct uloop_timeout *t)
{
	process_queued_invocations(container_of(t, struct ubus_context, pending_timer));
}

static void handle_data(struct uloop_fd *u, unsigned int events)
{
	struct ubus_context *ctx = container_of(u, struct ubus_context, sock);

	(void) events;
	for (;;) {
		int fd = -1;

		if (!ctx->stack_depth)
			process_queued_invocations(ctx);

		if (next_msg(ctx, &fd) <= 0)
			break;

		process_msg(ctx, &ctx->msgbuf, fd);
		if (uloop_cancelling() || ctx->cancel_poll)
			break;
	}

	if (!ctx->stack_depth)
		process_queued_invocations(ctx);

	if (u->eof) {
		ubus_flush_requests(ctx);
		if (ctx->connection_lost)
			ctx->connection_lost(ctx);
	}
}

/* ----------------------------------------------------------------- lookup */

struct lookup_request {
	struct ubus_request req;
	ubus_lookup_handler_t cb;
};

static void lookup_data(struct ubus_request *req, int type, struct blob_attr *msg)
{
	struct lookup_request *lr = container_of(req, struct lookup_request, req);
	struct blob_attr *tb[UBUS_ATTR_MAX];
	struct ubus_object_data obj = { 0 };

	(void) type;
	parse_msg(msg, tb);
	if (!tb[UBUS_ATTR_OBJID] || !tb[UBUS_ATTR_OBJPATH] || !tb[UBUS_ATTR_OBJTYPE])
		return;

	obj.id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	obj.path = blob_data(tb[UBUS_ATTR_OBJPATH]);
	obj.type_id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
	obj.signature = tb[UBUS_ATTR_SIGNATURE];
	if (lr->cb)
		lr->cb(req->ctx, &obj, req->priv);
}

static int send_lookup(struct ubus_context *ctx, struct ubus_request *req, const char *path)
{
	struct blob_buf b = { 0 };
	int ret;

	blob_buf_init(&b, 0);
	if (path)
		blob_put_string(&b, UBUS_ATTR_OBJPATH, path);
	ret = start_fresh_request(ctx, req, b.head, UBUS_MSG_LOOKUP, 0);
	blob_buf_free(&b);
	return ret;
}

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv)
{
	struct lookup_request lr;

	if (send_lookup(ctx, &lr.req, path) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;

	lr.req.raw_data_cb = lookup_data;
	lr.req.priv = priv;
	lr.cb = cb;
	return ubus_complete_request(ctx, &lr.req, 0);
}

static void lookup_id_data(struct ubus_request *req, int type, struct blob_attr *msg)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];

	(void) type;
	parse_msg(msg, tb);
	if (tb[UBUS_ATTR_OBJID])
		*(uint32_t *) req->priv = blob_get_u32(tb[UBUS_ATTR_OBJID]);
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
	struct ubus_request req;

	if (send_lookup(ctx, &req, path) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;

	req.raw_data_cb = lookup_id_data;
	req.priv = id;
	return ubus_complete_request(ctx, &req, 0);
}

/* ---------------------------------------------------------------- objects */

static void add_signature(struct blob_buf *b, const struct ubus_object_type *type)
{
	void *sig = blob_nest_start(b, UBUS_ATTR_SIGNATURE);
	int i, j;

	for (i = 0; i < type->n_methods; i++) {
		const struct ubus_method *m = &type->methods[i];
		void *tbl = blobmsg_open_table(b, m->name);

		for (j = 0; j < m->n_policy; j++) {
			if (m->mask && !(m->mask & (1ul << j)))
				continue;
			blobmsg_add_u32(b, m->policy[j].name, (uint32_t) m->policy[j].type);
		}
		blobmsg_close_table(b, tbl);
	}
	blob_nest_end(b, sig);
}

static void add_object_data(struct ubus_request *req, int type, struct blob_attr *msg)
{
	struct ubus_object *obj = req->priv;
	struct blob_attr *tb[UBUS_ATTR_MAX];

	(void) type;
	parse_msg(msg, tb);
	if (!tb[UBUS_ATTR_OBJID])
		return;

	obj->id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
		obj->type->id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
	list_add_tail(&obj->ctx_list, &req->ctx->objects);
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	struct blob_buf b = { 0 };
	struct ubus_request req;
	int ret;

	blob_buf_init(&b, 0);
	if (obj->name && obj->type) {
		blob_put_string(&b, UBUS_ATTR_OBJPATH, obj->name);
		if (obj->type->id)
			blob_put_int32(&b, UBUS_ATTR_OBJTYPE, obj->type->id);
		else
			add_signature(&b, obj->type);
	}

	ret = start_fresh_request(ctx, &req, b.head, UBUS_MSG_ADD_OBJECT, 0);
	blob_buf_free(&b);
	if (ret < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;

	req.raw_data_cb = add_object_data;
	req.priv = obj;
	ret = ubus_complete_request(ctx, &req, 0);
	if (ret)
		return ret;

	return obj->id ? 0 : UBUS_STATUS_NO_DATA;
}

static void remove_object_data(struct ubus_request *req, int type, struct blob_attr *msg)
{
	struct ubus_object *obj = req->priv;
	struct blob_attr *tb[UBUS_ATTR_MAX];

	(void) type;
	parse_msg(msg, tb);
	if (!tb[UBUS_ATTR_OBJID])
		return;

	if (obj->id && find_object(req->ctx, obj->id) == obj)
		list_del_init(&obj->ctx_list);
	obj->id = 0;
	if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
		obj->type->id = 0;
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	struct blob_buf b = { 0 };
	struct ubus_request req;
	int ret;

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);
	ret = start_fresh_request(ctx, &req, b.head, UBUS_MSG_REMOVE_OBJECT, 0);
	blob_buf_free(&b);
	if (ret < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;

	req.raw_data_cb = remove_object_data;
	req.priv = obj;
	ret = ubus_complete_request(ctx, &req, 0);
	if (ret)
		return ret;

	return obj->id ? UBUS_STATUS_NO_DATA : 0;
}

/* ----------------------------------------------------------------- invoke */

int ubus_invoke_async_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
			 struct blob_attr *msg, struct ubus_request *req, int fd)
{
	struct blob_buf b = { 0 };
	int ret;

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, obj);
	blob_put_string(&b, UBUS_ATTR_METHOD, method);
	blob_put(&b, UBUS_ATTR_DATA, msg ? blob_data(msg) : NULL, msg ? (unsigned int) blob_len(msg) : 0);

	memset(req, 0, sizeof(*req));
	req->fd = fd;
	ret = start_request(ctx, req, b.head, UBUS_MSG_INVOKE, obj);
	blob_buf_free(&b);
	return ret < 0 ? UBUS_STATUS_INVALID_ARGUMENT : 0;
}

int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
		   struct blob_attr *msg, ubus_data_handler_t cb, void *priv,
		   int timeout, int fd)
{
	struct ubus_request req;
	int ret;

	ret = ubus_invoke_async_fd(ctx, obj, method, msg, &req, fd);
	if (ret)
		return ret;

	req.data_cb = cb;
	req.priv = priv;
	return ubus_complete_request(ctx, &req, timeout);
}

/* ----------------------------------------------------------------- events */

static int event_method_cb(struct ubus_context *ctx, struct ubus_object *obj,
			   struct ubus_request_data *req, const char *method, struct blob_attr *msg)
{
	struct ubus_event_handler *ev = container_of(obj, struct ubus_event_handler, obj);

	(void) req;
	if (ev->cb)
		ev->cb(ctx, ev, method, msg);
	return 0;
}

static const struct ubus_method event_method = {
	.name = NULL,
	.handler = event_method_cb,
};

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
				const char *pattern)
{
	struct ubus_object *obj = &ev->obj;
	struct blob_buf b = { 0 };
	int ret;

	if (!obj->id) {
		obj->methods = &event_method;
		obj->n_methods = 1;

		if (!obj->name != !obj->type)
			return UBUS_STATUS_INVALID_ARGUMENT;

		ret = ubus_add_object(ctx, obj);
		if (ret)
			return ret;
	}

	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "object", obj->id);
	if (pattern)
		blobmsg_add_string(&b, "pattern", pattern);
	ret = ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_EVENT, "register", b.head, NULL, NULL, 0);
	blob_buf_free(&b);
	return ret;
}

int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data)
{
	struct blob_buf b = { 0 };
	struct ubus_request req;
	void *nest;
	int ret;

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
	blob_put_string(&b, UBUS_ATTR_METHOD, "send");
	nest = blob_nest_start(&b, UBUS_ATTR_DATA);
	blobmsg_add_string(&b, "id", id);
	blobmsg_add_field(&b, BLOBMSG_TYPE_TABLE, "data",
			  data ? blob_data(data) : NULL, data ? (unsigned int) blob_len(data) : 0);
	blob_nest_end(&b, nest);

	ret = start_fresh_request(ctx, &req, b.head, UBUS_MSG_INVOKE, UBUS_SYSTEM_OBJECT_EVENT);
	blob_buf_free(&b);
	if (ret < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;

	return ubus_complete_request(ctx, &req, 0);
}

/* ------------------------------------------------------------- connection */

static void default_connection_lost(struct ubus_context *ctx)
{
	if (ctx->sock.registered)
		uloop_end();
}

static int init_context(struct ubus_context *ctx)
{
	uloop_init();
	memset(ctx, 0, sizeof(*ctx));

	ctx->sock.fd = -1;
	ctx->sock.cb = handle_data;
	ctx->connection_lost = default_connection_lost;
	ctx->pending_timer.cb = pending_timer_cb;
	INIT_LIST_HEAD(&ctx->requests);
	INIT_LIST_HEAD(&ctx->objects);
	INIT_LIST_HEAD(&ctx->pending);

	return msgbuf_reserve(ctx, UBUS_MSG_CHUNK_SIZE) ? 0 : -1;
}

/* Publishes again the objects of a context that has reconnected. */
static void republish(struct ubus_context *ctx)
{
	struct list_head old;
	struct ubus_object *obj, *tmp;

	INIT_LIST_HEAD(&old);
	list_splice_init(&ctx->objects, &old);
	list_for_each_entry(obj, &old, ctx_list)
		if (obj->type)
			obj->type->id = 0;

	list_for_each_entry_safe(obj, tmp, &old, ctx_list) {
		list_del_init(&obj->ctx_list);
		obj->id = 0;
		ubus_add_object(ctx, obj);
	}
}

int ubus_reconnect(struct ubus_context *ctx, const char *path)
{
	struct sockaddr_un addr = { .sun_family = AF_UNIX };
	struct {
		struct ubus_msghdr hdr;
		struct blob_attr data;
	} hello;
	char *rest = NULL;
	int fd, fl;

	if (!path)
		path = UBUS_UNIX_SOCKET;

	if (ctx->sock.fd >= 0) {
		if (ctx->sock.registered)
			uloop_fd_delete(&ctx->sock);
		close(ctx->sock.fd);
		ctx->sock.fd = -1;
	}
	ctx->sock.eof = false;
	ctx->sock.error = false;

	if (strlen(path) >= sizeof(addr.sun_path))
		return UBUS_STATUS_CONNECTION_FAILED;
	strcpy(addr.sun_path, path);

	fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return UBUS_STATUS_CONNECTION_FAILED;
	if (connect(fd, (struct sockaddr *) &addr, sizeof(addr)) < 0) {
		close(fd);
		return UBUS_STATUS_CONNECTION_FAILED;
	}

	if (recv_full(fd, &hello, sizeof(hello), false, NULL) < 0)
		goto fail;

	hello.hdr.peer = be32_to_cpu(hello.hdr.peer);
	if (!header_ok(&hello.hdr, &hello.data) || hello.hdr.type != UBUS_MSG_HELLO)
		goto fail;

	if (blob_len(&hello.data) > 0) {
		rest = malloc(blob_len(&hello.data));
		if (!rest || recv_full(fd, rest, blob_len(&hello.data), false, NULL) < 0)
			goto fail;
		free(rest);
		rest = NULL;
	}

	if (hello.hdr.peer <= UBUS_CLIENT_ID_CHANNEL)
		goto fail;

	ctx->local_id = hello.hdr.peer;
	fl = fcntl(fd, F_GETFL);
	fcntl(fd, F_SETFL, fl | O_NONBLOCK);
	ctx->sock.fd = fd;

	republish(ctx);
	return UBUS_STATUS_OK;

fail:
	free(rest);
	close(fd);
	return UBUS_STATUS_UNKNOWN_ERROR;
}

int ubus_connect_ctx(struct ubus_context *ctx, const char *path)
{
	if (init_context(ctx))
		return -1;

	if (ubus_reconnect(ctx, path)) {
		free(ctx->msgbuf.data);
		ctx->msgbuf.data = NULL;
		return -1;
	}
	return 0;
}

struct ubus_context *ubus_connect(const char *path)
{
	struct ubus_context *ctx = calloc(1, sizeof(*ctx));

	if (!ctx)
		return NULL;

	if (ubus_connect_ctx(ctx, path)) {
		free(ctx);
		return NULL;
	}
	return ctx;
}

void ubus_shutdown(struct ubus_context *ctx)
{
	struct queued_msg *q, *tmp;

	if (!ctx)
		return;

	uloop_fd_delete(&ctx->sock);
	if (ctx->sock.fd >= 0)
		close(ctx->sock.fd);
	ctx->sock.fd = -1;
	uloop_timeout_cancel(&ctx->pending_timer);

	list_for_each_entry_safe(q, tmp, &ctx->pending, list) {
		list_del(&q->list);
		free(q);
	}

	free(ctx->msgbuf.data);
	ctx->msgbuf.data = NULL;
}

void ubus_free(struct ubus_context *ctx)
{
	ubus_shutdown(ctx);
	free(ctx);
}
