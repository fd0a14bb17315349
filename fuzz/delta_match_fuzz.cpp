// The matching generator: the first byte picks the level (or the default), two bytes give
// the old value's length; the old value follows and the rest is the new
// value. The delta must come in one of the three shapes (f6 exactly for
// identical values of two bytes or more, otherwise shorter than the new
// value or else the replacement delta), applying it must give the new
// value, and a second run, and a run against a prebuilt index of the old
// value, must give the same bytes.
#include "delta_match.h"
#include "fuzz_input.h"
#include "roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in{data, size};
    int level = in.byte() % (DIFF_MATCH_MAX_LEVEL + 1);  // 0: the default
    size_t old_len;
    const uint8_t *old_bytes = in.take(in.u16(), &old_len);
    buf old_value = {const_cast<char *>(reinterpret_cast<const char *>(old_bytes)), old_len, old_len};
    buf new_value = {const_cast<char *>(reinterpret_cast<const char *>(in.data)), in.size, in.size};

    buf *delta = diff_match_binary(&old_value, &new_value, level);
    if (!delta) abort();  // nothing here can fail but memory
    bool identical = buf_cmp(&old_value, &new_value) == 0;
    bool no_change = delta->len == 1 && static_cast<uint8_t>(delta->data[0]) == 0xf6;
    if (no_change != (identical && new_value.len >= 2)) abort();
    if (!no_change && delta->len >= new_value.len) {
        buf *replacement = _write_replacement_delta(&new_value);
        if (!replacement || buf_cmp(delta, replacement) != 0) abort();
        buf_free(replacement);
    }
    fuzz_check_roundtrip(&old_value, &new_value, delta);

    buf *again = diff_match_binary(&old_value, &new_value, level);
    if (!again || buf_cmp(delta, again) != 0) abort();
    buf_free(again);
    diff_match_index *index = diff_match_index_build(&old_value, level);
    buf *indexed = diff_match_index_compute(index, &new_value);
    if (!indexed || buf_cmp(delta, indexed) != 0) abort();
    buf_free(indexed);
    diff_match_index_free(index);
    buf_free(delta);
    return 0;
}
