/*
 * ubusd: the bus daemon.
 *
 * Clients connect to a Unix socket and get a HELLO carrying their id.  They
 * publish objects (a path and a signature of methods), look objects up,
 * invoke methods (routed to the object's client, whose DATA and STATUS
 * replies are routed back) and use the event object (id 1): "register"
 * subscribes one of the client's objects to a pattern, "send" delivers an
 * event to every object whose pattern matches, once per object and never to
 * the sender's own objects.  Every command but a routed invocation or reply
 * is answered with a STATUS.  Publishing and removing an object with a path
 * sends "ubus.object.add" / "ubus.object.remove"; clients may not send
 * events under the reserved "ubus." prefix.
 *
 * Access lists (acl.h, loaded at start and on SIGHUP) restrict clients
 * other than root: publishing a path, calling a method (lookups show only
 * the methods a client may call), registering for and sending events.  The
 * ACL object (id 2) answers "query" with the rules that carry an "acl"
 * member for the caller's objects; every load sends "ubus.acl.sequence".
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <libubox/blobmsg.h>
#include <libubox/list.h>
#include <libubox/uloop.h>

#include "acl.h"
#include "ubusmsg.h"

#define MAX_TX_QUEUE UBUS_MAX_MSGLEN

struct objtype {
	struct list_head list;
	uint32_t id;
	int refcount;
	struct blob_attr *signature;	/* the methods as received */
};

struct client;

struct object {
	struct list_head by_id;		/* all objects */
	struct list_head by_path;	/* objects with a path, sorted */
	struct list_head of_client;
	uint32_t id;
	char *path;
	struct objtype *type;
	struct client *client;		/* NULL: the daemon's own */
	uint32_t event_seen;
};

struct pattern {
	struct list_head list;		/* sorted by text */
	struct object *obj;
	bool partial;			/* had a trailing '*' */
	char text[];
};

struct out_msg {
	struct list_head list;
	size_t len;
	size_t sent;
	int fd;
	uint8_t bytes[];
};

struct client {
	struct list_head list;
	uint32_t id;
	struct uloop_fd sock;
	struct acl_peer peer;
	struct list_head objects;
	struct list_head txq;
	size_t txq_len;

	size_t head_got;
	struct blob_attr *body;
	size_t body_got;
	int rx_fd;
	/* message being received; last, as blob_attr ends in a flexible array */
	struct {
		struct ubus_msghdr hdr;
		struct blob_attr data;
	} head;
};

/* A received message. */
struct msg {
	struct ubus_msghdr hdr;		/* host byte order */
	struct blob_attr *data;
	int fd;
};

static LIST_HEAD(clients);
static LIST_HEAD(objects);
static LIST_HEAD(paths);
static LIST_HEAD(types);
static LIST_HEAD(patterns);
static struct object *event_object;
static struct object *acl_object;
static const char *acl_dir = ACL_DEFAULT_DIR;
static uint32_t event_round;
static uint16_t event_seq;

static const struct blob_attr_info msg_policy[UBUS_ATTR_MAX] = {
	[UBUS_ATTR_STATUS] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_OBJPATH] = { .type = BLOB_ATTR_STRING },
	[UBUS_ATTR_OBJID] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_METHOD] = { .type = BLOB_ATTR_STRING },
	[UBUS_ATTR_OBJTYPE] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_SIGNATURE] = { .type = BLOB_ATTR_NESTED },
	[UBUS_ATTR_DATA] = { .type = BLOB_ATTR_NESTED },
	[UBUS_ATTR_USER] = { .type = BLOB_ATTR_STRING },
	[UBUS_ATTR_GROUP] = { .type = BLOB_ATTR_STRING },
};

/* ------------------------------------------------------------------ ids */

static uint32_t random_id(void)
{
	uint32_t id = 0;

	while (id < UBUS_SYSTEM_OBJECT_MAX) {
		if (getrandom(&id, sizeof(id), 0) != sizeof(id))
			id = (uint32_t) random() ^ ((uint32_t) random() << 16);
	}
	return id;
}

static struct object *find_object(uint32_t id)
{
	struct object *obj;

	list_for_each_entry(obj, &objects, by_id)
		if (obj->id == id)
			return obj;
	return NULL;
}

static struct client *find_client(uint32_t id)
{
	struct client *cl;

	list_for_each_entry(cl, &clients, list)
		if (cl->id == id)
			return cl;
	return NULL;
}

