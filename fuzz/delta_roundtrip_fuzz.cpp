// Diff then apply: the first byte picks the quality level 0 to 4, or the
// driver itself (5); two bytes give the old value's length; the old value
// follows and the rest is the new value. Applying the delta must give the
// new value (or the delta is f6 for identical values), and a second run
// must give the same bytes. The driver's deltas come in its three shapes
// only: f6 exactly for identical values of two bytes or more, otherwise
// shorter than the new value or else the replacement delta.
#include "fuzz_input.h"
#include "roundtrip.h"

namespace {

buf *diff_at(const buf *old_value, const buf *new_value, int selector) {
    if (selector == 5) return diff_generate_binary(old_value, new_value);
    return fuzz_diff(old_value, new_value, selector, DIFF_DEFAULT_STORAGE_LIMIT, DIFF_DEFAULT_SEARCH_LIMIT);
}

void check_driver_shape(const buf *old_value, const buf *new_value, const buf *delta) {
    bool identical = buf_cmp(old_value, new_value) == 0;
    bool no_change = delta->len == 1 && static_cast<uint8_t>(delta->data[0]) == 0xf6;
    if (no_change != (identical && new_value->len >= 2)) abort();
    if (no_change || delta->len < new_value->len) return;
    buf *replacement = _write_replacement_delta(new_value);
    if (!replacement || buf_cmp(delta, replacement) != 0) abort();
    buf_free(replacement);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in{data, size};
    int selector = in.byte() % 6;
    size_t old_len;
    const uint8_t *old_bytes = in.take(in.u16(), &old_len);
    buf old_value = {const_cast<char *>(reinterpret_cast<const char *>(old_bytes)), old_len, old_len};
    buf new_value = {const_cast<char *>(reinterpret_cast<const char *>(in.data)), in.size, in.size};

    buf *delta = diff_at(&old_value, &new_value, selector);
    if (!delta) abort();  // nothing here can fail but memory
    if (selector == 5) check_driver_shape(&old_value, &new_value, delta);
    fuzz_check_roundtrip(&old_value, &new_value, delta);

    buf *again = diff_at(&old_value, &new_value, selector);
    if (!again || buf_cmp(delta, again) != 0) abort();
    buf_free(again);
    buf_free(delta);
    return 0;
}
