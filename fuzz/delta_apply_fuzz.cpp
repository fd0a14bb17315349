// Applies an arbitrary delta to an arbitrary old value. The input is
// split: two bytes give the old value's length, that many bytes follow,
// and the rest is the delta. A result may be anything but must never come
// from outside the old value or the delta.
#include <cstdlib>
#include <cstring>

#include "delta_apply.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in{data, size};
    size_t old_len;
    const uint8_t *old_bytes = in.take(in.u16(), &old_len);
    // Copies with exact sizes, so that any read outside them is caught.
    char *old_copy = static_cast<char *>(malloc(old_len ? old_len : 1));
    char *delta_copy = static_cast<char *>(malloc(in.size ? in.size : 1));
    memcpy(old_copy, old_bytes, old_len);
    memcpy(delta_copy, in.data, in.size);
    buf old_value = {old_copy, old_len, old_len};
    buf delta = {delta_copy, in.size, in.size};
    buf *result = diff_apply_binary(&old_value, &delta);
    buf_free(result);
    free(old_copy);
    free(delta_copy);
    return 0;
}
