#include <gtest/gtest.h>

#include <sys/time.h>

#include "activity_history.h"
#include "fault_injection.h"

namespace {

struct History {
    activity_history *h;
    History(int32_t slots, int64_t width) : h(ostrel_activity_history_create(slots, width)) {}
    ~History() { ostrel_activity_history_free(h); }
    uint64_t slot(uint64_t bucket) const { return h->slots[bucket & (uint64_t)h->slot_mask]; }
};

constexpr uint64_t B = 1024;  // bucket width of create(16, 1000)

TEST(ActivityHistory, Create) {
    struct Case {
        int32_t slots;
        int64_t width;
        int64_t slot_count, bucket_ms;
        int32_t bucket_shift, utilisation_shift;
    } cases[] = {
        {16, 1000, 16, 1024, 10, 6},
        {10, 100, 16, 128, 7, 3},
        {1, 256, 1, 256, 8, 0},     // window of exactly 256 ms
        {1, 129, 1, 256, 8, 0},
        {2, 128, 2, 128, 7, 0},
        {0, 256, 1, 256, 8, 0},     // 0 slots rounds up to 1
        {256, 0, 256, 1, 0, 0},     // width 0 rounds up to 1
        {1, int64_t(1) << 62, 1, int64_t(1) << 62, 62, 54},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.slots << " x " << c.width);
        History t(c.slots, c.width);
        ASSERT_NE(t.h, nullptr);
        EXPECT_EQ(t.h->slot_count, c.slot_count);
        EXPECT_EQ(t.h->bucket_ms, c.bucket_ms);
        EXPECT_EQ(t.h->bucket_shift, c.bucket_shift);
        EXPECT_EQ(t.h->utilisation_shift, c.utilisation_shift);
        EXPECT_EQ(t.h->slot_mask, c.slot_count - 1);
        EXPECT_EQ(t.h->current_bucket, 0u);
        EXPECT_EQ(t.h->started_at, 0u);
        EXPECT_EQ(t.h->busy_total, 0);
        EXPECT_EQ(ostrel_activity_history_get_last_delta_quality(t.h), 0);
        for (int64_t i = 0; i < c.slot_count; i++) EXPECT_EQ(t.h->slots[i], 0u);
    }
}

TEST(ActivityHistory, CreateRefusesMeaninglessSizes) {
    struct Case {
        int32_t slots;
        int64_t width;
    } cases[] = {
        {(1 << 30) + 1, 1},           // ring size beyond 2^30
        {INT32_MAX, 1024},
        {-1, 1024},
        {1, (int64_t(1) << 62) + 1},  // bucket width beyond 2^62
        {1, -1},
        {1, 128},                     // window of 128 ms
        {2, 64},
        {0, 0},
    };
    for (const Case &c : cases) {
        activity_history *h = ostrel_activity_history_create(c.slots, c.width);
        EXPECT_EQ(h, nullptr) << c.slots << " x " << c.width;
        ostrel_activity_history_free(h);
    }
}

TEST(ActivityHistory, ShortActivityIsBookedToItsStartBucket) {
    History t(16, 1000);
    ASSERT_NE(t.h, nullptr);
    _activity_history_start(t.h, B * 100);
    _activity_history_stop(t.h, B * 100 + 500);
    EXPECT_EQ(t.slot(100), 500u);
    EXPECT_EQ(t.h->busy_total, 500);
    _activity_history_start(t.h, B * 101);
    EXPECT_EQ(t.slot(100), 500u);
    EXPECT_EQ(t.h->busy_total, 500);
    // Bucket 101 in progress is replaced by bucket 100: (500 - 0 + 500) >> 6.
    EXPECT_EQ(ostrel_activity_history_utilisation(t.h), 15);

    // Shorter than a bucket but ending in the next one: still bucket 101.
    _activity_history_start(t.h, B * 102 - 10);
    _activity_history_stop(t.h, B * 102 + 20);
    EXPECT_EQ(t.slot(101), 30u);
    EXPECT_EQ(t.slot(102), 0u);
    EXPECT_EQ(t.h->busy_total, 530);
}

TEST(ActivityHistory, LongActivityMarksEveryBucketItTouched) {
    History t(16, 1000);
    ASSERT_NE(t.h, nullptr);
    _activity_history_start(t.h, B * 100);
    _activity_history_stop(t.h, B * 102 + 10);
    for (uint64_t b = 100; b <= 102; b++) EXPECT_EQ(t.slot(b), B) << b;
    EXPECT_EQ(t.h->busy_total, 3072);
    EXPECT_EQ(t.h->started_at, B * 100);
}

TEST(ActivityHistory, LongActivityIsKeptUntilItLeavesTheWindow) {
    History t(16, 1000);
    ASSERT_NE(t.h, nullptr);
    _activity_history_start(t.h, B * 100);
    _activity_history_stop(t.h, B * 107 + 5);
    EXPECT_EQ(t.h->busy_total, 8192);
    _activity_history_start(t.h, B * 108);
    EXPECT_EQ(t.h->busy_total, 8192);
    // 8192 - bucket 108 (0) + bucket 107 (1024), over 64.
    EXPECT_EQ(ostrel_activity_history_utilisation(t.h), 144);

    // The window ending at bucket 116 starts at 101: bucket 100 has left.
    _activity_history_start(t.h, B * 116);
    EXPECT_EQ(t.h->busy_total, 7 * 1024);
    // Sixteen or more buckets later the whole ring is cleared.
    _activity_history_start(t.h, B * 132);
    EXPECT_EQ(t.h->busy_total, 0);
    for (int i = 0; i < 16; i++) EXPECT_EQ(t.h->slots[i], 0u) << i;
}

