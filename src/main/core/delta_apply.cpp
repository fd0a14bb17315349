#include "delta_apply.h"

#include "cbor_parser.h"

/* True when the item at the parser's cursor lies wholly in the input, so
 * that cbor_next_val failing on it can only mean memory ran out. Only
 * sized heads, definite strings and the floats f9..fb can be cut short. */
static bool item_is_complete(const cbor_parser *p)
{
    uint64_t available = (uint64_t)cbor_parser_available_bytes(p) - 1;
    uint8_t code = *p->cursor;
    uint8_t major = code >> 5;
    uint8_t info = code & 0x1f;
    if (major == CBOR_TYPE_TAG || (major == CBOR_TYPE_SIMPLE && (info < 25 || info > 27)))
        return true;
    uint64_t argument = info;
    if (info >= 24 && info <= 27) {
        uint32_t size = 1u << (info - 24);
        if (available < size)
            return false;
        argument = 0;
        for (uint32_t i = 0; i < size; i++)
            argument = argument << 8 | p->cursor[1 + i];
        available -= size;
    }
    bool definite_string = (major == CBOR_TYPE_BYTE_STRING || major == CBOR_TYPE_TEXT_STRING) && info <= 27;
    return !definite_string || argument <= available;
}

/* Appends n bytes; false when the result could not grow. */
static bool append(buf *result, const void *src, size_t n)
{
    if (n == 0)
        return true;
    size_t before = result->len;
    buf_write_bytes(result, src, n);
    return result->len == before + n;
}

/* Reads one item into *out. Returns false when the delta cannot be applied
 * at all (memory ran out); *out is NULL at the end of the delta or at an
 * item cut short. */
static bool next_item(cbor_parser *p, cbor_val **out)
{
    bool more = cbor_parser_available_bytes(p) > 0;
    bool complete = more && item_is_complete(p);
    *out = more ? cbor_next_val(p) : NULL;
    return *out || !complete;
}

/* Appends old[offset, offset + length); false when the range leaves the
 * old value or the result could not grow. */
static bool append_match(buf *result, const buf *old_value, uint32_t offset, uint32_t length)
{
    if ((uint64_t)offset + length > old_value->len)
        return false;
    return append(result, old_value->data + offset, length);
}

static bool apply_item(cbor_parser *p, const buf *old_value, buf *result, const cbor_val *item)
{
    switch (item->type) {
    case CBOR_TYPE_UINT: {
        cbor_val *second = NULL;
        bool ok = next_item(p, &second) && second && second->type == CBOR_TYPE_UINT &&
                  append_match(result, old_value, (uint32_t)item->value.u64, (uint32_t)second->value.u64);
        cbor_val_free(second);
        return ok;
    }
    case CBOR_TYPE_BYTE_STRING:
    case CBOR_TYPE_TEXT_STRING:
        /* An indefinite-length header (length -1) has no content; its
         * chunks follow as ordinary strings. */
        return item->length <= 0 || append(result, item->value.str, (size_t)item->length);
    default:
        return true;
    }
}

buf *diff_apply_binary(const buf *old_value, const buf *delta)
{
    if (!old_value || !delta || delta->len > INT32_MAX)
        return NULL;
    buf *result = buf_create();
    cbor_parser *p = result ? cbor_parser_create(delta->data, (uint32_t)delta->len) : NULL;
    bool ok = p != NULL;
    while (ok) {
        cbor_val *item = NULL;
        ok = next_item(p, &item);
        if (!item)
            break;
        ok = apply_item(p, old_value, result, item);
        cbor_val_free(item);
    }
    cbor_parser_free(p);
    if (!ok) {
        buf_free(result);
        return NULL;
    }
    return result;
}
