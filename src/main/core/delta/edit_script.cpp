#include "edit_script.h"

#include <string.h>

#include "alloc.h"
#include "cbor_head.h"

/* Bytes of the CBOR head that carries v: the cost model of the budget and
 * of the fold rules. Negative values come only from direct calls and cost
 * the head of their magnitude, except INT32_MIN, whose magnitude no
 * int32_t holds: it costs the widest head. */
static int32_t head_size(int64_t v)
{
    if (v == INT32_MIN)
        return CBOR_HEAD_MAX;
    return (int32_t)cbor_head_size(v < 0 ? 0 - (uint64_t)v : (uint64_t)v);
}

/* Takes cost off the budget; true while some budget is left. A failed
 * charge keeps the reduced budget. */
static bool charge(edit_script *s, int64_t cost)
{
    int64_t left = (int64_t)s->budget - cost;
    s->budget = left < INT32_MIN ? INT32_MIN : (int32_t)left;
    return left > 0;
}

/* Appends one whole item to output; false when output could not grow. An
 * item always goes in as one piece, so output grows as it would for the
 * item's bytes written at once. */
static bool append_item(edit_script *s, const uint8_t *item, size_t n)
{
    size_t before = s->output->len;
    buf_write_bytes(s->output, item, n);
    return s->output->len == before + n;
}

/* Insert item: a byte string of new_buf's bytes, e.g. 43 58 59 5a for
 * XYZ. Short items are assembled on the stack, longer ones in a scratch
 * allocation. */
static bool write_insert(edit_script *s)
{
    int32_t start = s->insert_start;
    int32_t length = s->insert_length;
    if (start < 0 || length < 0 || (size_t)start + (size_t)length > s->new_buf->len)
        return false;
    uint8_t local[512];
    size_t head = cbor_head_encode(2, (uint64_t)length, local);
    size_t n = head + (size_t)length;
    uint8_t *item = n <= sizeof local ? local : (uint8_t *)ostrel_malloc(n);
    if (!item)
        return false;
    if (item != local)
        memcpy(item, local, head);
    if (length > 0)
        memcpy(item + head, s->new_buf->data + start, (size_t)length);
    bool ok = append_item(s, item, n);
    if (item != local)
        ostrel_free(item);
    return ok;
}

/* Match item: two unsigned integers, offset then length, e.g. 03 05. */
static bool write_match(edit_script *s)
{
    uint8_t item[2 * CBOR_HEAD_MAX];
    size_t n = cbor_head_encode(0, (uint64_t)(int64_t)s->match_offset, item);
    n += cbor_head_encode(0, (uint64_t)(int64_t)s->match_length, item + n);
    return append_item(s, item, n);
}

/* Writes the pending insert, then the pending match. */
static bool flush(edit_script *s)
{
    if (s->insert_start != -1) {
        if (!charge(s, (int64_t)s->insert_length + head_size(s->insert_length)) || !write_insert(s))
            return false;
        s->insert_start = -1;
    }
    if (s->match_offset != -1) {
        if (!charge(s, head_size(s->match_offset) + head_size(s->match_length)) || !write_match(s))
            return false;
        s->match_offset = -1;
    }
    return true;
}

edit_script *edit_script_create(const buf *old_value, const buf *new_value)
{
    if (!old_value || !new_value || new_value->len > INT32_MAX)
        return NULL;
    edit_script *s = (edit_script *)ostrel_calloc(1, sizeof(edit_script));
    if (!s)
        return NULL;
    s->output = buf_create();
    if (!s->output) {
        ostrel_free(s);
        return NULL;
    }
    s->insert_start = -1;
    s->match_offset = -1;
    s->old_buf = old_value;
    s->new_buf = new_value;
    s->budget = (int32_t)new_value->len;
    return s;
}

void edit_script_free(edit_script *s)
{
    if (!s)
        return;
    buf_free(s->output);
    ostrel_free(s);
}

