#include "list.h"

#include <stdio.h>

#include "alloc.h"

namespace {

list_node *node_create(void *item) {
    list_node *node = static_cast<list_node *>(ostrel_calloc(1, sizeof(list_node)));
    if (node != nullptr) node->data = item;
    return node;
}

// A null position is only meaningful for an empty list: linking a lone
// node into a list that has nodes would cut them off.
bool position_valid(const list *l, const list_node *position) {
    return l != nullptr && (position != nullptr || l->head == nullptr);
}

}  // namespace

list *list_create(void) { return static_cast<list *>(ostrel_calloc(1, sizeof(list))); }

int list_get_size(const list *l) {
    if (l == nullptr) return -1;
    int size = 0;
    for (const list_node *node = l->head; node != nullptr; node = node->next) size++;
    return size;
}

list_node *list_insert(list *l, list_node *before, void *item) {
    if (!position_valid(l, before)) return nullptr;
    list_node *node = node_create(item);
    if (node == nullptr) return nullptr;
    if (before == nullptr) {
        l->head = l->tail = node;
        return node;
    }
    node->prev = before->prev;
    node->next = before;
    if (l->head == before) {
        l->head = node;
    } else {
        before->prev->next = node;
    }
    before->prev = node;
    return node;
}

list_node *list_append(list *l, list_node *after, void *item) {
    if (!position_valid(l, after)) return nullptr;
    list_node *node = node_create(item);
    if (node == nullptr) return nullptr;
    if (after == nullptr) {
        l->head = l->tail = node;
        return node;
    }
    node->prev = after;
    node->next = after->next;
    if (l->tail == after) {
        l->tail = node;
    } else {
        after->next->prev = node;
    }
    after->next = node;
    return node;
}

void list_insert_first(list *l, void *item) {
    if (l != nullptr) list_insert(l, l->head, item);
}

void list_append_last(list *l, void *item) {
    if (l != nullptr) list_append(l, l->tail, item);
}

void *list_get_data_first(const list *l) { return l == nullptr || l->head == nullptr ? nullptr : l->head->data; }

void *list_get_data_last(const list *l) { return l == nullptr || l->tail == nullptr ? nullptr : l->tail->data; }

list_node *list_get_node_indexed(const list *l, int index) {
    if (l == nullptr) return nullptr;
    list_node *node = l->head;
    for (int i = 0; i < index && node != nullptr; i++) node = node->next;
    return node;
}

void *list_get_data_indexed(const list *l, int index) {
    list_node *node = list_get_node_indexed(l, index);
    return node == nullptr ? nullptr : node->data;
}

void list_set_data_indexed(list *l, int index, void *item, list_release_fn release) {
    if (index < 0) return;
    list_node *node = list_get_node_indexed(l, index);
    if (node == nullptr) return;
    if (node->data != nullptr && release != nullptr) release(node->data);
    node->data = item;
}

void list_remove(list *l, list_node *node, list_release_fn release) {
    if (l == nullptr || node == nullptr) return;
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        l->head = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        l->tail = node->prev;
    }
    if (release != nullptr) release(node->data);
    ostrel_free(node);
}

void list_remove_data_indexed(list *l, int index, list_release_fn release) {
    list_remove(l, list_get_node_indexed(l, index), release);
}

list *list_clear(list *l, list_release_fn release) {
    if (l == nullptr) return nullptr;
    list_node *node = l->head;
    while (node != nullptr) {
        list_node *next = node->next;
        if (release != nullptr) release(node->data);
        ostrel_free(node);
        node = next;
    }
    l->head = l->tail = nullptr;
    return l;
}

void list_free(list *l, list_release_fn release) {
    if (l == nullptr) return;
    list_clear(l, release);
    ostrel_free(l);
}

void list_of_lists_free(list *l, list_release_fn release) {
    if (l == nullptr) return;
    list_node *node = l->head;
    while (node != nullptr) {
        list_node *next = node->next;
        list_free(static_cast<list *>(node->data), release);
        ostrel_free(node);
        node = next;
    }
    ostrel_free(l);
}

// All nodes are allocated before the first copy is made, so that running
// out of memory never leaves copies that nobody could release.
list *list_dup(const list *l, list_copy_fn copy) {
    if (l == nullptr) return nullptr;
    list *dup = list_create();
    if (dup == nullptr) return nullptr;
    for (const list_node *node = l->head; node != nullptr; node = node->next) {
        if (list_append(dup, dup->tail, node->data) == nullptr) {
            list_free(dup, nullptr);
            return nullptr;
        }
    }
    if (copy != nullptr) {
        for (list_node *node = dup->head; node != nullptr; node = node->next) node->data = copy(node->data);
    }
    return dup;
}

// Out of memory for the copy, the destination is left as it was.
void list_append_list(list *dst, const list *src) {
    if (dst == nullptr || src == nullptr) return;
    list *copy = list_dup(src, nullptr);
    if (copy == nullptr) return;
    if (copy->head != nullptr) {
        if (dst->head == nullptr) {
            dst->head = copy->head;
        } else {
            dst->tail->next = copy->head;
            copy->head->prev = dst->tail;
        }
        dst->tail = copy->tail;
    }
    ostrel_free(copy);
}

int list_cmp(const list *a, const list *b, list_equal_fn equal) {
    int size = list_get_size(a);
    if (equal == nullptr || size != list_get_size(b)) return 0;
    if (size <= 0) return 1;
    for (const list_node *x = a->head, *y = b->head; x != nullptr; x = x->next, y = y->next) {
        if (!equal(x->data, y->data)) return 0;
    }
    return 1;
}

void list_debug(const list *l) {
    if (l == nullptr) return;
    for (const list_node *node = l->head; node != nullptr; node = node->next) {
        printf("%s ", static_cast<const char *>(node->data));
    }
    putchar('\n');
}

// The count as LEB128, then each item in the writer's own encoding:
//   (a, b, c) -> 03 <a> <b> <c>        null list -> 00
void buf_write_list(buf *out, const list *l, list_item_writer_fn writer) {
    int size = list_get_size(l);
    buf_write_uint32_enc(out, size < 0 ? 0 : static_cast<uint32_t>(size));
    if (size <= 0 || writer == nullptr) return;
    for (const list_node *node = l->head; node != nullptr; node = node->next) writer(out, node->data);
}
