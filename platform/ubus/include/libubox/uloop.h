/*
 * uloop: the process-wide event loop (file descriptors and timeouts).
 *
 * uloop_init() sets SIGINT and SIGTERM to handlers that request the loop to
 * end, and SIGPIPE to ignored, each only where the disposition is still the
 * default; uloop_done() puts back the SIGINT and SIGTERM handlers it set
 * (SIGPIPE stays ignored, as on the platform).
 */
#ifndef KELVORA_LIBUBOX_ULOOP_H
#define KELVORA_LIBUBOX_ULOOP_H

#include <signal.h>
#include <stdbool.h>
#include <stdint.h>
#include <sys/time.h>
#include <sys/types.h>

#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

struct uloop_fd;
struct uloop_timeout;

typedef void (*uloop_fd_handler)(struct uloop_fd *u, unsigned int events);
typedef void (*uloop_timeout_handler)(struct uloop_timeout *t);

#define ULOOP_READ		(1 << 0)
#define ULOOP_WRITE		(1 << 1)
#define ULOOP_EDGE_TRIGGER	(1 << 2)
#define ULOOP_BLOCKING		(1 << 3)

#define ULOOP_EVENT_MASK	(ULOOP_READ | ULOOP_WRITE)

/* internal flags */
#define ULOOP_EVENT_BUFFERED	(1 << 4)
#define ULOOP_ERROR_CB		(1 << 6)

struct uloop_fd {
	uloop_fd_handler cb;
	int fd;
	bool eof;
	bool error;
	bool registered;
	uint8_t flags;
};

struct uloop_timeout {
	struct list_head list;
	bool pending;

	uloop_timeout_handler cb;
	struct timeval time;
};

/* Set to end the running loop; cleared by uloop_run_timeout on entry. */
extern bool uloop_cancelled;
/* Called whenever a descriptor's flags change (0: removed). */
extern uloop_fd_handler uloop_fd_set_cb;

/* Watches u->fd (ULOOP_READ and/or ULOOP_WRITE; the socket is made
 * non-blocking unless ULOOP_BLOCKING is given); flags without READ or WRITE
 * remove it. */
int uloop_fd_add(struct uloop_fd *sock, unsigned int flags);
int uloop_fd_delete(struct uloop_fd *sock);

/* Milliseconds until the next timeout, -1 when none is pending. */
int uloop_get_next_timeout(void);
int uloop_timeout_add(struct uloop_timeout *timeout);
int uloop_timeout_set(struct uloop_timeout *timeout, int msecs);
int uloop_timeout_cancel(struct uloop_timeout *timeout);
int uloop_timeout_remaining(struct uloop_timeout *timeout);
int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout);

/* True while a loop runs and has been asked to end. */
bool uloop_cancelling(void);

/* Atomic, as other threads may set or read the flag too. */
static inline void uloop_end(void)
{
	__atomic_store_n(&uloop_cancelled, true, __ATOMIC_SEQ_CST);
}

int uloop_init(void);
/* Clears uloop_cancelled, then runs due timeouts and dispatches events.
 * timeout >= 0: one pass waiting at most timeout ms; < 0: until cancelled.
 * Returns the number of the signal that ended the loop, or 0. */
int uloop_run_timeout(int timeout);

static inline int uloop_run(void)
{
	return uloop_run_timeout(-1);
}

void uloop_done(void);

#ifdef __cplusplus
}
#endif

#endif
