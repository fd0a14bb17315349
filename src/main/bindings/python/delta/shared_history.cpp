#include "shared_history.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "bits.h"
#include "byte_view.h"
#include "delta_generate.h"

namespace py = pybind11;

namespace {

const char *const history_doc = R"(
    Share of recent wall-clock time spent in compute(method="myers", history=...):
    the busier it is, the cheaper the search. 'slots' buckets of 'bucket_ms'
    milliseconds (each rounded up to a power of two) make the window, which
    must be at least 256 ms long. One history may serve many threads at once.
    )";

using NativeHistory = std::unique_ptr<activity_history, void (*)(activity_history *)>;

// The shared state, ring and all, into a history of the same shape.
void copy_state(const activity_history *from, activity_history *to) {
    uint64_t *slots = to->slots;
    *to = *from;
    to->slots = slots;
    std::memcpy(slots, from->slots, static_cast<size_t>(from->slot_count) * sizeof *slots);
}

// Books the activity a private copy timed, from its start until now, as a
// lone stop would: the ring first comes up to now (clearing the buckets
// passed since the latest start), then the interval is booked from its
// start bucket, which clears nothing, and the ring is left at now.
void book(activity_history *shared, const activity_history *own) {
    ostrel_activity_history_start(shared);
    uint64_t now = shared->started_at, bucket = shared->current_bucket;
    _activity_history_start(shared, own->started_at);
    _activity_history_stop(shared, now);
    shared->current_bucket = bucket;
    shared->started_at = now;
    shared->last_delta_quality = own->last_delta_quality;
}

}  // namespace

SharedHistory::SharedHistory(long long slots, long long bucket_ms)
    : shared(ostrel_activity_history_create(static_cast<int32_t>(slots), bucket_ms)) {
    if (shared != nullptr) return;
    // The native create refuses a window under 256 ms; anything else is memory.
    uint64_t window = static_cast<uint64_t>(find_next_power_of_two_int(static_cast<uint32_t>(slots))) *
                      find_next_power_of_two_long(static_cast<uint64_t>(bucket_ms));
    if (window >= 256) throw std::bad_alloc();
    throw py::value_error("ActivityHistory(): the window, slots x bucket_ms with each rounded up to a power of two, "
                          "must be at least 256 ms; slots=" + std::to_string(slots) +
                          " and bucket_ms=" + std::to_string(bucket_ms) + " give " + std::to_string(window) + " ms");
}

SharedHistory::~SharedHistory() { ostrel_activity_history_free(shared); }

int SharedHistory::utilisation() {
    std::lock_guard<std::mutex> hold(lock);
    ostrel_activity_history_start(shared);  // brings the window up to now
    return ostrel_activity_history_utilisation(shared);
}

int SharedHistory::last_quality() {
    std::lock_guard<std::mutex> hold(lock);
    return ostrel_activity_history_get_last_delta_quality(shared);
}

buf *SharedHistory::generate(const buf *old_value, const buf *new_value, int32_t search_limit) {
    NativeHistory own(ostrel_activity_history_create(static_cast<int32_t>(shared->slot_count), shared->bucket_ms),
                      ostrel_activity_history_free);
    if (!own) return nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        copy_state(shared, own.get());
    }
    buf *result = diff_generate_binary_with_activity_history_ex(own.get(), old_value, new_value,
                                                                DIFF_DEFAULT_STORAGE_LIMIT, search_limit);
    std::lock_guard<std::mutex> hold(lock);
    book(shared, own.get());
    return result;
}

void register_activity_history(py::module_ &delta) {
    py::class_<SharedHistory>(delta, "ActivityHistory", history_doc)
        .def(py::init([](py::handle slots, py::handle bucket_ms) {
                 long long count = int_argument(slots, "ActivityHistory", "slots", 1, 1LL << 30);
                 long long width = int_argument(bucket_ms, "ActivityHistory", "bucket_ms", 1, 1LL << 62);
                 return new SharedHistory(count, width);
             }),
             py::arg("slots") = 16, py::arg("bucket_ms") = 1000)
        .def_property_readonly("utilisation", &SharedHistory::utilisation,
                               "Busy time in the window ending now, 256 per window's worth; overlapping calls add up.")
        .def_property_readonly("last_quality", &SharedHistory::last_quality,
                               "Search quality of the call that finished last: 0 (full) to 4 (common ends only).");
}