static struct objtype *find_type(uint32_t id)
{
	struct objtype *t;

	list_for_each_entry(t, &types, list)
		if (t->id == id)
			return t;
	return NULL;
}

static uint32_t new_object_id(void)
{
	uint32_t id;

	do
		id = random_id();
	while (find_object(id));
	return id;
}

/* --------------------------------------------------------------- output */

static void client_drop(struct client *cl);

/* Writes queued output; false when the connection failed. */
static bool flush_client(struct client *cl)
{
	while (!list_empty(&cl->txq)) {
		struct out_msg *m = list_first_entry(&cl->txq, struct out_msg, list);
		char control[CMSG_SPACE(sizeof(int))];
		struct iovec iov = { .iov_base = m->bytes + m->sent, .iov_len = m->len - m->sent };
		struct msghdr mh = { .msg_iov = &iov, .msg_iovlen = 1 };
		ssize_t n;

		if (m->fd >= 0 && m->sent == 0) {
			struct cmsghdr *cm;

			memset(control, 0, sizeof(control));
			mh.msg_control = control;
			mh.msg_controllen = sizeof(control);
			cm = CMSG_FIRSTHDR(&mh);
			cm->cmsg_level = SOL_SOCKET;
			cm->cmsg_type = SCM_RIGHTS;
			cm->cmsg_len = CMSG_LEN(sizeof(int));
			memcpy(CMSG_DATA(cm), &m->fd, sizeof(int));
		}

		n = sendmsg(cl->sock.fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK)
				break;
			return false;
		}

		if (m->fd >= 0) {
			close(m->fd);
			m->fd = -1;
		}
		m->sent += (size_t) n;
		cl->txq_len -= (size_t) n;
		if (m->sent < m->len)
			break;
		list_del(&m->list);
		free(m);
	}

	uloop_fd_add(&cl->sock, ULOOP_READ | (list_empty(&cl->txq) ? 0 : ULOOP_WRITE));
	return true;
}

/* Queues one message for cl; fd (dup'ed here) travels with it.  Messages
 * beyond the queue limit are dropped, as for a client that stopped reading. */
static void send_to(struct client *cl, uint8_t type, uint16_t seq, uint32_t peer,
		    const struct blob_attr *data, int fd)
{
	struct ubus_msghdr hdr = {
		.version = 0,
		.type = type,
		.seq = cpu_to_be16(seq),
		.peer = cpu_to_be32(peer),
	};
	size_t len = sizeof(hdr) + blob_raw_len(data);
	struct out_msg *m;

	if (cl->txq_len + len > MAX_TX_QUEUE)
		return;

	m = malloc(sizeof(*m) + len);
	if (!m)
		return;

	memcpy(m->bytes, &hdr, sizeof(hdr));
	memcpy(m->bytes + sizeof(hdr), data, blob_raw_len(data));
	m->len = len;
	m->sent = 0;
	m->fd = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
	list_add_tail(&m->list, &cl->txq);
	cl->txq_len += len;

	/* The loop flushes it once the socket takes more data. */
	if (!(cl->sock.flags & ULOOP_WRITE))
		uloop_fd_add(&cl->sock, ULOOP_READ | ULOOP_WRITE);
}

static void send_status(struct client *cl, const struct msg *req, int status)
{
	struct blob_buf b = { 0 };

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_STATUS, (uint32_t) status);
	send_to(cl, UBUS_MSG_STATUS, req->hdr.seq, req->hdr.peer, b.head, -1);
	blob_buf_free(&b);
}

/* --------------------------------------------------------------- events */

static void event_pattern_add(struct object *obj, const char *text)
{
	size_t len = strlen(text);
	bool partial = len > 0 && text[len - 1] == '*';
	struct pattern *p, *cur;

	if (partial)
		len--;

	p = calloc(1, sizeof(*p) + len + 1);
	if (!p)
		return;
	p->obj = obj;
	p->partial = partial;
	memcpy(p->text, text, len);

	list_for_each_entry(cur, &patterns, list)
		if (strcmp(cur->text, p->text) > 0)
			break;
	list_add_tail(&p->list, &cur->list);
}

static void event_patterns_drop(struct object *obj)
{
	struct pattern *p, *tmp;

	list_for_each_entry_safe(p, tmp, &patterns, list) {
		if (p->obj != obj)
			continue;
		list_del(&p->list);
		free(p);
	}
}

