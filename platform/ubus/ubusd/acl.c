/*
 * ubusd's access lists: loading the files, matching rules, peer credentials.
 *
 * Rules are kept sorted by pattern (equal patterns in load order), the order
 * in which the ACL query lists them.  Files are read in glob order and are
 * all parsed afresh on every load.
 */
#define _GNU_SOURCE
#include <glob.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>

#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
#include <libubox/list.h>

#include "acl.h"

struct acl_file {
	struct list_head list;
	const char *user;		/* the grantee as named in the file */
	const char *group;
	int uid;			/* -1: not by uid */
	int gid;			/* -1: not by gid */
	struct blob_attr *blob;
};

struct acl_rule {
	struct list_head list;
	const struct acl_file *file;
	bool partial;			/* the pattern had a trailing '*' */
	bool publish, subscribe, listen, send;
	struct blob_attr *methods;	/* "access" rules; point into file->blob */
	struct blob_attr *priv;
	char key[];
};

static LIST_HEAD(files);
static LIST_HEAD(rules);
static uint32_t sequence;

/* ------------------------------------------------------------- matching */

static bool rule_covers(const struct acl_rule *r, const char *name)
{
	if (r->partial)
		return strncmp(name, r->key, strlen(r->key)) == 0;
	return strcmp(name, r->key) == 0;
}

static bool rule_grantee(const struct acl_rule *r, const struct acl_peer *peer)
{
	size_t i;

	if (r->file->uid != -1 && peer->uid == r->file->uid)
		return true;
	if (r->file->gid == -1)
		return false;
	if (peer->gid == r->file->gid)
		return true;
	for (i = 0; i < peer->n_groups; i++)
		if (peer->groups[i] == r->file->gid)
			return true;
	return false;
}

static bool rule_grants(const struct acl_rule *r, const char *method, enum acl_right right)
{
	struct blob_attr *cur;
	size_t rem;

	switch (right) {
	case ACL_PUBLISH:
		return r->publish;
	case ACL_SUBSCRIBE:
		return r->subscribe;
	case ACL_LISTEN:
		return r->listen;
	case ACL_SEND:
		return r->send;
	case ACL_ACCESS:
		if (!r->methods || !method)
			return false;
		blobmsg_for_each_attr(cur, r->methods, rem) {
			if (blobmsg_type(cur) != BLOBMSG_TYPE_STRING)
				continue;
			if (!strcmp(blobmsg_get_string(cur), method) || !strcmp(blobmsg_get_string(cur), "*"))
				return true;
		}
		return false;
	}
	return false;
}

bool acl_allowed(const struct acl_peer *peer, const char *name, const char *method,
		 enum acl_right right)
{
	struct acl_rule *r;

	if (!peer || peer->uid == 0 || !name)
		return true;

	list_for_each_entry(r, &rules, list)
		if (rule_covers(r, name) && rule_grantee(r, peer) && rule_grants(r, method, right))
			return true;
	return false;
}

void acl_describe(struct blob_buf *b, const char *path)
{
	struct acl_rule *r;

	list_for_each_entry(r, &rules, list) {
		void *entry;

		if (!r->priv || !rule_covers(r, path))
			continue;
		entry = blobmsg_open_table(b, NULL);
		blobmsg_add_string(b, "obj", path);
		if (r->file->user)
			blobmsg_add_string(b, "user", r->file->user);
		if (r->file->group)
			blobmsg_add_string(b, "group", r->file->group);
		blobmsg_add_field(b, blobmsg_type(r->priv), "acl", blobmsg_data(r->priv),
				  (unsigned int) blobmsg_data_len(r->priv));
		blobmsg_close_table(b, entry);
	}
}

/* -------------------------------------------------------------- loading */

static struct acl_rule *rule_add(struct list_head *into, const struct acl_file *file,
				 const char *pattern)
{
	size_t len = strlen(pattern);
	struct acl_rule *r, *cur;

	if (!len)
		return NULL;
	r = calloc(1, sizeof(*r) + len + 1);
	if (!r)
		return NULL;
	r->file = file;
	if (pattern[len - 1] == '*') {
		r->partial = true;
		len--;
	}
	memcpy(r->key, pattern, len);

	list_for_each_entry(cur, into, list)
		if (strcmp(cur->key, r->key) > 0)
			break;
	list_add_tail(&r->list, &cur->list);
	return r;
}

