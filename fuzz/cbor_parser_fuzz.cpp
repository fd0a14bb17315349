// Reads items until the input ends, also past items that fail to read, and
// checks what each item claims against what the input holds.
#include <cstdlib>
#include <cstring>

#include "cbor_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > INT32_MAX) return 0;
    cbor_parser *p = cbor_parser_create(data, static_cast<uint32_t>(size));
    if (!p) return 0;
    while (cbor_parser_available_bytes(p) > 0) {
        const uint8_t *before = p->cursor;
        cbor_val *v = cbor_next_val(p);
        if (p->cursor <= before || p->cursor > data + size) abort();
        if (v) {
            bool is_string = v->type == CBOR_TYPE_BYTE_STRING || v->type == CBOR_TYPE_TEXT_STRING;
            if (is_string && v->length >= 0) {
                if (static_cast<uint64_t>(v->length) > static_cast<uint64_t>(p->cursor - before)) abort();
                if (v->length > 0 && memcmp(v->value.str, p->cursor - v->length, v->length) != 0) abort();
                if (v->type == CBOR_TYPE_TEXT_STRING && v->value.str[v->length] != 0) abort();
            }
            if (v->code != *before || v->type != static_cast<cbor_val_type>(*before >> 5)) abort();
        }
        cbor_val_free(v);
    }
    cbor_parser_free(p);
    return 0;
}
