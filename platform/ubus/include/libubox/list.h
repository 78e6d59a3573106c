/*
 * Circular doubly linked lists with the head embedded in the element.
 */
#ifndef KELVORA_LIBUBOX_LIST_H
#define KELVORA_LIBUBOX_LIST_H

#include <stddef.h>
#include <stdbool.h>

#include "utils.h"

struct list_head {
	struct list_head *next;
	struct list_head *prev;
};

#define LIST_HEAD_INIT(name) { &(name), &(name) }
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

static inline void INIT_LIST_HEAD(struct list_head *list)
{
	list->next = list;
	list->prev = list;
}

static inline bool list_empty(const struct list_head *head)
{
	return head->next == head;
}

static inline bool list_is_first(const struct list_head *entry, const struct list_head *head)
{
	return entry->prev == head;
}

static inline bool list_is_last(const struct list_head *entry, const struct list_head *head)
{
	return entry->next == head;
}

static inline void _list_link(struct list_head *entry, struct list_head *prev, struct list_head *next)
{
	next->prev = entry;
	entry->next = next;
	entry->prev = prev;
	prev->next = entry;
}

/* Inserts after head (stack order). */
static inline void list_add(struct list_head *entry, struct list_head *head)
{
	_list_link(entry, head, head->next);
}

/* Inserts before head (queue order). */
static inline void list_add_tail(struct list_head *entry, struct list_head *head)
{
	_list_link(entry, head->prev, head);
}

static inline void _list_unlink(struct list_head *entry)
{
	entry->next->prev = entry->prev;
	entry->prev->next = entry->next;
}

static inline void list_del(struct list_head *entry)
{
	_list_unlink(entry);
	entry->next = entry->prev = NULL;
}

static inline void list_del_init(struct list_head *entry)
{
	_list_unlink(entry);
	INIT_LIST_HEAD(entry);
}

static inline void list_move(struct list_head *entry, struct list_head *head)
{
	_list_unlink(entry);
	list_add(entry, head);
}

static inline void list_move_tail(struct list_head *entry, struct list_head *head)
{
	_list_unlink(entry);
	list_add_tail(entry, head);
}

/* Moves all entries of list to the front of head; list is left undefined. */
static inline void list_splice(const struct list_head *list, struct list_head *head)
{
	struct list_head *first = list->next, *last = list->prev;

	if (list_empty(list))
		return;
	last->next = head->next;
	head->next->prev = last;
	first->prev = head;
	head->next = first;
}

static inline void list_splice_init(struct list_head *list, struct list_head *head)
{
	list_splice(list, head);
	INIT_LIST_HEAD(list);
}

static inline void list_splice_tail(const struct list_head *list, struct list_head *head)
{
	struct list_head *first = list->next, *last = list->prev;

	if (list_empty(list))
		return;
	first->prev = head->prev;
	head->prev->next = first;
	last->next = head;
	head->prev = last;
}

static inline void list_splice_tail_init(struct list_head *list, struct list_head *head)
{
	list_splice_tail(list, head);
	INIT_LIST_HEAD(list);
}

#define list_entry(ptr, type, field) container_of(ptr, type, field)
#define list_first_entry(ptr, type, field) list_entry((ptr)->next, type, field)
#define list_last_entry(ptr, type, field) list_entry((ptr)->prev, type, field)

#define list_for_each(p, head) \
	for (p = (head)->next; p != (head); p = p->next)

#define list_for_each_safe(p, n, head) \
	for (p = (head)->next, n = p->next; p != (head); p = n, n = p->next)

#define list_for_each_prev(p, head) \
	for (p = (head)->prev; p != (head); p = p->prev)

#define list_for_each_entry(p, head, field) \
	for (p = list_first_entry(head, __typeof__(*p), field); \
	     &p->field != (head); \
	     p = list_entry(p->field.next, __typeof__(*p), field))

#define list_for_each_entry_reverse(p, head, field) \
	for (p = list_last_entry(head, __typeof__(*p), field); \
	     &p->field != (head); \
	     p = list_entry(p->field.prev, __typeof__(*p), field))

#define list_for_each_entry_safe(p, n, head, field) \
	for (p = list_first_entry(head, __typeof__(*p), field), \
	     n = list_entry(p->field.next, __typeof__(*p), field); \
	     &p->field != (head); \
	     p = n, n = list_entry(n->field.next, __typeof__(*n), field))

#endif
