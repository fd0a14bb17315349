#include "delta_generate.h"

#include <stdint.h>
#include <string.h>

#include "alloc.h"
#include "cbor_head.h"
#include "delta_generate_internal.h"
#include "edit_script.h"
#include "myers.h"
#include "unrelated_values_internal.h"

namespace {

bool use_unrelated_shortcut = true;

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

/* The script's delta in a block of exactly its length, as a copy would give
 * it, but handed over so that the delta is never held twice. */
buf *take_output(edit_script *script)
{
    buf *output = script->output;
    if (output->len == 0)
        return buf_dup(output);
    char *fitted = (char *)ostrel_realloc(output->data, output->len);
    if (!fitted)
        return buf_dup(output);
    output->data = fitted;
    output->capacity = output->len;
    script->output = NULL;
    return output;
}

}  // namespace

void _diff_use_unrelated_shortcut(bool enabled)
{
    use_unrelated_shortcut = enabled;
}

/* One byte string of the whole new value, in a buffer sized as one append
 * of the item to an empty buffer sizes it. */
buf *_write_replacement_delta(const buf *new_value)
{
    if (!new_value || new_value->len > INT32_MAX || (!new_value->data && new_value->len > 0))
        return NULL;
    uint8_t head[CBOR_HEAD_MAX];
    size_t head_length = cbor_head_encode(2, new_value->len, head);
    /* An item no CBOR stream of at most INT32_MAX bytes can hold. */
    if (new_value->len > INT32_MAX - head_length)
        return NULL;
    size_t total = head_length + new_value->len;
    buf *result = buf_create();
    if (!result)
        return NULL;
    result->data = (char *)ostrel_malloc(2 * total);
    if (!result->data) {
        buf_free(result);
        return NULL;
    }
    memcpy(result->data, head, head_length);
    if (new_value->len > 0)
        memcpy(result->data + head_length, new_value->data, new_value->len);
    result->len = total;
    result->capacity = 2 * total;
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
    /* Quality 4 only trims the common ends, which costs less than the proof. */
    if (script && quality != 4 && use_unrelated_shortcut && diff_values_unrelated(old_value, new_value))
        code = MYERS_REPLACEMENT;
    else if (script)
        code = myers_binary_diff(old_value, 0, (int32_t)old_value->len, new_value, 0, (int32_t)new_value->len, script,
                                 storage_limit, search_limit, quality);
    if (history)
        ostrel_activity_history_stop(history);

    buf *result;
    switch (code) {
    case MYERS_ORDINARY:
        result = take_output(script);
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