static bool pattern_matches(const struct pattern *p, const char *id)
{
	if (p->partial)
		return strncmp(id, p->text, strlen(p->text)) == 0;
	return strcmp(id, p->text) == 0;
}

/* Delivers event id with the members data (len bytes) to every matching
 * object not owned by sender. */
static void deliver_event(struct client *sender, const char *id, const void *data, size_t len)
{
	struct pattern *p;

	event_round++;
	list_for_each_entry(p, &patterns, list) {
		struct object *obj = p->obj;
		struct blob_buf b = { 0 };

		if (!pattern_matches(p, id) || !obj->client || obj->client == sender)
			continue;
		if (obj->event_seen == event_round)
			continue;
		obj->event_seen = event_round;

		blob_buf_init(&b, 0);
		blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);
		blob_put_string(&b, UBUS_ATTR_METHOD, id);
		blob_put(&b, UBUS_ATTR_DATA, data, (unsigned int) len);
		send_to(obj->client, UBUS_MSG_INVOKE, ++event_seq, 0, b.head, -1);
		blob_buf_free(&b);
	}
}

static void announce_object(struct object *obj, bool added)
{
	struct blob_buf b = { 0 };

	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "id", obj->id);
	blobmsg_add_string(&b, "path", obj->path);
	deliver_event(NULL, added ? "ubus.object.add" : "ubus.object.remove",
		      blob_data(b.head), blob_len(b.head));
	blob_buf_free(&b);
}

enum { EVREG_PATTERN, EVREG_OBJECT, __EVREG_MAX };
static const struct blobmsg_policy register_policy[__EVREG_MAX] = {
	[EVREG_PATTERN] = { .name = "pattern", .type = BLOBMSG_TYPE_STRING },
	[EVREG_OBJECT] = { .name = "object", .type = BLOBMSG_TYPE_INT32 },
};

enum { EVSEND_ID, EVSEND_DATA, __EVSEND_MAX };
static const struct blobmsg_policy send_policy[__EVSEND_MAX] = {
	[EVSEND_ID] = { .name = "id", .type = BLOBMSG_TYPE_STRING },
	[EVSEND_DATA] = { .name = "data", .type = BLOBMSG_TYPE_TABLE },
};

static int event_register(struct client *cl, struct blob_attr *data)
{
	struct blob_attr *tb[__EVREG_MAX];
	struct object *obj;
	const char *pattern;
	char *stem;
	bool allowed;
	size_t len;
	uint32_t id;

	if (!data)
		return UBUS_STATUS_INVALID_ARGUMENT;

	blobmsg_parse(register_policy, __EVREG_MAX, tb, blob_data(data), (unsigned int) blob_len(data));
	if (!tb[EVREG_PATTERN] || !tb[EVREG_OBJECT])
		return UBUS_STATUS_INVALID_ARGUMENT;

	id = blobmsg_get_u32(tb[EVREG_OBJECT]);
	if (id < UBUS_SYSTEM_OBJECT_MAX)
		return UBUS_STATUS_PERMISSION_DENIED;

	obj = find_object(id);
	if (!obj)
		return UBUS_STATUS_NOT_FOUND;
	if (obj->client != cl)
		return UBUS_STATUS_PERMISSION_DENIED;

	pattern = blobmsg_get_string(tb[EVREG_PATTERN]);
	len = strlen(pattern);
	if (!len)
		return UBUS_STATUS_PERMISSION_DENIED;

	/* The right is checked on the pattern without its '*'. */
	stem = strndup(pattern, pattern[len - 1] == '*' ? len - 1 : len);
	if (!stem)
		return UBUS_STATUS_NO_DATA;
	allowed = acl_allowed(&cl->peer, stem, NULL, ACL_LISTEN);
	free(stem);
	if (!allowed)
		return UBUS_STATUS_PERMISSION_DENIED;

	event_pattern_add(obj, pattern);
	return UBUS_STATUS_OK;
}

