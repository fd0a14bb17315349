#include "activity_history.h"

#include "alloc.h"
#include <sys/time.h>

#include "bits.h"

activity_history *ostrel_activity_history_create(int32_t slot_count, int64_t bucket_ms)
{
    uint64_t width = find_next_power_of_two_long((uint64_t)bucket_ms);
    int32_t slots = find_next_power_of_two_int((uint32_t)slot_count);
    if (width == UINT64_MAX || slots < 0)
        return NULL;
    int32_t bucket_shift = highest_bit_long(width) - 1;
    int32_t utilisation_shift = bucket_shift + highest_bit_int(slots) - 9;
    if (utilisation_shift < 0)
        return NULL;

    activity_history *h = (activity_history *)ostrel_calloc(1, sizeof(activity_history));
    if (!h)
        return NULL;
    h->slots = (uint64_t *)ostrel_calloc((size_t)slots, sizeof(uint64_t));
    if (!h->slots) {
        ostrel_free(h);
        return NULL;
    }
    h->slot_count = slots;
    h->bucket_ms = (int64_t)width;
    h->bucket_shift = bucket_shift;
    h->slot_mask = slots - 1;
    h->utilisation_shift = utilisation_shift;
    return h;
}

void ostrel_activity_history_free(activity_history *h)
{
    if (!h)
        return;
    ostrel_free(h->slots);
    ostrel_free(h);
}

static uint64_t *slot_of(const activity_history *h, uint64_t bucket)
{
    return &h->slots[bucket & (uint64_t)(uint32_t)h->slot_mask];
}

/* Oldest bucket still inside the window that ends with bucket b. */
static uint64_t window_start(const activity_history *h, uint64_t b)
{
    uint64_t span = (uint64_t)h->slot_count - 1;
    return b > span ? b - span : 0;
}

void _activity_history_start(activity_history *h, uint64_t now_ms)
{
    uint64_t b = now_ms >> h->bucket_shift;
    /* Buckets that passed since the last start (or since the stop of a
     * long activity) start empty: at most the whole ring. */
    if (h->current_bucket < b) {
        uint64_t first = window_start(h, b);
        if (first <= h->current_bucket)
            first = h->current_bucket + 1;
        for (uint64_t n = b - first + 1, i = first; n > 0; n--, i++) {
            h->busy_total -= (int64_t)*slot_of(h, i);
            *slot_of(h, i) = 0;
        }
    }
    h->current_bucket = b;
    h->started_at = now_ms;
}

void _activity_history_stop(activity_history *h, uint64_t now_ms)
{
    uint64_t elapsed = now_ms - h->started_at;
    if (elapsed < (uint64_t)h->bucket_ms) {
        h->busy_total += (int64_t)elapsed;
        *slot_of(h, h->current_bucket) += elapsed;
        return;
    }
    /* A long activity marks every bucket it touched as fully busy. The
     * next start then clears only the buckets after the stop's bucket, so
     * the marks stay until they leave the window. */
    uint64_t b = now_ms >> h->bucket_shift;
    uint64_t first = window_start(h, b);
    if (first < h->current_bucket)
        first = h->current_bucket;
    if (first > b)
        return;
    for (uint64_t n = b - first + 1, i = first; n > 0; n--, i++) {
        h->busy_total += h->bucket_ms - (int64_t)*slot_of(h, i);
        *slot_of(h, i) = (uint64_t)h->bucket_ms;
    }
    h->current_bucket = b;
}

static uint64_t clock_ms(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
}

void ostrel_activity_history_start(activity_history *h)
{
    if (h)
        _activity_history_start(h, clock_ms());
}

void ostrel_activity_history_stop(activity_history *h)
{
    if (h)
        _activity_history_stop(h, clock_ms());
}

int32_t ostrel_activity_history_utilisation(const activity_history *h)
{
    if (!h)
        return 0;
    /* The bucket still in progress is replaced by the one before it. */
    int64_t v = h->busy_total - (int64_t)*slot_of(h, h->current_bucket) +
                (int64_t)*slot_of(h, h->current_bucket - 1);
    return (int32_t)(uint32_t)v >> (h->utilisation_shift & 31);
}

int32_t ostrel_activity_history_get_last_delta_quality(const activity_history *h)
{
    return h ? h->last_delta_quality : -1;
}
