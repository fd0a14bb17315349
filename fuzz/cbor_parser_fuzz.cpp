// Reads items until the input ends, also past items that fail to read, and
// checks each outcome against a second reading of the item's head made
// here: how many bytes the item takes, whether the input holds them, and
// the argument, length and value it decodes to.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cbor_parser.h"

namespace {

// What one item at `at` should give, with `left` bytes from there on.
struct Expected {
    bool complete;     // the input holds the whole item
    size_t size;       // bytes consumed on success
    size_t fail_at;    // cursor advance when the item is cut short
    uint64_t argument; // the head's argument (0 for reserved codes)
    bool indefinite;   // 5f 7f 9f bf
};

Expected expect(const uint8_t *at, size_t left) {
    uint8_t major = at[0] >> 5, info = at[0] & 0x1f;
    Expected e = {true, 1, 1, 0, false};
    if (major == CBOR_TYPE_TAG) return e;  // only the initial byte, whatever follows
    if (major == CBOR_TYPE_SIMPLE) {
        if (info >= 25 && info <= 27) {
            e.size = 1 + (size_t{1} << (info - 24));
            e.complete = e.size <= left;
        }
        return e;
    }
    if (info < 24) {
        e.argument = info;
    } else if (info <= 27) {
        size_t k = size_t{1} << (info - 24);
        if (1 + k > left) return {false, 0, 1, 0, false};
        for (size_t i = 0; i < k; i++) e.argument = e.argument << 8 | at[1 + i];
        e.size = 1 + k;
    } else {
        e.indefinite = info == 31 && major >= CBOR_TYPE_BYTE_STRING;
        return e;  // reserved (and indefinite) codes take one byte
    }
    bool string = major == CBOR_TYPE_BYTE_STRING || major == CBOR_TYPE_TEXT_STRING;
    if (string) {
        e.fail_at = e.size;
        if (e.argument > left - e.size) {
            e.complete = false;
        } else {
            e.size += static_cast<size_t>(e.argument);
        }
    }
    return e;
}

uint64_t bits_of(double d) {
    uint64_t bits;
    memcpy(&bits, &d, sizeof bits);
    return bits;
}

// The float an f9, fa or fb item holds, decoded from the bit patterns.
double float_of(const uint8_t *at) {
    if (at[0] == 0xf9) {
        int e = at[1] >> 2 & 0x1f, f = (at[1] & 3) << 8 | at[2];
        double m = e == 0 ? std::ldexp(f, -24) : e < 31 ? std::ldexp(f | 0x400, e - 25) : f ? NAN : INFINITY;
        return at[1] & 0x80 ? -m : m;
    }
    if (at[0] == 0xfa) {
        uint32_t bits = static_cast<uint32_t>(at[1]) << 24 | at[2] << 16 | at[3] << 8 | at[4];
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    uint64_t bits = 0;
    for (int i = 1; i <= 8; i++) bits = bits << 8 | at[i];
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

void check_item(const cbor_val *v, const uint8_t *at, const Expected &e) {
    if (v->code != at[0] || v->type != static_cast<cbor_val_type>(at[0] >> 5)) abort();
    uint8_t info = at[0] & 0x1f;
    bool reserved = info >= 28 && !e.indefinite;
    switch (v->type) {
    case CBOR_TYPE_UINT:
        if (v->value.u64 != e.argument || v->length != 0) abort();
        break;
    case CBOR_TYPE_NEGINT:
        if (v->value.u64 != (reserved ? 0 : ~e.argument) || v->length != 0) abort();
        break;
    case CBOR_TYPE_BYTE_STRING:
    case CBOR_TYPE_TEXT_STRING:
        if (e.indefinite || reserved) {
            if (v->value.str != nullptr || v->length != (e.indefinite ? -1 : 0)) abort();
            break;
        }
        if (v->length != static_cast<int64_t>(e.argument) || v->value.str == nullptr) abort();
        if (memcmp(v->value.str, at + e.size - e.argument, static_cast<size_t>(e.argument)) != 0) abort();
        if (v->type == CBOR_TYPE_TEXT_STRING && v->value.str[e.argument] != 0) abort();
        break;
    case CBOR_TYPE_ARRAY:
    case CBOR_TYPE_MAP:
        if (v->value.u64 != 0 || v->length != (e.indefinite ? -1 : static_cast<int64_t>(e.argument))) abort();
        break;
    case CBOR_TYPE_TAG:
        if (v->value.u64 != 0 || v->length != 0) abort();
        break;
    default:
        if (v->length != 0) abort();
        if (at[0] >= 0xf9 && at[0] <= 0xfb) {
            double want = float_of(at);
            if (std::isnan(want) ? !std::isnan(v->value.f64) : bits_of(v->value.f64) != bits_of(want)) abort();
        } else if (v->value.u64 != 0) {
            abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > INT32_MAX) return 0;
    cbor_parser *p = cbor_parser_create(data, static_cast<uint32_t>(size));
    if (!p) return 0;
    while (cbor_parser_available_bytes(p) > 0) {
        const uint8_t *at = p->cursor;
        Expected e = expect(at, static_cast<size_t>(data + size - at));
        int indefinite_before = p->indefinite;
        cbor_val *v = cbor_next_val(p);
        if ((v != nullptr) != e.complete) abort();
        if (p->cursor != at + (v ? e.size : e.fail_at)) abort();
        if (v) {
            check_item(v, at, e);
            int indefinite = e.indefinite ? 1 : at[0] == 0xff ? 0 : indefinite_before;
            if (p->indefinite != indefinite) abort();
        }
        cbor_val_free(v);
    }
    cbor_parser_free(p);
    return 0;
}