static int event_send(struct client *cl, struct blob_attr *data)
{
	struct blob_attr *tb[__EVSEND_MAX];
	const char *id;

	if (!data)
		return UBUS_STATUS_INVALID_ARGUMENT;

	blobmsg_parse(send_policy, __EVSEND_MAX, tb, blob_data(data), (unsigned int) blob_len(data));
	if (!tb[EVSEND_ID] || !tb[EVSEND_DATA])
		return UBUS_STATUS_INVALID_ARGUMENT;

	id = blobmsg_get_string(tb[EVSEND_ID]);
	if (!strncmp(id, "ubus.", 5))
		return UBUS_STATUS_PERMISSION_DENIED;
	if (!acl_allowed(&cl->peer, id, NULL, ACL_SEND))
		return UBUS_STATUS_PERMISSION_DENIED;

	deliver_event(cl, id, blobmsg_data(tb[EVSEND_DATA]), blobmsg_data_len(tb[EVSEND_DATA]));
	return UBUS_STATUS_OK;
}

/* -------------------------------------------------------------- objects */

static void type_put(struct objtype *t)
{
	if (!t || --t->refcount > 0)
		return;
	list_del(&t->list);
	free(t->signature);
	free(t);
}

static struct objtype *type_from_signature(struct blob_attr *sig)
{
	struct objtype *t;
	struct blob_attr *pos;
	size_t rem;

	blob_for_each_attr(pos, sig, rem)
		if (!blobmsg_check_attr(pos, true))
			return NULL;

	t = calloc(1, sizeof(*t));
	if (!t)
		return NULL;
	t->signature = blob_memdup(sig);
	if (!t->signature) {
		free(t);
		return NULL;
	}
	do
		t->id = random_id();
	while (find_type(t->id));
	t->refcount = 1;
	list_add_tail(&t->list, &types);
	return t;
}

static struct object *object_new(struct client *cl, uint32_t id, struct objtype *type)
{
	struct object *obj = calloc(1, sizeof(*obj));

	if (!obj)
		return NULL;

	obj->id = id ? id : new_object_id();
	obj->client = cl;
	obj->type = type;
	if (type)
		type->refcount++;
	INIT_LIST_HEAD(&obj->by_path);
	INIT_LIST_HEAD(&obj->of_client);
	list_add_tail(&obj->by_id, &objects);
	if (cl)
		list_add_tail(&obj->of_client, &cl->objects);
	return obj;
}

static struct object *find_path(const char *path)
{
	struct object *obj;

	list_for_each_entry(obj, &paths, by_path)
		if (!strcmp(obj->path, path))
			return obj;
	return NULL;
}

static void object_free(struct object *obj)
{
	event_patterns_drop(obj);
	if (obj->path) {
		announce_object(obj, false);
		list_del(&obj->by_path);
		free(obj->path);
	}
	list_del(&obj->of_client);
	list_del(&obj->by_id);
	type_put(obj->type);
	free(obj);
}

static int cmd_add_object(struct client *cl, struct msg *m, struct blob_attr **tb)
{
	struct objtype *type = NULL;
	struct object *obj, *cur;
	struct blob_buf b = { 0 };

	if (tb[UBUS_ATTR_OBJTYPE]) {
		type = find_type(blob_get_u32(tb[UBUS_ATTR_OBJTYPE]));
		if (type)
			type->refcount++;
	} else if (tb[UBUS_ATTR_SIGNATURE]) {
		type = type_from_signature(tb[UBUS_ATTR_SIGNATURE]);
	}

	/* A path the client may not publish is refused as an invalid one. */
	if (tb[UBUS_ATTR_OBJPATH] &&
	    (!acl_allowed(&cl->peer, blob_data(tb[UBUS_ATTR_OBJPATH]), NULL, ACL_PUBLISH) ||
	     find_path(blob_data(tb[UBUS_ATTR_OBJPATH])))) {
		type_put(type);
		return UBUS_STATUS_INVALID_ARGUMENT;
	}

	obj = object_new(cl, 0, type);
	type_put(type);
	if (!obj)
		return UBUS_STATUS_INVALID_ARGUMENT;

	if (tb[UBUS_ATTR_OBJPATH]) {
		obj->path = strdup(blob_data(tb[UBUS_ATTR_OBJPATH]));
		if (!obj->path) {
			object_free(obj);
			return UBUS_STATUS_INVALID_ARGUMENT;
		}
		list_for_each_entry(cur, &paths, by_path)
			if (strcmp(cur->path, obj->path) > 0)
				break;
		list_add_tail(&obj->by_path, &cur->by_path);
		announce_object(obj, true);
	}

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);
	if (tb[UBUS_ATTR_SIGNATURE] && obj->type)
		blob_put_int32(&b, UBUS_ATTR_OBJTYPE, obj->type->id);
	send_to(cl, UBUS_MSG_DATA, m->hdr.seq, m->hdr.peer, b.head, -1);
	blob_buf_free(&b);
	return UBUS_STATUS_OK;
}

