/*
 * ubus: command line client.
 *
 *   ubus [-s socket] [-t timeout] [-S] [-v] list [path]
 *   ubus ... call <path> <method> [<json>]
 *   ubus ... send <event> [<json>]
 *   ubus ... listen [<pattern>...]
 *
 * The exit status is the ubus status of the command.  When standard error
 * is not a terminal (and -S is not given) a failed call names the command
 * on standard error and exits with the negated status.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>

static int timeout_s = 30;
static int listen_timeout_s;
static bool simple_output;
static int verbose;

static int usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [<options>] <command> [arguments...]\n"
		"Options:\n"
		" -s <socket>:\t\tSet the unix domain socket to connect to\n"
		" -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
		" -S:\t\t\tUse simplified output (for scripts)\n"
		" -v:\t\t\tMore verbose output\n"
		"\n"
		"Commands:\n"
		" - list [<path>]\t\t\tList objects\n"
		" - call <path> <method> [<message>]\tCall an object method\n"
		" - listen [<path>...]\t\t\tListen for events\n"
		" - send <type> [<message>]\t\tSend an event\n"
		"\n", prog);
	return 1;
}

static int command_failed(const char *cmd, int argc, char **argv, int status)
{
	int i;

	if (simple_output || isatty(fileno(stderr)))
		return status;

	fprintf(stderr, "Command failed: ubus %s ", cmd);
	for (i = 0; i < argc; i++)
		fprintf(stderr, "%s ", argv[i]);
	fprintf(stderr, "(%s)\n", ubus_strerror(status));
	return -status;
}

/* Shows the argument types of a signature by name. */
static const char *type_name(void *priv, struct blob_attr *attr)
{
	(void) priv;

	if (blob_id(attr) != BLOBMSG_TYPE_INT32)
		return NULL;

	switch (blobmsg_get_u32(attr)) {
	case BLOBMSG_TYPE_INT8:
		return "\"Boolean\"";
	case BLOBMSG_TYPE_INT32:
		return "\"Integer\"";
	case BLOBMSG_TYPE_STRING:
		return "\"String\"";
	case BLOBMSG_TYPE_ARRAY:
		return "\"Array\"";
	case BLOBMSG_TYPE_TABLE:
		return "\"Table\"";
	default:
		return "\"(unknown)\"";
	}
}

static void print_object(struct ubus_context *ctx, struct ubus_object_data *obj, void *priv)
{
	struct blob_attr *method;
	size_t rem;

	(void) ctx;
	(void) priv;

	if (simple_output || !verbose) {
		printf("%s\n", obj->path);
		return;
	}

	printf("'%s' @%08x\n", obj->path, obj->id);
	if (!obj->signature)
		return;

	blob_for_each_attr(method, obj->signature, rem) {
		char *text = blobmsg_format_json_with_cb(method, false, type_name, NULL, -1);

		printf("\t%s\n", text ? text : "");
		free(text);
	}
}

static int cmd_list(struct ubus_context *ctx, int argc, char **argv)
{
	if (argc > 1)
		return -2;

	return ubus_lookup(ctx, argc == 1 ? argv[0] : NULL, print_object, NULL);
}

static void print_reply(struct ubus_request *req, int type, struct blob_attr *msg)
{
	char *text;

	(void) req;
	(void) type;
	if (!msg)
		return;

	text = blobmsg_format_json_indent(msg, true, simple_output ? -1 : 0);
	printf("%s\n", text ? text : "");
	free(text);
}

static int cmd_call(struct ubus_context *ctx, int argc, char **argv)
{
	struct blob_buf b = { 0 };
	uint32_t id = 0;	/* a lookup may answer with no object at all */
	int ret;

	if (argc < 2 || argc > 3)
		return -2;

	blob_buf_init(&b, 0);
	if (argc == 3 && !blobmsg_add_json_from_string(&b, argv[2])) {
		blob_buf_free(&b);
		return command_failed("call", argc, argv, UBUS_STATUS_PARSE_ERROR);
	}

	ret = ubus_lookup_id(ctx, argv[0], &id);
	if (!ret)
		ret = ubus_invoke(ctx, id, argv[1], b.head, print_reply, NULL, timeout_s * 1000);
	else
		goto out;

	if (ret)
		ret = command_failed("call", argc, argv, ret);
out:
	blob_buf_free(&b);
	return ret;
}

