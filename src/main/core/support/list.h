/* Doubly linked list of untyped item pointers.
 *
 * The list owns its nodes, never the items: every operation that drops
 * items takes an optional release function (NULL leaves items alone), and
 * list_dup takes an optional copy function. There is no stored count.
 * Insertion that cannot allocate returns NULL and leaves the list as it
 * was. Null lists give neutral answers (size -1, NULL item, no action). */
#ifndef OSTREL_LIST_H
#define OSTREL_LIST_H

#include <stdbool.h>

#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

typedef struct list_node {
    struct list_node *prev; /* NULL at the head */
    struct list_node *next; /* NULL at the tail */
    void *data;             /* the item, never interpreted */
} list_node;

typedef struct list {
    list_node *head; /* NULL when empty */
    list_node *tail; /* NULL when empty */
} list;

typedef void (*list_release_fn)(void *item);
typedef void *(*list_copy_fn)(void *item);
typedef bool (*list_equal_fn)(void *a, void *b);
typedef void (*list_item_writer_fn)(buf *out, void *item);

OSTREL_API list *list_create(void);                                  /* new empty list, caller frees; NULL on OOM */
OSTREL_API int list_get_size(const list *l);                         /* -1 for NULL */
OSTREL_API list_node *list_insert(list *l, list_node *before, void *item);  /* new node owned by l; NULL on OOM */
OSTREL_API list_node *list_append(list *l, list_node *after, void *item);   /* new node owned by l; NULL on OOM */
OSTREL_API void list_insert_first(list *l, void *item);
OSTREL_API void list_append_last(list *l, void *item);
OSTREL_API void *list_get_data_first(const list *l);                 /* borrowed item */
OSTREL_API void *list_get_data_last(const list *l);                  /* borrowed item */
OSTREL_API list_node *list_get_node_indexed(const list *l, int index);   /* borrowed node */
OSTREL_API void *list_get_data_indexed(const list *l, int index);    /* borrowed item */
OSTREL_API void list_set_data_indexed(list *l, int index, void *item, list_release_fn release);
OSTREL_API void list_remove(list *l, list_node *node, list_release_fn release);
OSTREL_API void list_remove_data_indexed(list *l, int index, list_release_fn release);
OSTREL_API list *list_clear(list *l, list_release_fn release);       /* returns l */
OSTREL_API void list_free(list *l, list_release_fn release);
OSTREL_API void list_of_lists_free(list *l, list_release_fn release); /* release applies to inner items */
OSTREL_API list *list_dup(const list *l, list_copy_fn copy);         /* new list, caller frees; NULL for NULL or OOM */
OSTREL_API void list_append_list(list *dst, const list *src);        /* dst gets nodes sharing src's items */
OSTREL_API int list_cmp(const list *a, const list *b, list_equal_fn equal);  /* 1 equal, 0 not */
OSTREL_API void list_debug(const list *l);                           /* items as strings to standard output */

/* Appends the LEB128 count, then writer(out, item) for each item in order. */
OSTREL_API void buf_write_list(buf *out, const list *l, list_item_writer_fn writer);

OSTREL_END_DECLS

#endif
