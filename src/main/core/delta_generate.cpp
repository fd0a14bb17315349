#include "delta_generate.h"

#include "cbor_writer.h"
#include "edit_script.h"
#include "myers.h"

namespace {

/* Quality from the share of the window spent diffing: about 50 %, 65 %,
 * 80 % and 95 % of 256 step the effort down one level each. */
int32_t quality_for(int32_t utilisation)
{
    if (utilisation < 128)
        return 0;
    if (utilisation < 166)
        return 1;
    if (utilisation < 204)
        return 2;
    if (utilisation < 243)
        return 3;
    return 4;
}

buf *no_change_delta()
{
    buf *result = buf_create();
    if (!result)
        return NULL;
    buf_write_byte(result, 0xF6);
    if (result->len != 1) {
        buf_free(result);
        return NULL;
    }
    return result;
}

}  // namespace

buf *_write_replacement_delta(const buf *new_value)
{
    if (!new_value || new_value->len > INT32_MAX)
        return NULL;
    cbor_generator *g = cbor_generator_create();
    if (!g)
        return NULL;
    buf *result = NULL;
    if (cbor_write_byte_string(g, buf_substr(new_value, 0, (int)new_value->len), (int64_t)new_value->len) == 0) {
        result = buf_create();
        if (result) {
            buf_write_bytes(result, g->data, (size_t)g->len);
            if (result->len != (size_t)g->len) {
                buf_free(result);
                result = NULL;
            }
        }
    }
    cbor_generator_free(g);
    return result;
}

buf *diff_generate_binary_with_activity_history_ex(activity_history *history, const buf *old_value,
                                                   const buf *new_value, uint32_t storage_limit,
                                                   int32_t search_limit)
{
    /* Positions and lengths in the search are 32-bit. */
    if (!old_value || !new_value || old_value->len > INT32_MAX || new_value->len > INT32_MAX)
        return NULL;

    int32_t quality = 0;
    if (history) {
        ostrel_activity_history_start(history);
        quality = quality_for(ostrel_activity_history_utilisation(history));
        history->last_delta_quality = quality;
    }
    edit_script *script = edit_script_create(old_value, new_value);
    int code = MYERS_INVALID_RANGE;
    if (script)
        code = myers_binary_diff(old_value, 0, (int32_t)old_value->len, new_value, 0, (int32_t)new_value->len, script,
                                 storage_limit, search_limit, quality);
    if (history)
        ostrel_activity_history_stop(history);

    buf *result;
    switch (code) {
    case MYERS_ORDINARY:
        result = buf_dup(script->output);
        break;
    case MYERS_REPLACEMENT:
        result = _write_replacement_delta(new_value);
        break;
    case MYERS_IDENTICAL:
        result = no_change_delta();
        break;
    default:
        edit_script_free(script);
        return NULL;
    }
    /* A delta is only worth sending while it is shorter than the value. */
    if (result && result->len >= new_value->len) {
        buf_free(result);
        result = _write_replacement_delta(new_value);
    }
    edit_script_free(script);
    return result;
}

buf *diff_generate_binary_with_activity_history(activity_history *history, const buf *old_value,
                                                const buf *new_value)
{
    return diff_generate_binary_with_activity_history_ex(history, old_value, new_value, DIFF_DEFAULT_STORAGE_LIMIT,
                                                         DIFF_DEFAULT_SEARCH_LIMIT);
}

buf *diff_generate_binary_ex(const buf *old_value, const buf *new_value, uint32_t storage_limit,
                             int32_t search_limit)
{
    return diff_generate_binary_with_activity_history_ex(NULL, old_value, new_value, storage_limit, search_limit);
}

buf *diff_generate_binary(const buf *old_value, const buf *new_value)
{
    return diff_generate_binary_ex(old_value, new_value, DIFF_DEFAULT_STORAGE_LIMIT, DIFF_DEFAULT_SEARCH_LIMIT);
}
