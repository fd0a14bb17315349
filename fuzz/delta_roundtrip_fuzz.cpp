// Diff then apply: the first byte picks the quality level, two bytes the
// old value's length; the old value follows and the rest is the new value.
// Applying the delta must give the new value (or the delta is f6 for
// identical values), and a second run must give the same bytes. The driver
// itself is run too when the quality byte selects it.
#include "fuzz_input.h"
#include "roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in{data, size};
    uint8_t selector = in.byte();
    size_t old_len;
    const uint8_t *old_bytes = in.take(in.u16(), &old_len);
    buf old_value = {const_cast<char *>(reinterpret_cast<const char *>(old_bytes)), old_len, old_len};
    buf new_value = {const_cast<char *>(reinterpret_cast<const char *>(in.data)), in.size, in.size};

    buf *delta;
    if (selector >= 5) {
        delta = diff_generate_binary(&old_value, &new_value);
        if (!delta || delta->len > new_value.len + 5) abort();
    } else {
        delta = fuzz_diff(&old_value, &new_value, selector, DIFF_DEFAULT_STORAGE_LIMIT,
                          DIFF_DEFAULT_SEARCH_LIMIT);
        if (!delta) return 0;
    }
    fuzz_check_roundtrip(&old_value, &new_value, delta);

    buf *again = selector >= 5 ? diff_generate_binary(&old_value, &new_value)
                               : fuzz_diff(&old_value, &new_value, selector, DIFF_DEFAULT_STORAGE_LIMIT,
                                           DIFF_DEFAULT_SEARCH_LIMIT);
    if (!again || buf_cmp(delta, again) != 0) abort();
    buf_free(again);
    buf_free(delta);
    return 0;
}
