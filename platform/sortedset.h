/*
 * sortedset.h - a set of caller-owned entries kept in the caller's order.
 *
 * Entries are referenced, not copied. Ownership passes to the set with
 * sortedSet_add: the entry must come from malloc/calloc, sortedSet_rem frees
 * it with free(), and sortedSet_destroy frees every entry still held.
 *
 * The comparator receives pointers to two entries (the stored entry and a
 * probe); sortedSet_find needs a probe that carries only what the comparator
 * reads. Entries comparing equal are kept in insertion order; find returns
 * the first of them.
 *
 * All calls are thread-safe: lookups may run on one thread while another
 * adds or removes.
 */
#ifndef SORTEDSET_H
#define SORTEDSET_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sortedSet sortedSet;
typedef int (*sortedSet_cmp)(const void *a, const void *b);

/* NULL when cmp is NULL or memory runs out; size is the initial capacity. */
sortedSet *sortedSet_init(int size, sortedSet_cmp cmp);
int sortedSet_add(sortedSet *s, void *entry);            /* 0, or -1 */
void *sortedSet_find(sortedSet *s, const void *probe);   /* entry or NULL */
int sortedSet_len(sortedSet *s);                         /* 0 for NULL */
void *sortedSet_first(sortedSet *s);                     /* NULL when empty */
int sortedSet_rem(sortedSet *s, void *entry);            /* 0, or -1 if absent */
void sortedSet_destroy(sortedSet *s);

#ifdef __cplusplus
}
#endif

#endif /* SORTEDSET_H */