static int cmd_remove_object(struct client *cl, struct msg *m, struct blob_attr **tb)
{
	struct object *obj;
	struct blob_buf b = { 0 };

	if (!tb[UBUS_ATTR_OBJID])
		return UBUS_STATUS_INVALID_ARGUMENT;

	obj = find_object(blob_get_u32(tb[UBUS_ATTR_OBJID]));
	if (!obj)
		return UBUS_STATUS_NOT_FOUND;
	if (obj->client != cl)
		return UBUS_STATUS_PERMISSION_DENIED;

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);
	if (obj->type && obj->type->refcount == 1)
		blob_put_int32(&b, UBUS_ATTR_OBJTYPE, obj->type->id);
	send_to(cl, UBUS_MSG_DATA, m->hdr.seq, m->hdr.peer, b.head, -1);
	blob_buf_free(&b);

	object_free(obj);
	return UBUS_STATUS_OK;
}

/* Sends obj with the methods cl may call; an object with methods of which
 * cl may call none is left out. */
static void send_object(struct client *cl, struct msg *m, struct object *obj)
{
	struct blob_buf b = { 0 };
	struct blob_attr *pos;
	size_t rem;
	int all = 0, shown = 0;
	void *sig;

	if (!obj->type)
		return;

	blob_buf_init(&b, 0);
	blob_put_string(&b, UBUS_ATTR_OBJPATH, obj->path);
	blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);
	blob_put_int32(&b, UBUS_ATTR_OBJTYPE, obj->type->id);
	sig = blob_nest_start(&b, UBUS_ATTR_SIGNATURE);
	blob_for_each_attr(pos, obj->type->signature, rem) {
		all++;
		if (!acl_allowed(&cl->peer, obj->path, blobmsg_name(pos), ACL_ACCESS))
			continue;
		blobmsg_add_blob(&b, pos);
		shown++;
	}
	blob_nest_end(&b, sig);
	if (shown || !all)
		send_to(cl, UBUS_MSG_DATA, m->hdr.seq, m->hdr.peer, b.head, -1);
	blob_buf_free(&b);
}

static int cmd_lookup(struct client *cl, struct msg *m, struct blob_attr **tb)
{
	struct object *obj;
	char *path;
	size_t len;
	bool found = false;

	if (!tb[UBUS_ATTR_OBJPATH]) {
		list_for_each_entry(obj, &paths, by_path)
			send_object(cl, m, obj);
		return UBUS_STATUS_OK;
	}

	path = blob_data(tb[UBUS_ATTR_OBJPATH]);
	len = strlen(path);
	if (!len)
		return UBUS_STATUS_INVALID_ARGUMENT;

	if (path[len - 1] != '*') {
		obj = find_path(path);
		if (!obj)
			return UBUS_STATUS_NOT_FOUND;
		send_object(cl, m, obj);
		return UBUS_STATUS_OK;
	}

	len--;
	list_for_each_entry(obj, &paths, by_path) {
		if (strncmp(obj->path, path, len) != 0)
			continue;
		found = true;
		send_object(cl, m, obj);
	}
	return found ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND;
}

/* The ACL object's "query": the sequence number and, for each of cl's
 * objects (newest first), the rules with an "acl" member that cover it. */
static int acl_query(struct client *cl, struct msg *m)
{
	struct blob_buf b = { 0 };
	struct object *obj;
	void *data, *list;

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, acl_object->id);
	data = blob_nest_start(&b, UBUS_ATTR_DATA);
	blobmsg_add_u32(&b, "seq", acl_sequence());
	list = blobmsg_open_array(&b, "acl");
	list_for_each_entry_reverse(obj, &cl->objects, of_client)
		if (obj->path)
			acl_describe(&b, obj->path);
	blobmsg_close_array(&b, list);
	blob_nest_end(&b, data);
	send_to(cl, UBUS_MSG_DATA, m->hdr.seq, m->hdr.peer, b.head, -1);
	blob_buf_free(&b);
	return UBUS_STATUS_OK;
}

