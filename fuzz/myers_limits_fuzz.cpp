// The search under small step and storage limits, so that the bail-out,
// bounded-diff, storage-limit and budget paths are reached: a quality
// byte, a search-limit byte and a storage-limit byte, then the old value's
// length (two bytes), the old value and the new value. Ranges may start
// inside the values: two more bytes give the offsets.
#include "fuzz_input.h"
#include "roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in{data, size};
    int quality = in.byte() % 6;
    int32_t search_limit = static_cast<int8_t>(in.byte());
    uint32_t storage_limit = in.byte();
    uint8_t x0 = in.byte(), y0 = in.byte();
    size_t old_len;
    const uint8_t *old_bytes = in.take(in.u16(), &old_len);
    buf old_value = {const_cast<char *>(reinterpret_cast<const char *>(old_bytes)), old_len, old_len};
    buf new_value = {const_cast<char *>(reinterpret_cast<const char *>(in.data)), in.size, in.size};

    buf *delta = fuzz_diff(&old_value, &new_value, quality, storage_limit, search_limit);
    if (delta) {
        fuzz_check_roundtrip(&old_value, &new_value, delta);
        buf_free(delta);
    }

    // The same search over ranges that start inside the values: the delta
    // turns the old range into the new range.
    if (x0 > old_len || y0 > in.size) return 0;
    buf old_range = {old_value.data + x0, old_len - x0, old_len - x0};
    buf new_range = {new_value.data + y0, in.size - y0, in.size - y0};
    edit_script *script = edit_script_create(&old_value, &new_value);
    if (!script) return 0;
    int code = myers_binary_diff(&old_value, x0, static_cast<int32_t>(old_range.len), &new_value, y0,
                                 static_cast<int32_t>(new_range.len), script, storage_limit,
                                 search_limit, quality);
    if (code == 0) {
        fuzz_check_roundtrip(&old_range, &new_range, script->output);
    } else if (code == 2) {
        if (buf_cmp(&old_range, &new_range) != 0) abort();
    } else if (code != 1) {
        abort();
    }
    edit_script_free(script);
    return 0;
}
