// Shared by the round-trip targets: diff at a quality level as the driver
// would, apply, and check that the delta rebuilds the new value.
#ifndef OSTREL_FUZZ_ROUNDTRIP_H
#define OSTREL_FUZZ_ROUNDTRIP_H

#include <cstdlib>
#include <cstring>

#include "delta_apply.h"
#include "delta_generate.h"
#include "edit_script.h"
#include "myers.h"

// The delta for (old, new) at a quality and limits, shaped as the driver
// shapes it; NULL only on allocation failure.
inline buf *fuzz_diff(const buf *old_value, const buf *new_value, int quality,
                      uint32_t storage_limit, int32_t search_limit) {
    edit_script *script = edit_script_create(old_value, new_value);
    if (!script) return nullptr;
    int code = myers_binary_diff(old_value, 0, static_cast<int32_t>(old_value->len), new_value, 0,
                                 static_cast<int32_t>(new_value->len), script, storage_limit,
                                 search_limit, quality);
    buf *delta = nullptr;
    if (code == 0) {
        // Ordinary deltas are shorter than the new value, except the empty
        // delta of an empty new value.
        if (new_value->len > 0 && script->output->len >= new_value->len) abort();
        delta = buf_dup(script->output);
    } else if (code == 1) {
        delta = _write_replacement_delta(new_value);
    } else if (code == 2) {
        if (buf_cmp(old_value, new_value) != 0) abort();
        delta = buf_create();
        if (delta) buf_write_byte(delta, 0xf6);
    } else {
        abort();
    }
    edit_script_free(script);
    return delta;
}

inline void fuzz_check_roundtrip(const buf *old_value, const buf *new_value, const buf *delta) {
    if (delta->len == 1 && static_cast<uint8_t>(delta->data[0]) == 0xf6 && new_value->len != 0) {
        if (buf_cmp(old_value, new_value) != 0) abort();
        return;
    }
    buf *rebuilt = diff_apply_binary(old_value, delta);
    if (!rebuilt) abort();
    if (buf_cmp(rebuilt, new_value) != 0) abort();
    buf_free(rebuilt);
}

#endif