/* Returns -1 when the caller's status comes from the object's client. */
static int cmd_invoke(struct client *cl, struct msg *m, struct blob_attr **tb)
{
	struct blob_buf b = { 0 };
	struct object *obj;
	const char *method;

	if (!tb[UBUS_ATTR_METHOD] || !tb[UBUS_ATTR_OBJID])
		return UBUS_STATUS_INVALID_ARGUMENT;

	obj = find_object(blob_get_u32(tb[UBUS_ATTR_OBJID]));
	if (!obj)
		return UBUS_STATUS_NOT_FOUND;

	method = blob_data(tb[UBUS_ATTR_METHOD]);
	if (!acl_allowed(&cl->peer, obj->path, method, ACL_ACCESS))
		return UBUS_STATUS_PERMISSION_DENIED;
	if (obj == acl_object) {
		if (!strcmp(method, "query"))
			return acl_query(cl, m);
		return UBUS_STATUS_INVALID_COMMAND;
	}
	if (obj == event_object) {
		if (!strcmp(method, "register"))
			return event_register(cl, tb[UBUS_ATTR_DATA]);
		if (!strcmp(method, "send"))
			return event_send(cl, tb[UBUS_ATTR_DATA]);
		return UBUS_STATUS_INVALID_COMMAND;
	}
	if (!obj->client)
		return UBUS_STATUS_NOT_FOUND;

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);
	blob_put_string(&b, UBUS_ATTR_METHOD, method);
	blob_put_string(&b, UBUS_ATTR_USER, cl->peer.user);
	blob_put_string(&b, UBUS_ATTR_GROUP, cl->peer.group);
	if (tb[UBUS_ATTR_DATA])
		blob_put(&b, UBUS_ATTR_DATA, blob_data(tb[UBUS_ATTR_DATA]),
			 (unsigned int) blob_len(tb[UBUS_ATTR_DATA]));
	send_to(obj->client, UBUS_MSG_INVOKE, m->hdr.seq, cl->id, b.head, m->fd);
	blob_buf_free(&b);
	return -1;
}

/* A DATA or STATUS reply of an object's client to an invocation. */
static int cmd_reply(struct client *cl, struct msg *m, struct blob_attr **tb)
{
	struct object *obj;
	struct client *caller;
	uint32_t objid;

	if (!tb[UBUS_ATTR_OBJID])
		return -1;
	if (m->hdr.type == UBUS_MSG_STATUS && !tb[UBUS_ATTR_STATUS])
		return -1;
	if (m->hdr.type == UBUS_MSG_DATA && !tb[UBUS_ATTR_DATA])
		return -1;

	objid = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	obj = find_object(objid);
	if (!obj || obj->client != cl)
		return -1;

	caller = find_client(m->hdr.peer);
	if (!caller)
		return -1;

	send_to(caller, m->hdr.type, m->hdr.seq, objid, m->data, m->fd);
	return -1;
}

static void handle_message(struct client *cl, struct msg *m)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];
	int ret;

	blob_parse_untrusted(m->data, blob_raw_len(m->data), tb, msg_policy, UBUS_ATTR_MAX);

	switch (m->hdr.type) {
	case UBUS_MSG_PING:
		send_to(cl, UBUS_MSG_DATA, m->hdr.seq, m->hdr.peer, m->data, -1);
		ret = UBUS_STATUS_OK;
		break;
	case UBUS_MSG_LOOKUP:
		ret = cmd_lookup(cl, m, tb);
		break;
	case UBUS_MSG_INVOKE:
		ret = cmd_invoke(cl, m, tb);
		break;
	case UBUS_MSG_ADD_OBJECT:
		ret = cmd_add_object(cl, m, tb);
		break;
	case UBUS_MSG_REMOVE_OBJECT:
		ret = cmd_remove_object(cl, m, tb);
		break;
	case UBUS_MSG_STATUS:
	case UBUS_MSG_DATA:
		ret = cmd_reply(cl, m, tb);
		break;
	case UBUS_MSG_SUBSCRIBE:
	case UBUS_MSG_UNSUBSCRIBE:
	case UBUS_MSG_NOTIFY:
		ret = UBUS_STATUS_NOT_SUPPORTED;
		break;
	default:
		ret = UBUS_STATUS_INVALID_COMMAND;
		break;
	}

	if (ret >= 0)
		send_status(cl, m, ret);
}

/* ---------------------------------------------------------------- input */

