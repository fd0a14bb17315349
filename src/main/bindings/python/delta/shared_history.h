// delta.ActivityHistory: one native activity history that any number of
// threads may use at once.
#ifndef OSTREL_PYTHON_SHARED_HISTORY_H
#define OSTREL_PYTHON_SHARED_HISTORY_H

#include <pybind11/pybind11.h>

#include <mutex>

#include "activity_history.h"
#include "buf.h"

// The native history serves one caller at a time and books one activity
// at a time, so each call works on a private copy: under the mutex the
// copy takes the shared state, the generation driver grades its quality
// from the copy and times the call on it, and under the mutex again the
// call's own interval is booked into the shared history. Overlapping
// calls therefore each book their own busy time. The mutex guards only
// short native steps and is never held while waiting for the interpreter
// lock, so it can be taken with or without that lock.
class SharedHistory {
public:
    // ValueError for arguments the native history refuses; MemoryError.
    SharedHistory(long long slots, long long bucket_ms);
    ~SharedHistory();

    SharedHistory(const SharedHistory &) = delete;
    SharedHistory &operator=(const SharedHistory &) = delete;

    // Busy time of all calls in the window that ends now, 256 = one
    // window's worth (overlapping calls add up, so it can pass 256).
    int utilisation();
    // Quality (0 best to 4) of the call that finished last; 0 before any.
    int last_quality();

    // The driver's delta at the quality the load allows, with the call's
    // time booked; NULL on memory exhaustion. Touches no Python object.
    buf *generate(const buf *old_value, const buf *new_value, int32_t search_limit);

private:
    std::mutex lock;
    activity_history *shared;
};

// Registers ActivityHistory in the delta submodule.
void register_activity_history(pybind11::module_ &delta);

#endif
