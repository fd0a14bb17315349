// Checked deltas under corruption: the first byte picks the generator
// (the search driver or a matching level) and the corruption (none, a bit
// flip, a changed byte, a cut), four bytes give its position and value,
// two bytes the old value's length; the old value follows and the rest is
// the new value. The checked delta of the pair is corrupted once, then
// applied with a record required and with a record verified when present:
// each either refuses it or returns exactly the new value (with the one
// exception of a delta cut to nothing, the empty delta, when no record is
// required).
#include <cstdlib>
#include <cstring>

#include "delta_check.h"
#include "delta_generate.h"
#include "delta_match.h"
#include "fuzz_input.h"

namespace {

void apply_checked(const buf *old_value, const buf *new_value, const buf *delta, int mode) {
    uint64_t length;
    size_t offset;
    if (diff_apply_checked(old_value, delta, mode, UINT64_MAX, &length, &offset) != DIFF_APPLY_OK) return;
    char *out = static_cast<char *>(malloc(length ? length : 1));
    if (!out) abort();
    size_t written;
    int answer = diff_apply_checked_fill(old_value, delta, mode, out, length, &written);
    bool empty_delta = delta->len == 0 && mode == DIFF_CHECK_WHEN_PRESENT;
    if (answer == DIFF_APPLY_OK && !empty_delta &&
        (written != new_value->len || (written && memcmp(out, new_value->data, written) != 0)))
        abort();
    free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in{data, size};
    uint8_t choice = in.byte();
    int generator = choice % 6, corruption = choice / 6 % 4;
    uint32_t where = in.u16(), what = in.u16();
    size_t old_len;
    const uint8_t *old_bytes = in.take(in.u16(), &old_len);
    buf old_value = {const_cast<char *>(reinterpret_cast<const char *>(old_bytes)), old_len, old_len};
    buf new_value = {const_cast<char *>(reinterpret_cast<const char *>(in.data)), in.size, in.size};

    buf *plain = generator == 0 ? diff_generate_binary(&old_value, &new_value)
                                : diff_match_binary(&old_value, &new_value, generator);
    buf *delta = diff_check_prepend(&old_value, &new_value, plain);
    if (!delta) abort();  // nothing here can fail but memory
    size_t at = where % delta->len;
    if (corruption == 1) delta->data[at] ^= static_cast<char>(1 << (what % 8));
    if (corruption == 2) delta->data[at] = static_cast<char>(delta->data[at] + 1 + what % 255);
    if (corruption == 3) delta->len = at;
    apply_checked(&old_value, &new_value, delta, DIFF_CHECK_REQUIRED);
    apply_checked(&old_value, &new_value, delta, DIFF_CHECK_WHEN_PRESENT);
    buf_free(delta);
    return 0;
}