static int cmd_send(struct ubus_context *ctx, int argc, char **argv)
{
	struct blob_buf b = { 0 };
	int ret;

	if (argc < 1 || argc > 2)
		return -2;

	blob_buf_init(&b, 0);
	if (argc == 2 && !blobmsg_add_json_from_string(&b, argv[1])) {
		blob_buf_free(&b);
		return UBUS_STATUS_PARSE_ERROR;
	}

	ret = ubus_send_event(ctx, argv[0], b.head);
	blob_buf_free(&b);
	return ret;
}

static void print_event(struct ubus_context *ctx, struct ubus_event_handler *ev,
			const char *type, struct blob_attr *msg)
{
	char *text = blobmsg_format_json(msg, true);

	(void) ctx;
	(void) ev;
	printf("{ \"%s\": %s }\n", type, text ? text : "null");
	fflush(stdout);
	free(text);
}

static void listen_timeout(struct uloop_timeout *t)
{
	(void) t;
	uloop_end();
}

static int cmd_listen(struct ubus_context *ctx, int argc, char **argv)
{
	static char any[] = "*";
	static char *all[] = { any };
	struct ubus_event_handler ev = { .cb = print_event };
	struct uloop_timeout timer = { .cb = listen_timeout };
	int i, ret;

	if (argc == 0) {
		argc = 1;
		argv = all;
	}

	for (i = 0; i < argc; i++) {
		ret = ubus_register_event_handler(ctx, &ev, argv[i]);
		if (ret) {
			if (!simple_output)
				fprintf(stderr, "Error while registering for event '%s': %s\n",
					argv[i], ubus_strerror(ret));
			return -1;
		}
	}

	uloop_init();
	ubus_add_uloop(ctx);
	if (listen_timeout_s)
		uloop_timeout_set(&timer, listen_timeout_s * 1000);
	uloop_run();
	uloop_timeout_cancel(&timer);
	uloop_done();
	return 0;
}

static const struct {
	const char *name;
	int (*run)(struct ubus_context *ctx, int argc, char **argv);
} commands[] = {
	{ "list", cmd_list },
	{ "call", cmd_call },
	{ "listen", cmd_listen },
	{ "send", cmd_send },
};

int main(int argc, char **argv)
{
	const char *prog = argv[0], *socket_path = NULL;
	struct ubus_context *ctx;
	const char *cmd;
	size_t i;
	int ret, ch;

	while ((ch = getopt(argc, argv, "vs:t:S")) != -1) {
		switch (ch) {
		case 's':
			socket_path = optarg;
			break;
		case 't':
			timeout_s = atoi(optarg);
			listen_timeout_s = timeout_s;
			break;
		case 'S':
			simple_output = true;
			break;
		case 'v':
			verbose++;
			break;
		default:
			return usage(prog);
		}
	}

	argc -= optind;
	argv += optind;
	if (argc < 1)
		return usage(prog);
	cmd = argv[0];

	ctx = ubus_connect(socket_path);
	if (!ctx) {
		if (!simple_output)
			fprintf(stderr, "Failed to connect to ubus\n");
		return -1;
	}

	argc--;
	argv++;
	ret = -2;
	for (i = 0; i < ARRAY_SIZE(commands); i++) {
		if (strcmp(commands[i].name, cmd) == 0) {
			ret = commands[i].run(ctx, argc, argv);
			break;
		}
	}

	if (ret > 0 && !simple_output)
		fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
	else if (ret == -2)
		usage(prog);

	ubus_free(ctx);
	return ret;
}
