#include <gtest/gtest.h>

#include <vector>

#include "fault_injection.h"
#include "storage.h"

namespace {

struct StoragePtr {
    storage *s;
    explicit StoragePtr(uint32_t limit) : s(storage_create(limit)) {}
    ~StoragePtr() { storage_free(s); }
};

std::vector<int32_t> cells_of(const storage *s) {
    return std::vector<int32_t>(s->cells, s->cells + s->cell_capacity);
}

constexpr int32_t F = -1;         // untouched forward cell
constexpr int32_t R = INT32_MAX;  // untouched reverse cell

TEST(StorageKeys, Mapping) {
    struct Case {
        int32_t k, forward, reverse;
    } cases[] = {
        {0, 0, 2},   {1, 4, 6},   {-1, 3, 5},     {2, 8, 10},
        {-2, 7, 9},  {100, 400, 402}, {-100, 399, 401},
        // Wrapping unsigned arithmetic at the ends of the range.
        {INT32_MAX, -4, -2}, {INT32_MIN, -1, 1}, {INT32_MIN + 1, -5, -3},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(storage_key_forward(c.k), c.forward) << c.k;
        EXPECT_EQ(storage_key_reverse(c.k), c.reverse) << c.k;
    }
}

TEST(Storage, LayoutAfterCreate) {
    StoragePtr p(2147483647);
    ASSERT_NE(p.s, nullptr);
    EXPECT_EQ(p.s->size_limit, 2147483647u);
    EXPECT_EQ(p.s->max_d, 536870911u);
    EXPECT_EQ(p.s->cell_count, 11u);
    ASSERT_EQ(p.s->cell_capacity, 22u);
    std::vector<int32_t> expected = {0, 0, 0, F, F, R, R, F, F, R, R, F, F, R, R,
                                     0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(cells_of(p.s), expected);
}

TEST(Storage, MaxDWrapsBelowThree) {
    struct Case {
        uint32_t limit, max_d;
    } cases[] = {{15, 3}, {14, 2}, {3, 0}, {2, 0x3fffffff}, {0, 0x3fffffff}, {UINT32_MAX, 0x3fffffff}};
    for (const Case &c : cases) {
        StoragePtr p(c.limit);
        ASSERT_NE(p.s, nullptr);
        EXPECT_EQ(p.s->max_d, c.max_d) << c.limit;
    }
}

TEST(Storage, ExtendRefillsTheTwoGroupsBeyondD) {
    StoragePtr p(2147483647);
    ASSERT_NE(p.s, nullptr);
    // Dirty every cell, as an earlier search would have left them.
    for (uint32_t i = 0; i < p.s->cell_capacity; i++) p.s->cells[i] = 7;

    // d = 2: count 15, capacity 22 is enough; groups j = 3 and 4 refilled.
    ASSERT_TRUE(storage_extend(p.s, 2));
    EXPECT_EQ(p.s->cell_count, 15u);
    EXPECT_EQ(p.s->cell_capacity, 22u);
    std::vector<int32_t> expected = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, F, F, R, R,
                                     F, F, R, R, 7, 7, 7};
    EXPECT_EQ(cells_of(p.s), expected);

    // d = 3: count 19 needs 23 cells, so the array grows to 38; the old
    // cells are kept, groups j = 4 and 5 refilled, the rest zero.
    ASSERT_TRUE(storage_extend(p.s, 3));
    EXPECT_EQ(p.s->cell_count, 19u);
    ASSERT_EQ(p.s->cell_capacity, 38u);
    expected = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, F, F, R, R, F, F, R, R,
                F, F, R, R, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(cells_of(p.s), expected);
}

TEST(Storage, InitialiseRefillsFromCellThree) {
    StoragePtr p(2147483647);
    ASSERT_NE(p.s, nullptr);
    ASSERT_TRUE(storage_extend(p.s, 3));
    for (uint32_t i = 0; i < p.s->cell_capacity; i++) p.s->cells[i] = 7;
    EXPECT_FALSE(storage_initialise(p.s, 0));
    EXPECT_FALSE(storage_initialise(p.s, -1));
    ASSERT_TRUE(storage_initialise(p.s, 1));
    EXPECT_EQ(p.s->cell_count, 11u);
    EXPECT_EQ(p.s->cell_capacity, 38u);
    std::vector<int32_t> expected = {7, 7, 7, F, F, R, R, F, F, R, R, F, F, R, R, 7, 7, 7, 7,
                                     7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_EQ(cells_of(p.s), expected);
}

// A refused extend or ensure changes nothing at all.
template <typename Operation>
void expect_refused(storage *s, Operation operation) {
    uint32_t count = s->cell_count, capacity = s->cell_capacity;
    std::vector<int32_t> cells = cells_of(s);
    EXPECT_FALSE(operation());
    EXPECT_EQ(s->cell_count, count);
    EXPECT_EQ(s->cell_capacity, capacity);
    EXPECT_EQ(cells_of(s), cells);
}

TEST(Storage, ExtendLimit) {
    StoragePtr p(15);
    ASSERT_NE(p.s, nullptr);
    EXPECT_TRUE(storage_extend(p.s, 2));
    EXPECT_TRUE(storage_extend(p.s, 3));
    expect_refused(p.s, [&] { return storage_extend(p.s, 4); });
    expect_refused(p.s, [&] { return storage_extend(p.s, -1); });
    expect_refused(p.s, [&] { return storage_extend(p.s, INT32_MIN); });
}

TEST(Storage, SizesBeyondThirtyTwoBitsAreRefused) {
    // max_d allows d up to 2^30 - 1, but 8d + 14 cells stop fitting 32 bits
    // from d = 536870911 on.
    StoragePtr p(UINT32_MAX);
    ASSERT_NE(p.s, nullptr);
    expect_refused(p.s, [&] { return storage_extend(p.s, 536870911); });
    expect_refused(p.s, [&] { return storage_extend(p.s, 0x3fffffff); });
    expect_refused(p.s, [&] { return storage_ensure(p.s, INT32_MAX); });
    expect_refused(p.s, [&] { return storage_ensure(p.s, -1); });
    if (sizeof(size_t) == 4) {
        // 2^30 + 14 cells of 4 bytes do not fit a 32-bit size_t.
        expect_refused(p.s, [&] { return storage_extend(p.s, 1 << 27); });
    }
    EXPECT_TRUE(storage_extend(p.s, 2));
}

TEST(Storage, GetAndSetAreBoundedByCapacity) {
    StoragePtr p(2147483647);
    ASSERT_NE(p.s, nullptr);  // capacity 22
    struct Case {
        int32_t k;
        bool forward_ok, reverse_ok;
    } cases[] = {
        {0, true, true},   {3, true, true},   {4, true, true},     // keys 16 and 18
        {5, true, false},  {-5, true, true},  {-6, false, false},  // 20, 22; 19, 21; 23, 25
        {6, false, false}, {INT32_MAX, false, false}, {INT32_MIN, false, false},
    };
    for (const Case &c : cases) {
        int32_t k = c.k;
        SCOPED_TRACE(k);
        EXPECT_EQ(storage_key_forward_set(p.s, k, 1000 + k % 100), c.forward_ok);
        EXPECT_EQ(storage_key_forward_get(p.s, k), c.forward_ok ? 1000 + k % 100 : INT32_MIN);
        EXPECT_EQ(storage_key_reverse_set(p.s, k, 2000 + k % 100), c.reverse_ok);
        EXPECT_EQ(storage_key_reverse_get(p.s, k), c.reverse_ok ? 2000 + k % 100 : INT32_MIN);
    }
    // Cell 1, where the reverse key of INT32_MIN wraps to, was never written.
    EXPECT_EQ(p.s->cells[1], 0);
    // The bound is the capacity, not the cells in use for the current d.
    EXPECT_LT(p.s->cell_count, 20u);
    EXPECT_EQ(storage_key_forward_get(p.s, 5), 1005);

    EXPECT_EQ(storage_key_forward_get(nullptr, 0), INT32_MIN);
    EXPECT_EQ(storage_key_reverse_get(nullptr, 0), INT32_MIN);
    EXPECT_FALSE(storage_key_forward_set(nullptr, 0, 1));
    EXPECT_FALSE(storage_key_reverse_set(nullptr, 0, 1));
}

TEST(Storage, GetNextTieRules) {
    StoragePtr p(2147483647);
    ASSERT_NE(p.s, nullptr);
    // {value on k + 1, value on k - 1, forward next, reverse next}
    struct Case {
        int32_t above, below, forward, reverse;
    } cases[] = {
        {5, 5, 6, 4}, {4, 6, 6, 4}, {6, 4, 7, 3}, {-1, -1, 0, -2},
        {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MAX - 1},  // the step wraps
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.above << " " << c.below);
        ASSERT_TRUE(storage_key_forward_set(p.s, 2, c.above));
        ASSERT_TRUE(storage_key_forward_set(p.s, 0, c.below));
        EXPECT_EQ(storage_key_forward_get_next(p.s, 1), c.forward);
        ASSERT_TRUE(storage_key_reverse_set(p.s, -1, c.above));
        ASSERT_TRUE(storage_key_reverse_set(p.s, -3, c.below));
        EXPECT_EQ(storage_key_reverse_get_next(p.s, -2), c.reverse);
    }
    // The untouched neighbours just beyond d hold the fill pattern.
    ASSERT_TRUE(storage_key_forward_set(p.s, 1, 9));
    EXPECT_EQ(storage_key_forward_get_next(p.s, 2), 9);  // max(-1 + 1, 9)
    ASSERT_TRUE(storage_key_reverse_set(p.s, 1, 9));
    EXPECT_EQ(storage_key_reverse_get_next(p.s, 2), 8);  // min(INT32_MAX, 9 - 1)
    // A neighbour outside the capacity reads as INT32_MIN.
    ASSERT_TRUE(storage_key_forward_set(p.s, 4, 3));
    EXPECT_EQ(storage_key_forward_get_next(p.s, 5), 3);  // k + 1 = 6 is out of range
}

TEST(Storage, AllocationFailures) {
    long needed = sweep_allocation_failures([](long n) {
        FailAfter fail(n);
        storage *s = storage_create(2147483647);
        if (!s) return false;
        storage_free(s);
        return true;
    });
    EXPECT_EQ(needed, 2);

    StoragePtr p(2147483647);
    ASSERT_NE(p.s, nullptr);
    {
        FailAfter fail(0);
        expect_refused(p.s, [&] { return storage_extend(p.s, 3); });  // would grow to 38 cells
        EXPECT_TRUE(storage_extend(p.s, 2));          // fits the 22 cells
    }
    EXPECT_TRUE(storage_extend(p.s, 3));
    EXPECT_EQ(p.s->cell_capacity, 38u);
}

}  // namespace
