/*
 * uloop on epoll.  One loop per process: the epoll descriptor, the timeout
 * list and the signal waker are process-wide.
 *
 * The cancel flag may be set from a signal handler or from another thread,
 * and uloop_cancelling() may be asked from any thread: the flag and the run
 * depth are read and written here with atomic builtins.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <string.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include "libubox/uloop.h"

#define MAX_EVENTS 10

bool uloop_cancelled = false;
uloop_fd_handler uloop_fd_set_cb = NULL;

struct fired {
	struct uloop_fd *fd;
	unsigned int events;
};

static pthread_mutex_t setup_lock = PTHREAD_MUTEX_INITIALIZER;
static int poll_fd = -1;
static LIST_HEAD(timeouts);
static struct fired fired[MAX_EVENTS];
static int fired_next, fired_left;
static int run_depth;
static volatile sig_atomic_t end_signal;

/* Signal handlers write the signal number here to wake the wait. */
static int waker_write = -1;
static struct uloop_fd waker;

static struct sigaction saved_int, saved_term;
static bool changed_int, changed_term;

static bool cancelled(void)
{
	return __atomic_load_n(&uloop_cancelled, __ATOMIC_SEQ_CST);
}

static void set_cancelled(bool value)
{
	__atomic_store_n(&uloop_cancelled, value, __ATOMIC_SEQ_CST);
}

static void waker_drain(struct uloop_fd *u, unsigned int events)
{
	char buf[32];

	(void) events;
	while (read(u->fd, buf, sizeof(buf)) > 0)
		;
}

static void on_end_signal(int signo)
{
	int saved_errno = errno;
	char byte = (char) signo;
	ssize_t ignored;

	end_signal = signo;
	set_cancelled(true);
	if (waker_write >= 0)
		ignored = write(waker_write, &byte, 1);
	(void) ignored;
	errno = saved_errno;
}

/* Installs handler for signo when its disposition is the default. */
static bool take_signal(int signo, void (*handler)(int), struct sigaction *saved)
{
	struct sigaction current, act;

	if (sigaction(signo, NULL, &current) != 0 || current.sa_handler != SIG_DFL)
		return false;

	if (saved)
		*saved = current;
	memset(&act, 0, sizeof(act));
	act.sa_handler = handler;
	sigemptyset(&act.sa_mask);
	return sigaction(signo, &act, NULL) == 0;
}

/* Puts back the saved disposition when ours is still installed. */
static void give_signal(int signo, void (*ours)(int), const struct sigaction *saved)
{
	struct sigaction current;

	if (sigaction(signo, NULL, &current) != 0 || current.sa_handler != ours)
		return;

	if (saved) {
		sigaction(signo, saved, NULL);
	} else {
		struct sigaction dfl;

		memset(&dfl, 0, sizeof(dfl));
		dfl.sa_handler = SIG_DFL;
		sigemptyset(&dfl.sa_mask);
		sigaction(signo, &dfl, NULL);
	}
}

int uloop_init(void)
{
	int fds[2];
	int ret = 0;

	pthread_mutex_lock(&setup_lock);
	if (poll_fd < 0) {
		poll_fd = epoll_create1(EPOLL_CLOEXEC);
		if (poll_fd < 0) {
			ret = -1;
			goto out;
		}
	}

	if (waker_write < 0) {
		if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0) {
			ret = -1;
			goto out;
		}
		memset(&waker, 0, sizeof(waker));
		waker.fd = fds[0];
		waker.cb = waker_drain;
		waker_write = fds[1];
		uloop_fd_add(&waker, ULOOP_READ);

		changed_int = take_signal(SIGINT, on_end_signal, &saved_int);
		changed_term = take_signal(SIGTERM, on_end_signal, &saved_term);
		take_signal(SIGPIPE, SIG_IGN, NULL);
	}
out:
	pthread_mutex_unlock(&setup_lock);
	return ret;
}

void uloop_done(void)
{
	struct uloop_timeout *t, *tmp;

	pthread_mutex_lock(&setup_lock);
	if (changed_int)
		give_signal(SIGINT, on_end_signal, &saved_int);
	if (changed_term)
		give_signal(SIGTERM, on_end_signal, &saved_term);
	/* SIGPIPE stays ignored, as with the platform's libubox. */
	changed_int = changed_term = false;

	if (waker_write >= 0) {
		uloop_fd_delete(&waker);
		close(waker.fd);
		close(waker_write);
		waker.fd = -1;
		waker_write = -1;
	}

	if (poll_fd >= 0) {
		close(poll_fd);
		poll_fd = -1;
	}

	list_for_each_entry_safe(t, tmp, &timeouts, list)
		uloop_timeout_cancel(t);
	fired_left = 0;
	pthread_mutex_unlock(&setup_lock);
}

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags)
{
	struct epoll_event ev;
	int ret;

	if (!(flags & (ULOOP_READ | ULOOP_WRITE)))
		return uloop_fd_delete(sock);

	if (!sock->registered && !(flags & ULOOP_BLOCKING)) {
		int fl = fcntl(sock->fd, F_GETFL, 0);

		if (fl >= 0)
			fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
	}

	memset(&ev, 0, sizeof(ev));
	if (flags & ULOOP_READ)
		ev.events |= EPOLLIN | EPOLLRDHUP;
	if (flags & ULOOP_WRITE)
		ev.events |= EPOLLOUT;
	if (flags & ULOOP_EDGE_TRIGGER)
		ev.events |= EPOLLET;
	ev.data.ptr = sock;

	ret = epoll_ctl(poll_fd, sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, sock->fd, &ev);
	if (ret < 0)
		return ret;

	if (uloop_fd_set_cb)
		uloop_fd_set_cb(sock, flags);

	sock->flags = (uint8_t) flags;
	sock->registered = true;
	sock->eof = false;
	sock->error = false;
	return 0;
}