enum { ACCESS_METHODS, ACCESS_TAGS, ACCESS_ACL, __ACCESS_MAX };
static const struct blobmsg_policy access_policy[__ACCESS_MAX] = {
	[ACCESS_METHODS] = { .name = "methods", .type = BLOBMSG_TYPE_ARRAY },
	[ACCESS_TAGS] = { .name = "tags", .type = BLOBMSG_TYPE_ARRAY },
	[ACCESS_ACL] = { .name = "acl", .type = BLOBMSG_TYPE_TABLE },
};

static void add_access(struct list_head *into, const struct acl_file *file, struct blob_attr *entry)
{
	struct blob_attr *tb[__ACCESS_MAX];
	struct acl_rule *r;

	if (blobmsg_type(entry) != BLOBMSG_TYPE_TABLE)
		return;
	blobmsg_parse(access_policy, __ACCESS_MAX, tb, blobmsg_data(entry),
		      (unsigned int) blobmsg_data_len(entry));
	if (!tb[ACCESS_METHODS] && !tb[ACCESS_TAGS] && !tb[ACCESS_ACL])
		return;

	r = rule_add(into, file, blobmsg_name(entry));
	if (!r)
		return;
	r->methods = tb[ACCESS_METHODS];
	r->priv = tb[ACCESS_ACL];
}

enum { FILE_USER, FILE_GROUP, FILE_ACCESS, FILE_PUBLISH, FILE_SUBSCRIBE, FILE_LISTEN, FILE_SEND, __FILE_MAX };
static const struct blobmsg_policy file_policy[__FILE_MAX] = {
	[FILE_USER] = { .name = "user", .type = BLOBMSG_TYPE_STRING },
	[FILE_GROUP] = { .name = "group", .type = BLOBMSG_TYPE_STRING },
	[FILE_ACCESS] = { .name = "access", .type = BLOBMSG_TYPE_TABLE },
	[FILE_PUBLISH] = { .name = "publish", .type = BLOBMSG_TYPE_ARRAY },
	[FILE_SUBSCRIBE] = { .name = "subscribe", .type = BLOBMSG_TYPE_ARRAY },
	[FILE_LISTEN] = { .name = "listen", .type = BLOBMSG_TYPE_ARRAY },
	[FILE_SEND] = { .name = "send", .type = BLOBMSG_TYPE_ARRAY },
};

/* One rule granting right for each pattern of list. */
static void add_patterns(struct list_head *into, const struct acl_file *file,
			 struct blob_attr *list, enum acl_right right)
{
	struct blob_attr *cur;
	size_t rem;

	if (!list)
		return;
	blobmsg_for_each_attr(cur, list, rem) {
		struct acl_rule *r;

		if (blobmsg_type(cur) != BLOBMSG_TYPE_STRING)
			continue;
		r = rule_add(into, file, blobmsg_get_string(cur));
		if (!r)
			continue;
		r->publish = right == ACL_PUBLISH;
		r->subscribe = right == ACL_SUBSCRIBE;
		r->listen = right == ACL_LISTEN;
		r->send = right == ACL_SEND;
	}
}

static void file_rules(struct list_head *into, struct acl_file *file)
{
	struct blob_attr *tb[__FILE_MAX], *cur;
	size_t rem;

	blobmsg_parse(file_policy, __FILE_MAX, tb, blob_data(file->blob),
		      (unsigned int) blob_len(file->blob));

	/* A name without an entry leaves id 0: nobody but root (who needs no
	 * rule) for a user, members of group 0 for a group. */
	file->uid = -1;
	file->gid = -1;
	if (tb[FILE_USER]) {
		struct passwd *pw;

		file->user = blobmsg_get_string(tb[FILE_USER]);
		pw = getpwnam(file->user);
		file->uid = pw ? (int) pw->pw_uid : 0;
	} else if (tb[FILE_GROUP]) {
		struct group *gr;

		file->group = blobmsg_get_string(tb[FILE_GROUP]);
		gr = getgrnam(file->group);
		file->gid = gr ? (int) gr->gr_gid : 0;
	} else {
		return;
	}

	if (tb[FILE_ACCESS])
		blobmsg_for_each_attr(cur, tb[FILE_ACCESS], rem)
			add_access(into, file, cur);
	add_patterns(into, file, tb[FILE_SUBSCRIBE], ACL_SUBSCRIBE);
	add_patterns(into, file, tb[FILE_PUBLISH], ACL_PUBLISH);
	add_patterns(into, file, tb[FILE_LISTEN], ACL_LISTEN);
	add_patterns(into, file, tb[FILE_SEND], ACL_SEND);
}

static struct acl_file *file_read(const char *path)
{
	struct blob_buf b = { 0 };
	struct acl_file *file = NULL;