bool edit_script_match(edit_script *s, int32_t offset, int32_t length)
{
    if (s->match_offset != -1) {
        if (!flush(s))
            return false;
    } else if (s->insert_start != -1) {
        /* Growing the insert by the matched bytes costs length + h(t) - h(a);
         * a match item costs h(offset) + h(length), which is h(offset) + 1
         * for the short lengths that can fold at all. */
        int64_t a = s->insert_length;
        int64_t t = a + length;
        if (length + head_size(t) - head_size(a) <= head_size(offset) + 1) {
            s->insert_length = (int32_t)t;
            return true;
        }
    }
    s->match_offset = offset;
    s->match_length = length;
    return true;
}

bool edit_script_insert(edit_script *s, int32_t start, int32_t length)
{
    if (s->match_offset != -1) {
        int64_t b = s->match_length;
        int64_t t = (int64_t)length + b;
        if (b + head_size(t) - head_size(length) <= head_size(s->match_offset) + 1) {
            /* Pending insert, match and this insert are contiguous in the
             * new value: one byte string covers them all. */
            s->match_offset = -1;
            if (s->insert_start == -1) {
                s->insert_start = (int32_t)(start - b);
                s->insert_length = (int32_t)t;
            } else {
                s->insert_length = (int32_t)(s->insert_length + t);
            }
            return true;
        }
        if (!flush(s))
            return false;
    }
    if (s->insert_start == -1) {
        s->insert_start = start;
        s->insert_length = length;
    } else {
        s->insert_length += length;
    }
    return true;
}

bool edit_script_close(edit_script *s)
{
    return flush(s);
}

/* Runs handed to the edit script: a match as an offset from old_base, an
 * insert at its absolute position in the new value, where the edit script
 * copies its bytes from. */
static bool pass_match(coallescing_script *c)
{
    return edit_script_match(c->script, c->run_start, c->run_length);
}

static bool pass_insert(coallescing_script *c)
{
    return edit_script_insert(c->script, c->new_base + c->run_start, c->run_length);
}

bool coallescing_script_match(coallescing_script *c, int32_t position, int32_t length)
{
    if (length <= 0)
        return true;
    if (c->kind == COALLESCING_MATCH) {
        c->run_length += length;
        return true;
    }
    c->single_run = c->single_run && c->kind == COALLESCING_NONE;
    if (c->kind == COALLESCING_INSERT && !pass_insert(c))
        return false;
    c->kind = COALLESCING_MATCH;
    c->run_start = position - c->old_base;
    c->run_length = length;
    return true;
}

bool coallescing_script_insert(coallescing_script *c, int32_t position, int32_t length)
{
    if (length <= 0)
        return true;
    if (c->kind == COALLESCING_INSERT) {
        c->run_length += length;
        return true;
    }
    c->single_run = c->single_run && c->kind == COALLESCING_NONE;
    if (c->kind == COALLESCING_MATCH && !pass_match(c))
        return false;
    c->kind = COALLESCING_INSERT;
    c->run_start = position - c->new_base;
    c->run_length = length;
    return true;
}

bool coallescing_script_delete(coallescing_script *c)
{
    /* Deleted bytes are simply not copied; an open insert run stays open. */
    if (c->kind == COALLESCING_INSERT)
        return true;
    c->single_run = c->single_run && c->kind == COALLESCING_NONE;
    bool ok = c->kind != COALLESCING_MATCH || pass_match(c);
    c->kind = COALLESCING_NONE;
    return ok;
}

int coallescing_script_close(coallescing_script *c, int32_t old_length, int32_t new_length)
{
    (void)new_length;
    if (c->single_run) {
        if (c->kind == COALLESCING_INSERT)
            return DELTA_REPLACEMENT;
        if (c->run_start == 0 && c->run_length == old_length)
            return DELTA_NO_CHANGE;
    }
    /* After a delete (kind none) run_start and run_length still hold the
     * run already passed on: nothing is pending. */
    if (c->kind == COALLESCING_INSERT && !pass_insert(c))
        return DELTA_REPLACEMENT;
    if (c->kind == COALLESCING_MATCH && !pass_match(c))
        return DELTA_REPLACEMENT;
    return edit_script_close(c->script) ? DELTA_ORDINARY : DELTA_REPLACEMENT;
}
