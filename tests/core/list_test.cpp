#include "list.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "test_seed.h"

namespace {

using Items = std::vector<void *>;
using Bytes = std::vector<uint8_t>;

char A[] = "A", B[] = "B", C[] = "C", D[] = "D";

// Walks the list both ways, checking every link, and returns its items.
Items items_of(const list *l) {
    Items forward, backward;
    const list_node *prev = nullptr;
    for (const list_node *n = l->head; n != nullptr; prev = n, n = n->next) {
        EXPECT_EQ(n->prev, prev);
        forward.push_back(n->data);
    }
    EXPECT_EQ(l->tail, prev);
    for (const list_node *n = l->tail; n != nullptr; n = n->prev) backward.insert(backward.begin(), n->data);
    EXPECT_EQ(forward, backward);
    return forward;
}

list *list_of(const Items &items) {
    list *l = list_create();
    for (void *item : items) list_append_last(l, item);
    return l;
}

Items released;
void record_release(void *item) { released.push_back(item); }

int copies_made;
void *copy_string(void *item) {
    copies_made++;
    return strdup(static_cast<const char *>(item));
}

bool same_string(void *a, void *b) { return strcmp(static_cast<char *>(a), static_cast<char *>(b)) == 0; }
bool same_pointer(void *a, void *b) { return a == b; }

std::string debug_output(const list *l) {
    testing::internal::CaptureStdout();
    list_debug(l);
    return testing::internal::GetCapturedStdout();
}

Bytes contents(const buf *b) { return b->len == 0 ? Bytes{} : Bytes(b->data, b->data + b->len); }

class List : public testing::Test {
  protected:
    void SetUp() override { released.clear(); }
};

TEST_F(List, SizeAndLookups) {
    EXPECT_EQ(list_get_size(nullptr), -1);
    list *l = list_create();
    EXPECT_EQ(list_get_size(l), 0);
    EXPECT_EQ(list_get_data_first(l), nullptr);
    EXPECT_EQ(list_get_node_indexed(l, 0), nullptr);
    list_append_last(l, A);
    list_append_last(l, B);
    list_append_last(l, C);
    EXPECT_EQ(list_get_size(l), 3);
    struct Case {
        int index;
        void *expected;
    } cases[] = {{0, A}, {-5, A}, {1, B}, {2, C}, {3, nullptr}, {100, nullptr}};
    for (const Case &c : cases) EXPECT_EQ(list_get_data_indexed(l, c.index), c.expected) << c.index;
    EXPECT_EQ(list_get_node_indexed(l, 2), l->tail);
    EXPECT_EQ(list_get_data_first(l), A);
    EXPECT_EQ(list_get_data_last(l), C);
    EXPECT_EQ(list_get_data_first(nullptr), nullptr);
    EXPECT_EQ(list_get_data_last(nullptr), nullptr);
    EXPECT_EQ(list_get_data_indexed(nullptr, 0), nullptr);
    list_free(l, nullptr);
}

TEST_F(List, SetDataIndexed) {
    list *l = list_of({A, nullptr, C});
    list_set_data_indexed(l, -1, D, record_release);
    list_set_data_indexed(l, 3, D, record_release);
    list_set_data_indexed(nullptr, 0, D, record_release);
    EXPECT_EQ(items_of(l), (Items{A, nullptr, C}));
    list_set_data_indexed(l, 1, B, record_release);  // old item null: not released
    list_set_data_indexed(l, 2, D, record_release);
    list_set_data_indexed(l, 0, C, nullptr);
    EXPECT_EQ(items_of(l), (Items{C, B, D}));
    EXPECT_EQ(released, (Items{C}));
    list_free(l, nullptr);
}

TEST_F(List, InsertAndAppendMoveHeadAndTail) {
    list *l = list_create();
    list_insert_first(l, B);
    EXPECT_EQ(l->head, l->tail);
    list_node *b = l->head;
    EXPECT_EQ(list_insert(l, b, A), l->head);
    EXPECT_EQ(list_append(l, b, D), l->tail);
    list_node *c = list_append(l, b, C);  // between B and D
    EXPECT_EQ(items_of(l), (Items{A, B, C, D}));
    list_insert(l, c, B);  // between B and C
    list_insert_first(l, D);
    list_append_last(l, A);
    EXPECT_EQ(items_of(l), (Items{D, A, B, B, C, D, A}));
    list_insert_first(nullptr, A);
    list_append_last(nullptr, A);
    list_free(l, nullptr);

    l = list_create();
    list_append_last(l, A);
    EXPECT_EQ(l->head, l->tail);
    EXPECT_EQ(l->head->prev, nullptr);
    EXPECT_EQ(l->head->next, nullptr);
    list_free(l, nullptr);
}

TEST_F(List, NullPositionIsOnlyForAnEmptyList) {
    list *l = list_of({A, B});
    EXPECT_EQ(list_insert(l, nullptr, C), nullptr);
    EXPECT_EQ(list_append(l, nullptr, C), nullptr);
    EXPECT_EQ(items_of(l), (Items{A, B}));
    EXPECT_EQ(list_insert(nullptr, nullptr, C), nullptr);
    list_free(l, nullptr);
}

TEST_F(List, Remove) {
    list *l = list_of({A, B, C, D});
    list_remove_data_indexed(l, -1, record_release);
    EXPECT_EQ(items_of(l), (Items{B, C, D}));
    list_remove_data_indexed(l, 3, record_release);
    list_remove_data_indexed(nullptr, 0, record_release);
    list_remove(l, nullptr, record_release);
    EXPECT_EQ(items_of(l), (Items{B, C, D}));
    list_remove(l, l->tail, record_release);
    list_remove_data_indexed(l, 1, nullptr);
    EXPECT_EQ(items_of(l), (Items{B}));
    list_remove(l, l->head, record_release);
    EXPECT_EQ(l->head, nullptr);
    EXPECT_EQ(l->tail, nullptr);
    EXPECT_EQ(released, (Items{A, D, B}));
    list_free(l, nullptr);
}

TEST_F(List, ClearFreeAndListsOfLists) {
    list *l = list_of({A, B});
    EXPECT_EQ(list_clear(l, record_release), l);
    EXPECT_EQ(released, (Items{A, B}));
    EXPECT_EQ(list_get_size(l), 0);
    list_append_last(l, C);
    EXPECT_EQ(items_of(l), (Items{C}));
    list_free(l, record_release);
    EXPECT_EQ(released, (Items{A, B, C}));
    EXPECT_EQ(list_clear(nullptr, record_release), nullptr);
    list_free(nullptr, record_release);

    released.clear();
    list *outer = list_create();
    list_append_last(outer, list_of({A, B}));
    list_append_last(outer, nullptr);
    list_append_last(outer, list_create());
    list_append_last(outer, list_of({C}));
    list_of_lists_free(outer, record_release);
    EXPECT_EQ(released, (Items{A, B, C}));  // never the inner lists
    list_of_lists_free(nullptr, record_release);
}

TEST_F(List, DupAndAppendList) {
    char a[] = "a", b[] = "b";
    list *l = list_of({a, b});
    copies_made = 0;
    list *deep = list_dup(l, copy_string);
    EXPECT_EQ(copies_made, 2);
    Items copies = items_of(deep);
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_NE(copies[0], a);
    EXPECT_EQ(list_cmp(l, deep, same_string), 1);
    EXPECT_EQ(list_cmp(l, deep, same_pointer), 0);
    list_free(deep, free);
    list *shallow = list_dup(l, nullptr);
    EXPECT_EQ(items_of(shallow), (Items{a, b}));
    EXPECT_EQ(list_dup(nullptr, copy_string), nullptr);

    list *empty = list_create();
    list_append_list(shallow, empty);
    EXPECT_EQ(items_of(shallow), (Items{a, b}));
    list_append_list(empty, l);  // nodes are copies, the items shared
    EXPECT_EQ(items_of(empty), (Items{a, b}));
    EXPECT_NE(empty->head, l->head);
    list_append_list(shallow, shallow);
    EXPECT_EQ(items_of(shallow), (Items{a, b, a, b}));
    list_append_list(nullptr, l);
    list_append_list(l, nullptr);
    EXPECT_EQ(items_of(l), (Items{a, b}));
    list_free(l, nullptr);
    list_free(shallow, nullptr);
    list_free(empty, nullptr);
}

TEST_F(List, Compare) {
    list *empty1 = list_create(), *empty2 = list_create();
    list *ab = list_of({A, B}), *ab2 = list_of({A, B}), *ac = list_of({A, C}), *abc = list_of({A, B, C});
    struct Case {
        const list *a, *b;
        list_equal_fn equal;
        int expected;
    } cases[] = {
        {ab, ab, nullptr, 0},           {nullptr, nullptr, same_pointer, 1},
        {nullptr, empty1, same_pointer, 0}, {empty1, empty2, same_pointer, 1},
        {ab, ab2, same_pointer, 1},     {ab, ac, same_pointer, 0},
        {ab, abc, same_pointer, 0},     {abc, ab, same_pointer, 0},
    };
    for (const Case &c : cases) EXPECT_EQ(list_cmp(c.a, c.b, c.equal), c.expected) << (&c - cases);
    for (list *l : {empty1, empty2, ab, ab2, ac, abc}) list_free(l, nullptr);
}

TEST_F(List, DebugPrintsItemsAsStrings) {
    char a[] = "a", b[] = "b";
    list *l = list_of({a, b});
    list *empty = list_create();
    EXPECT_EQ(debug_output(l), "a b \n");
    EXPECT_EQ(debug_output(empty), "\n");
    EXPECT_EQ(debug_output(nullptr), "");
    list_free(l, nullptr);
    list_free(empty, nullptr);
}

void write_string_item(buf *out, void *item) { buf_write_string_enc(out, static_cast<const char *>(item)); }

TEST_F(List, WriteListIntoBuffer) {
    char x[] = "x", yz[] = "yz";
    list *three = list_of({x, yz, x});
    list *empty = list_create();
    std::vector<void *> many(200, x);
    list *big = list_of(many);
    struct Case {
        const list *l;
        list_item_writer_fn writer;
        Bytes expected;
    } cases[] = {
        {nullptr, write_string_item, {0x00}},
        {empty, write_string_item, {0x00}},
        {three, nullptr, {0x03}},
        {three, write_string_item, {0x03, 0x01, 'x', 0x02, 'y', 'z', 0x01, 'x'}},
        {big, nullptr, {0xc8, 0x01}},
    };
    for (const Case &c : cases) {
        buf *out = buf_create();
        buf_write_byte(out, 0xaa);
        buf_write_list(out, c.l, c.writer);
        Bytes expected = {0xaa};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(contents(out), expected) << (&c - cases);
        buf_free(out);
    }
    for (list *l : {three, empty, big}) list_free(l, nullptr);
}

// Random operations checked against a vector holding the same items.
TEST_F(List, RandomOperationsMatchAModel) {
    unsigned seed = test_seed("RandomOperationsMatchAModel");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    static int pool[64];
    for (int round = 0; round < 50; round++) {
        list *l = list_create();
        Items model;
        for (int step = 0; step < 200; step++) {
            void *item = &pool[rng() % 64];
            int size = static_cast<int>(model.size());
            int index = static_cast<int>(rng() % (size + 2)) - 1;  // -1 .. size
            int at = index < 0 ? 0 : index;
            switch (rng() % 7) {
                case 0: list_insert_first(l, item); model.insert(model.begin(), item); break;
                case 1: list_append_last(l, item); model.push_back(item); break;
                case 2:
                    if (size > 0 && at < size) {
                        list_insert(l, list_get_node_indexed(l, at), item);
                        model.insert(model.begin() + at, item);
                    }
                    break;
                case 3:
                    if (size > 0 && at < size) {
                        list_append(l, list_get_node_indexed(l, at), item);
                        model.insert(model.begin() + at + 1, item);
                    }
                    break;
                case 4:
                    list_remove_data_indexed(l, index, nullptr);
                    if (at < size) model.erase(model.begin() + at);
                    break;
                case 5:
                    list_set_data_indexed(l, index, item, nullptr);
                    if (index >= 0 && index < size) model[index] = item;
                    break;
                case 6: {
                    list *copy = list_dup(l, nullptr);
                    ASSERT_EQ(list_cmp(l, copy, same_pointer), 1);
                    list_append_list(l, copy);
                    Items before = model;
                    model.insert(model.end(), before.begin(), before.end());
                    list_free(copy, nullptr);
                    if (model.size() > 300) {
                        list_clear(l, nullptr);
                        model.clear();
                    }
                    break;
                }
            }
            ASSERT_EQ(list_get_size(l), static_cast<int>(model.size()));
            ASSERT_EQ(items_of(l), model) << "round " << round << " step " << step;
        }
        list_free(l, nullptr);
    }
}

// --- Allocation failure: the failing call reports NULL (or does
// nothing), the list keeps its nodes; ASan reports anything leaked.

TEST_F(List, AllocationFailureLeavesListsIntact) {
    long needed = sweep_allocation_failures([](long n) {
        list *l;
        {
            FailAfter fail(n);
            l = list_create();
        }
        list_free(l, nullptr);
        return l != nullptr;
    });
    EXPECT_EQ(needed, 1);

    using Insert = bool (*)(list *);
    Insert inserts[] = {
        [](list *l) { return list_insert(l, l->tail, D) != nullptr; },
        [](list *l) { return list_append(l, l->head, D) != nullptr; },
        [](list *l) {
            list_insert_first(l, D);
            return list_get_size(l) == 4;
        },
        [](list *l) {
            list_append_last(l, D);
            return list_get_size(l) == 4;
        },
    };
    for (Insert insert : inserts) {
        sweep_allocation_failures([&](long n) {
            list *l = list_of({A, B, C});
            bool inserted;
            {
                FailAfter fail(n);
                inserted = insert(l);
            }
            EXPECT_EQ(list_get_size(l), inserted ? 4 : 3);
            if (!inserted) {
                EXPECT_EQ(items_of(l), (Items{A, B, C}));
            }
            list_free(l, nullptr);
            return inserted;
        });
    }
}

TEST_F(List, AllocationFailureInDupMakesNoCopies) {
    char a[] = "a", b[] = "b", c[] = "c";
    list *l = list_of({a, b, c});
    long needed = sweep_allocation_failures([&](long n) {
        copies_made = 0;
        list *copy;
        {
            FailAfter fail(n);
            copy = list_dup(l, copy_string);
        }
        if (copy == nullptr) {
            EXPECT_EQ(copies_made, 0);
            return false;
        }
        EXPECT_EQ(list_cmp(l, copy, same_string), 1);
        list_free(copy, free);
        return true;
    });
    EXPECT_EQ(needed, 4);  // the list and three nodes (the copies use strdup)

    sweep_allocation_failures([&](long n) {
        list *dst = list_of({D});
        {
            FailAfter fail(n);
            list_append_list(dst, l);
        }
        bool appended = list_get_size(dst) == 4;
        EXPECT_EQ(items_of(dst), appended ? (Items{D, a, b, c}) : (Items{D}));
        list_free(dst, nullptr);
        return appended;
    });
    EXPECT_EQ(items_of(l), (Items{a, b, c}));
    list_free(l, nullptr);
}

TEST_F(List, AllocationFailureInWriteList) {
    char x[] = "x";
    list *l = list_of({x, x});
    sweep_allocation_failures([&](long n) {
        buf *out = buf_create();
        {
            FailAfter fail(n);
            buf_write_list(out, l, write_string_item);
        }
        // Every piece goes in whole or not at all.
        Bytes written = contents(out);
        Bytes full = {0x02, 0x01, 'x', 0x01, 'x'};
        EXPECT_EQ(written, Bytes(full.begin(), full.begin() + written.size()));
        EXPECT_TRUE(written.size() == 0 || written.size() == 1 || written.size() == 3 || written.size() == 5);
        buf_free(out);
        return written == full;
    });
    list_free(l, nullptr);
}

}  // namespace
