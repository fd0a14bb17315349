/* Activity history: the share of recent wall-clock time spent diffing.
 *
 * Time is cut into buckets of bucket_ms (a power of two); a ring of
 * slot_count slots keeps the busy milliseconds of the latest buckets. Start
 * and stop bracket one activity; utilisation reads busy time * 256 / window.
 * Not synchronised: one caller at a time. */
#ifndef OSTREL_ACTIVITY_HISTORY_H
#define OSTREL_ACTIVITY_HISTORY_H

#include <stdint.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

typedef struct activity_history {
    int32_t last_delta_quality; /* quality chosen for the latest diff */
    uint64_t *slots;            /* owned: busy ms per bucket */
    int64_t slot_count;         /* power of two */
    int64_t bucket_ms;          /* power of two */
    int32_t bucket_shift;       /* log2(bucket_ms) */
    int32_t slot_mask;          /* slot_count - 1 */
    uint64_t current_bucket;    /* bucket of the latest start */
    uint64_t started_at;        /* ms since the epoch of the latest start */
    int64_t busy_total;         /* sum of the slots */
    int32_t utilisation_shift;  /* log2(window) - 8 */
} activity_history;

/* New history, caller frees; NULL on OOM, for a slot count above 2^30 or
 * a window shorter than 256 ms. */
OSTREL_API activity_history *ostrel_activity_history_create(int32_t slot_count, int64_t bucket_ms);
OSTREL_API void ostrel_activity_history_free(activity_history *h);   /* NULL accepted */
OSTREL_API void ostrel_activity_history_start(activity_history *h);  /* reads the clock; NULL: nothing */
OSTREL_API void ostrel_activity_history_stop(activity_history *h);   /* reads the clock; NULL: nothing */
OSTREL_API void _activity_history_start(activity_history *h, uint64_t now_ms);
OSTREL_API void _activity_history_stop(activity_history *h, uint64_t now_ms);
OSTREL_API int32_t ostrel_activity_history_utilisation(const activity_history *h);  /* 256 = fully busy; 0 for NULL */
OSTREL_API int32_t ostrel_activity_history_get_last_delta_quality(const activity_history *h);  /* -1 for NULL */

OSTREL_END_DECLS

#endif
