/*
 * ubusd's access lists.
 *
 * Rules come from the files *.json of one directory (default
 * /usr/share/acl.d); a file counts only when it is a regular file owned by
 * uid 0 and gid 0 with none of the modes g+w, o+w, o+x.  A file names the
 * grantee by "user" (taking precedence) or "group" and grants, per object
 * or event name pattern (a trailing '*' makes a prefix):
 *
 *   {"user": "name", "access": {"pattern": {"methods": ["m", "*"], "acl": {...}}},
 *    "publish": [...], "subscribe": [...], "listen": [...], "send": [...]}
 *
 * A peer with uid 0 is always allowed; any other peer only what a rule
 * grants to its uid, its primary gid or one of its supplementary groups.
 */
#ifndef KELVORA_UBUSD_ACL_H
#define KELVORA_UBUSD_ACL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <libubox/blob.h>

#define ACL_DEFAULT_DIR		"/usr/share/acl.d"
#define ACL_MAX_GROUPS		64

enum acl_right {
	ACL_PUBLISH,
	ACL_SUBSCRIBE,
	ACL_ACCESS,
	ACL_LISTEN,
	ACL_SEND,
};

/* Who is at the other end of a client socket. */
struct acl_peer {
	int uid;
	int gid;
	char *user;
	char *group;
	int *groups;		/* supplementary, as the process had them at connect */
	size_t n_groups;
};

/* Reads the credentials of the peer of socket fd; false (nothing to free)
 * when they cannot be read or the uid or gid has no name. */
bool acl_peer_init(struct acl_peer *peer, int fd);
void acl_peer_free(struct acl_peer *peer);

/* Whether peer may use right on name (method: for ACL_ACCESS).  A NULL name
 * (an object without a path) is never restricted. */
bool acl_allowed(const struct acl_peer *peer, const char *name, const char *method,
		 enum acl_right right);

/* Replaces the rules by those of the files in dir.  When no file matches
 * (or dir cannot be read) the rules stay as they were and false is
 * returned; otherwise the sequence number advances. */
bool acl_load(const char *dir);
uint32_t acl_sequence(void);
void acl_free_all(void);

/* Appends, for an object published at path, one table per "access" rule
 * with an "acl" member that covers path: {"obj", "user" or "group", "acl"}. */
void acl_describe(struct blob_buf *b, const char *path);

#endif
