// Drives an activity history with times taken from the input: slot count
// and bucket width first, then pairs of (gap before start, duration) as
// 32-bit values, with a few clock jumps. The busy total must stay the sum
// of the slots and every call must return promptly.
#include <cstdlib>

#include "activity_history.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in{data, size};
    int32_t slots = static_cast<int32_t>(in.u16() & 0x7ff) - 8;  // rings up to 2048 slots keep runs quick
    int64_t width = static_cast<int64_t>(in.u32()) - 8;
    activity_history *h = ostrel_activity_history_create(slots, width);
    if (!h) return 0;
    uint64_t now = in.u32();
    now <<= in.byte() % 40;
    while (in.size > 0) {
        uint8_t shape = in.byte();
        now += static_cast<uint64_t>(in.u32()) << (shape & 31);
        if (shape & 0x80) now -= in.u16();  // a clock that goes backwards
        _activity_history_start(h, now);
        (void)ostrel_activity_history_utilisation(h);
        now += in.u32() >> (shape >> 5 & 3) * 8;
        _activity_history_stop(h, now);
        uint64_t sum = 0;
        for (int64_t i = 0; i < h->slot_count; i++) sum += h->slots[i];
        if (sum != static_cast<uint64_t>(h->busy_total)) abort();
        (void)ostrel_activity_history_utilisation(h);
    }
    ostrel_activity_history_free(h);
    return 0;
}