static void client_drop(struct client *cl)
{
	struct object *obj, *tmp;
	struct out_msg *m, *mtmp;

	list_del(&cl->list);
	list_for_each_entry_safe(obj, tmp, &cl->objects, of_client)
		object_free(obj);

	list_for_each_entry_safe(m, mtmp, &cl->txq, list) {
		if (m->fd >= 0)
			close(m->fd);
		free(m);
	}
	uloop_fd_delete(&cl->sock);
	close(cl->sock.fd);
	if (cl->rx_fd >= 0)
		close(cl->rx_fd);
	free(cl->body);
	acl_peer_free(&cl->peer);
	free(cl);
}

/* Reads what is available; returns false when the client must go. */
static bool client_read(struct client *cl)
{
	for (;;) {
		ssize_t n;

		if (cl->head_got < sizeof(cl->head)) {
			char control[CMSG_SPACE(sizeof(int))];
			struct iovec iov = {
				.iov_base = (char *) &cl->head + cl->head_got,
				.iov_len = sizeof(cl->head) - cl->head_got,
			};
			struct msghdr mh = {
				.msg_iov = &iov,
				.msg_iovlen = 1,
				.msg_control = control,
				.msg_controllen = sizeof(control),
			};
			struct cmsghdr *cm;

			n = recvmsg(cl->sock.fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
			if (n == 0)
				return false;
			if (n < 0)
				return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;

			/* musl's CMSG_NXTHDR compares a size_t with a signed difference. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
			for (cm = CMSG_FIRSTHDR(&mh); cm; cm = CMSG_NXTHDR(&mh, cm)) {
				int fd;

				if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS)
					continue;
				memcpy(&fd, CMSG_DATA(cm), sizeof(fd));
				if (cl->rx_fd < 0)
					cl->rx_fd = fd;
				else
					close(fd);
			}
#pragma GCC diagnostic pop

			cl->head_got += (size_t) n;
			if (cl->head_got < sizeof(cl->head))
				continue;

			if (cl->head.hdr.version != 0 ||
			    blob_raw_len(&cl->head.data) < sizeof(struct blob_attr) ||
			    blob_pad_len(&cl->head.data) > UBUS_MAX_MSGLEN)
				return false;

			cl->body = malloc(blob_raw_len(&cl->head.data));
			if (!cl->body)
				return false;
			memcpy(cl->body, &cl->head.data, sizeof(cl->head.data));
			cl->body_got = sizeof(cl->head.data);
		}

		if (cl->body_got < blob_raw_len(cl->body)) {
			n = recv(cl->sock.fd, (char *) cl->body + cl->body_got,
				 blob_raw_len(cl->body) - cl->body_got, MSG_DONTWAIT);
			if (n == 0)
				return false;
			if (n < 0)
				return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
			cl->body_got += (size_t) n;
			if (cl->body_got < blob_raw_len(cl->body))
				continue;
		}

		{
			struct msg m = {
				.hdr = cl->head.hdr,
				.data = cl->body,
				.fd = cl->rx_fd,
			};

			m.hdr.seq = be16_to_cpu(m.hdr.seq);
			m.hdr.peer = be32_to_cpu(m.hdr.peer);
			cl->body = NULL;
			cl->head_got = 0;
			cl->rx_fd = -1;

			handle_message(cl, &m);
			free(m.data);
			if (m.fd >= 0)
				close(m.fd);
		}
	}
}

static void flush_all(void)
{
	struct client *cl, *tmp;

	list_for_each_entry_safe(cl, tmp, &clients, list)
		if (!list_empty(&cl->txq) && !flush_client(cl))
			client_drop(cl);
}

static void client_cb(struct uloop_fd *u, unsigned int events)
{
	struct client *cl = container_of(u, struct client, sock);

	if ((events & ULOOP_WRITE) && !flush_client(cl)) {
		client_drop(cl);
		flush_all();
		return;
	}

	if (!client_read(cl) || u->error) {
		client_drop(cl);
		flush_all();
		return;
	}

	flush_all();
}

static void accept_cb(struct uloop_fd *u, unsigned int events)
{
	(void) events;

	for (;;) {
		struct client *cl;
		struct blob_buf b = { 0 };
		int fd = accept4(u->fd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);

		if (fd < 0) {
			if (errno == EINTR || errno == ECONNABORTED)
				continue;
			return;
		}

		/* A peer whose uid or gid has no name is not served. */
		cl = calloc(1, sizeof(*cl));
		if (!cl || !acl_peer_init(&cl->peer, fd)) {
			free(cl);
			close(fd);
			continue;
		}
		cl->sock.fd = fd;
		cl->sock.cb = client_cb;
		cl->rx_fd = -1;
		INIT_LIST_HEAD(&cl->objects);
		INIT_LIST_HEAD(&cl->txq);
		do
			cl->id = random_id();
		while (find_client(cl->id));
		list_add_tail(&cl->list, &clients);

		blob_buf_init(&b, 0);
		send_to(cl, UBUS_MSG_HELLO, 0, cl->id, b.head, -1);
		blob_buf_free(&b);
		if (!flush_client(cl))
			client_drop(cl);
	}
}

/* ------------------------------------------------------------ ACL reload */

/* SIGHUP asks for a reload; the loop performs it. */
static int hup_pipe[2] = { -1, -1 };

static void on_hup(int signo)
{
	int saved = errno;
	ssize_t n = write(hup_pipe[1], "", 1);

	(void) signo;
	(void) n;
	errno = saved;
}

static void load_acl(void)
{
	struct blob_buf b = { 0 };

	if (!acl_load(acl_dir))
		return;
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "sequence", acl_sequence());
	deliver_event(NULL, "ubus.acl.sequence", blob_data(b.head), blob_len(b.head));
	blob_buf_free(&b);
}

static void hup_cb(struct uloop_fd *u, unsigned int events)
{
	char buf[64];

	(void) events;
	while (read(u->fd, buf, sizeof(buf)) > 0)
		;
	load_acl();
	flush_all();
}

/* ----------------------------------------------------------------- main */

static int usage(const char *prog)
{
	fprintf(stderr, "Usage: %s [<options>]\n"
		"Options:\n"
		"  -A <path>:\t\tSet the path to ACL files\n"
		"  -s <socket>:\t\tSet the unix domain socket to listen on\n"
		"\n", prog);
	return 1;
}

static void make_parent_dir(const char *path)
{
	char *dir = strdup(path);
	char *slash;

	if (!dir)
		return;
	slash = strrchr(dir, '/');
	if (slash && slash != dir) {
		*slash = 0;
		mkdir(dir, 0755);
	}
	free(dir);
}

int main(int argc, char **argv)
{
	const char *path = UBUS_UNIX_SOCKET;
	struct sockaddr_un addr = { .sun_family = AF_UNIX };
	struct uloop_fd server = { .cb = accept_cb };
	struct uloop_fd hup = { .cb = hup_cb };
	struct sigaction sa = { .sa_handler = on_hup, .sa_flags = SA_RESTART };
	int ch;

	signal(SIGPIPE, SIG_IGN);
	if (pipe2(hup_pipe, O_NONBLOCK | O_CLOEXEC) == 0)
		sigaction(SIGHUP, &sa, NULL);
	else
		signal(SIGHUP, SIG_IGN);
	openlog("ubusd", LOG_PID, LOG_DAEMON);

	while ((ch = getopt(argc, argv, "A:s:")) != -1) {
		switch (ch) {
		case 's':
			path = optarg;
			break;
		case 'A':
			acl_dir = optarg;
			break;
		default:
			return usage(argv[0]);
		}
	}

	if (strlen(path) >= sizeof(addr.sun_path)) {
		fprintf(stderr, "socket path too long: %s\n", path);
		return 1;
	}
	strcpy(addr.sun_path, path);

	uloop_init();
	event_object = object_new(NULL, UBUS_SYSTEM_OBJECT_EVENT, NULL);
	acl_object = object_new(NULL, UBUS_SYSTEM_OBJECT_ACL, NULL);

	make_parent_dir(path);
	unlink(path);
	umask(0111);
	server.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (server.fd < 0 ||
	    bind(server.fd, (struct sockaddr *) &addr, sizeof(addr)) < 0 ||
	    listen(server.fd, SOMAXCONN) < 0) {
		perror("ubusd: socket");
		uloop_done();
		return 1;
	}
	uloop_fd_add(&server, ULOOP_READ);
	if (hup_pipe[0] >= 0) {
		hup.fd = hup_pipe[0];
		uloop_fd_add(&hup, ULOOP_READ);
	}
	load_acl();

	uloop_run();

	unlink(path);
	close(server.fd);
	while (!list_empty(&clients))
		client_drop(list_first_entry(&clients, struct client, list));
	object_free(event_object);
	object_free(acl_object);
	acl_free_all();
	uloop_done();
	return 0;
}