	blob_buf_init(&b, 0);
	if (!blobmsg_add_json_from_file(&b, path)) {
		syslog(LOG_ERR, "failed to parse %s\n", path);
		goto out;
	}
	file = calloc(1, sizeof(*file));
	if (file)
		file->blob = blob_memdup(b.head);
	if (file && !file->blob) {
		free(file);
		file = NULL;
	}
	if (file)
		syslog(LOG_INFO, "loading %s\n", path);
out:
	blob_buf_free(&b);
	return file;
}

static bool file_trusted(const char *path)
{
	struct stat st;

	if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
		return false;
	if (st.st_uid != 0 || st.st_gid != 0) {
		syslog(LOG_ERR, "%s has wrong owner\n", path);
		return false;
	}
	if (st.st_mode & (S_IWOTH | S_IWGRP | S_IXOTH)) {
		syslog(LOG_ERR, "%s has wrong permissions\n", path);
		return false;
	}
	return true;
}

static void drop(struct list_head *file_list, struct list_head *rule_list)
{
	struct acl_rule *r, *rtmp;
	struct acl_file *f, *ftmp;

	list_for_each_entry_safe(r, rtmp, rule_list, list) {
		list_del(&r->list);
		free(r);
	}
	list_for_each_entry_safe(f, ftmp, file_list, list) {
		list_del(&f->list);
		free(f->blob);
		free(f);
	}
}

bool acl_load(const char *dir)
{
	LIST_HEAD(new_files);
	LIST_HEAD(new_rules);
	char *pattern;
	glob_t gl = { 0 };
	size_t i;
	int rc;

	if (asprintf(&pattern, "%s/*.json", dir) < 0)
		return false;
	rc = glob(pattern, GLOB_NOESCAPE | GLOB_MARK, NULL, &gl);
	free(pattern);
	if (rc != 0)
		return false;

	for (i = 0; i < gl.gl_pathc; i++) {
		struct acl_file *file;

		if (!file_trusted(gl.gl_pathv[i]))
			continue;
		file = file_read(gl.gl_pathv[i]);
		if (!file)
			continue;
		list_add_tail(&file->list, &new_files);
		file_rules(&new_rules, file);
	}
	globfree(&gl);

	drop(&files, &rules);
	list_splice(&new_files, &files);
	list_splice(&new_rules, &rules);
	sequence++;
	return true;
}

uint32_t acl_sequence(void)
{
	return sequence;
}

void acl_free_all(void)
{
	drop(&files, &rules);
}

/* ---------------------------------------------------------------- peers */

/* The supplementary groups of process pid, as /proc lists them. */
static void peer_groups(struct acl_peer *peer, pid_t pid)
{
	char path[64], line[512];
	int gids[ACL_MAX_GROUPS];
	size_t n = 0;
	FILE *f;

	snprintf(path, sizeof(path), "/proc/%d/status", (int) pid);
	f = fopen(path, "re");
	if (!f)
		return;
	while (fgets(line, sizeof(line), f)) {
		char *p = line + 7, *end;

		if (strncmp(line, "Groups:", 7) != 0)
			continue;
		while (*p && n < ACL_MAX_GROUPS) {
			unsigned long gid = strtoul(p, &end, 10);

			if (end == p)
				break;
			gids[n++] = (int) gid;
			p = end;
		}
		break;
	}
	fclose(f);

	if (!n)
		return;
	peer->groups = malloc(n * sizeof(*gids));
	if (!peer->groups)
		return;
	memcpy(peer->groups, gids, n * sizeof(*gids));
	peer->n_groups = n;
}

bool acl_peer_init(struct acl_peer *peer, int fd)
{
	struct ucred cred;
	socklen_t len = sizeof(cred);
	struct passwd *pw;
	struct group *gr;

	memset(peer, 0, sizeof(*peer));
	if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0) {
		syslog(LOG_ERR, "Failed getsockopt(): %m\n");
		return false;
	}
	pw = getpwuid(cred.uid);
	if (!pw) {
		syslog(LOG_ERR, "Failed getpwuid(): %m\n");
		return false;
	}
	peer->user = strdup(pw->pw_name);
	gr = getgrgid(cred.gid);
	if (!gr) {
		syslog(LOG_ERR, "Failed getgrgid(): %m\n");
		free(peer->user);
		peer->user = NULL;
		return false;
	}
	peer->group = strdup(gr->gr_name);
	peer->uid = (int) cred.uid;
	peer->gid = (int) cred.gid;
	peer_groups(peer, cred.pid);
	return true;
}

void acl_peer_free(struct acl_peer *peer)
{
	free(peer->user);
	free(peer->group);
	free(peer->groups);
	memset(peer, 0, sizeof(*peer));
}