int uloop_fd_delete(struct uloop_fd *sock)
{
	int i;

	if (!sock->registered)
		return 0;

	/* Drop events already fetched for this descriptor. */
	for (i = 0; i < fired_left; i++)
		if (fired[fired_next + i].fd == sock)
			fired[fired_next + i].fd = NULL;

	if (uloop_fd_set_cb)
		uloop_fd_set_cb(sock, 0);

	sock->registered = false;
	sock->flags = 0;
	return epoll_ctl(poll_fd, EPOLL_CTL_DEL, sock->fd, NULL);
}

static void now(struct timeval *tv)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	tv->tv_sec = ts.tv_sec;
	tv->tv_usec = ts.tv_nsec / 1000;
}

/* t1 - t2 in milliseconds. */
static int64_t diff_ms(const struct timeval *t1, const struct timeval *t2)
{
	return (int64_t) (t1->tv_sec - t2->tv_sec) * 1000 + (t1->tv_usec - t2->tv_usec) / 1000;
}

int uloop_timeout_add(struct uloop_timeout *timeout)
{
	struct uloop_timeout *cur;
	struct list_head *before = &timeouts;

	if (timeout->pending)
		return -1;

	list_for_each_entry(cur, &timeouts, list) {
		if (diff_ms(&cur->time, &timeout->time) > 0) {
			before = &cur->list;
			break;
		}
	}

	list_add_tail(&timeout->list, before);
	timeout->pending = true;
	return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs)
{
	struct timeval *tv = &timeout->time;

	if (timeout->pending)
		uloop_timeout_cancel(timeout);

	now(tv);
	tv->tv_sec += msecs / 1000;
	tv->tv_usec += (msecs % 1000) * 1000;
	if (tv->tv_usec >= 1000000) {
		tv->tv_sec++;
		tv->tv_usec -= 1000000;
	} else if (tv->tv_usec < 0) {
		tv->tv_sec--;
		tv->tv_usec += 1000000;
	}

	return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;

	list_del(&timeout->list);
	timeout->pending = false;
	return 0;
}

int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout)
{
	struct timeval tv;

	if (!timeout->pending)
		return -1;

	now(&tv);
	return diff_ms(&timeout->time, &tv);
}

int uloop_timeout_remaining(struct uloop_timeout *timeout)
{
	int64_t ms = uloop_timeout_remaining64(timeout);

	if (ms > INT_MAX)
		return INT_MAX;
	if (ms < INT_MIN)
		return INT_MIN;
	return (int) ms;
}

int uloop_get_next_timeout(void)
{
	struct uloop_timeout *first;
	struct timeval tv;
	int64_t ms;

	if (list_empty(&timeouts))
		return -1;

	now(&tv);
	first = list_first_entry(&timeouts, struct uloop_timeout, list);
	ms = diff_ms(&first->time, &tv);
	if (ms < 0)
		return 0;
	if (ms > INT_MAX)
		return INT_MAX;
	return (int) ms;
}

static void run_timeouts(void)
{
	struct timeval tv;

	now(&tv);
	while (!list_empty(&timeouts)) {
		struct uloop_timeout *t = list_first_entry(&timeouts, struct uloop_timeout, list);

		if (diff_ms(&t->time, &tv) > 0)
			break;

		uloop_timeout_cancel(t);
		if (t->cb)
			t->cb(t);
	}
}

static int fetch_events(int timeout)
{
	struct epoll_event events[MAX_EVENTS];
	int n, i;

	n = epoll_wait(poll_fd, events, MAX_EVENTS, timeout);
	if (n <= 0)
		return 0;

	for (i = 0; i < n; i++) {
		struct uloop_fd *u = events[i].data.ptr;
		uint32_t e = events[i].events;
		unsigned int ev = 0;

		fired[i].fd = u;
		fired[i].events = 0;
		if (!u)
			continue;

		if (e & (EPOLLERR | EPOLLHUP)) {
			u->error = true;
			if (!(u->flags & ULOOP_ERROR_CB))
				uloop_fd_delete(u);
		}
		if (!(e & (EPOLLRDHUP | EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP))) {
			fired[i].fd = NULL;
			continue;
		}
		if (e & EPOLLRDHUP)
			u->eof = true;
		if (e & EPOLLIN)
			ev |= ULOOP_READ;
		if (e & EPOLLOUT)
			ev |= ULOOP_WRITE;
		fired[i].events = ev;
	}
	return n;
}

static void run_events(int timeout)
{
	if (!fired_left) {
		fired_next = 0;
		fired_left = fetch_events(timeout);
	}

	while (fired_left > 0) {
		struct fired *cur = &fired[fired_next++];

		fired_left--;
		if (!cur->fd || !cur->fd->cb)
			continue;
		cur->fd->cb(cur->fd, cur->events);
		if (cancelled())
			break;
	}
}

bool uloop_cancelling(void)
{
	return __atomic_load_n(&run_depth, __ATOMIC_SEQ_CST) > 0 && cancelled();
}

int uloop_run_timeout(int timeout)
{
	int wait;

	__atomic_add_fetch(&run_depth, 1, __ATOMIC_SEQ_CST);
	end_signal = 0;
	set_cancelled(false);

	do {
		run_timeouts();
		if (cancelled())
			break;

		wait = uloop_get_next_timeout();
		if (timeout >= 0 && (wait < 0 || timeout < wait))
			wait = timeout;
		run_events(wait);
	} while (!cancelled() && timeout < 0);

	__atomic_sub_fetch(&run_depth, 1, __ATOMIC_SEQ_CST);
	return end_signal;
}