TEST(ActivityHistory, FirstBucketsOfTheClock) {
    History t(16, 1000);
    ASSERT_NE(t.h, nullptr);
    // A long activity within the first 16 buckets is marked.
    _activity_history_start(t.h, B * 2);
    _activity_history_stop(t.h, B * 5 + 1);
    for (uint64_t b = 2; b <= 5; b++) EXPECT_EQ(t.slot(b), B) << b;
    EXPECT_EQ(t.h->busy_total, 4096);
    // The window ending at bucket 20 starts at bucket 5.
    _activity_history_start(t.h, B * 20);
    EXPECT_EQ(t.h->busy_total, 1024);
    EXPECT_EQ(t.slot(5), B);

    // A start within the first 16 buckets clears those passed since the last.
    History u(16, 1000);
    ASSERT_NE(u.h, nullptr);
    u.h->slots[4] = 7;
    u.h->busy_total = 7;
    u.h->current_bucket = 3;
    _activity_history_start(u.h, B * 5);
    EXPECT_EQ(u.h->slots[4], 0u);
    EXPECT_EQ(u.h->busy_total, 0);
}

TEST(ActivityHistory, ClockJumps) {
    History t(16, 1000);
    ASSERT_NE(t.h, nullptr);
    // Years of activity mark one ring's worth of buckets.
    const uint64_t years = uint64_t(10) * 365 * 24 * 3600 * 1000;
    _activity_history_start(t.h, B * 100);
    _activity_history_stop(t.h, B * 100 + years);
    EXPECT_EQ(t.h->busy_total, 16 * 1024);
    _activity_history_start(t.h, B * 100 + 2 * years);
    EXPECT_EQ(t.h->busy_total, 0);

    // A clock that went back: the stop bucket precedes the start bucket,
    // nothing is booked and the next start clears nothing.
    _activity_history_start(t.h, B * 200);
    _activity_history_stop(t.h, B * 200 + 300);
    _activity_history_start(t.h, B * 201);
    _activity_history_stop(t.h, B * 150);
    EXPECT_EQ(t.h->busy_total, 300);
    EXPECT_EQ(t.h->current_bucket, 201u);
    _activity_history_start(t.h, B * 201);
    EXPECT_EQ(t.h->busy_total, 300);

    // The last representable bucket: loops end.
    History u(256, 1);
    ASSERT_NE(u.h, nullptr);
    _activity_history_start(u.h, UINT64_MAX - 1000);
    _activity_history_stop(u.h, UINT64_MAX);
    EXPECT_EQ(u.h->busy_total, 256);
    _activity_history_start(u.h, UINT64_MAX);
    _activity_history_start(u.h, UINT64_MAX);
    EXPECT_EQ(u.h->current_bucket, UINT64_MAX);
    EXPECT_EQ(u.h->busy_total, 256);
}

TEST(ActivityHistory, Utilisation) {
    History t(16, 1000);
    ASSERT_NE(t.h, nullptr);
    // A fully busy window reads 256.
    _activity_history_start(t.h, B * 100);
    _activity_history_stop(t.h, B * 116 + 1);
    _activity_history_start(t.h, B * 116 + 2);
    EXPECT_EQ(ostrel_activity_history_utilisation(t.h), 256);
    // Short activities booked to one bucket can exceed a bucket's width.
    for (int i = 0; i < 20; i++) {
        _activity_history_start(t.h, B * 117 + 2);
        _activity_history_stop(t.h, B * 117 + 1000);
    }
    EXPECT_EQ(t.slot(117), 20u * 998);
    _activity_history_start(t.h, B * 118);
    EXPECT_GT(ostrel_activity_history_utilisation(t.h), 256);
}

TEST(ActivityHistory, ClockReadingAndNull) {
    History t(16, 1000);
    ASSERT_NE(t.h, nullptr);
    auto now_ms = [] {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        return uint64_t(tv.tv_sec) * 1000 + uint64_t(tv.tv_usec) / 1000;
    };
    uint64_t before = now_ms();
    ostrel_activity_history_start(t.h);
    uint64_t after = now_ms();
    EXPECT_GE(t.h->started_at, before);
    EXPECT_LE(t.h->started_at, after);
    EXPECT_EQ(t.h->current_bucket, t.h->started_at >> 10);
    ostrel_activity_history_stop(t.h);
    EXPECT_GE(t.h->busy_total, 0);

    EXPECT_EQ(ostrel_activity_history_get_last_delta_quality(nullptr), -1);
    ostrel_activity_history_start(nullptr);
    ostrel_activity_history_stop(nullptr);
    EXPECT_EQ(ostrel_activity_history_utilisation(nullptr), 0);
    ostrel_activity_history_free(nullptr);
}

TEST(ActivityHistory, AllocationFailures) {
    long needed = sweep_allocation_failures([](long n) {
        FailAfter fail(n);
        activity_history *h = ostrel_activity_history_create(16, 1000);
        if (!h) return false;
        ostrel_activity_history_free(h);
        return true;
    });
    EXPECT_EQ(needed, 2);
}

}  // namespace
