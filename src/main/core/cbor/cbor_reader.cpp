#include "cbor_reader.h"

#include <math.h>
#include <string.h>

#include "alloc.h"
#include "cbor_head.h"

namespace {

// One open array, map, tag or indefinite string. `left` is the number of
// items still due in a definite container (a map's keys and values
// counted apart); in an indefinite map it is the parity of the items read.
struct reader_frame {
    uint64_t left;
    uint8_t major;
    uint8_t indefinite;
};

const size_t inline_frames = 16;

}  // namespace

// What every event reads and changes, copied into a local for a batch of
// events so that it can live in registers.
struct reader_state {
    const uint8_t *data;
    size_t len;
    size_t pos;
    size_t need;      // bytes the open containers still need: 1 per item due, 1 per break
    size_t levels;    // open arrays, maps and tags
    size_t max_depth;
    size_t depth;     // open frames
    reader_frame *frames;
    int started;
};

struct cbor_reader {
    reader_state state;
    size_t capacity;
    int error;
    size_t error_at;
    reader_frame inline_frame[inline_frames];
};

namespace {

int fail(cbor_reader *r, int code, size_t at) {
    r->error = code;
    r->error_at = at;
    return CBOR_EVENT_ERROR;
}

// The frames moved to storage twice as large, or NULL.
reader_frame *grow(cbor_reader *r, reader_frame *frames) {
    const size_t grown = r->capacity * 2;
    if (grown > SIZE_MAX / sizeof(reader_frame)) return nullptr;
    reader_frame *moved = static_cast<reader_frame *>(
        frames == r->inline_frame ? ostrel_malloc(grown * sizeof(reader_frame))
                                  : ostrel_realloc(frames, grown * sizeof(reader_frame)));
    if (moved == nullptr) return nullptr;
    if (frames == r->inline_frame) memcpy(moved, r->inline_frame, sizeof r->inline_frame);
    r->capacity = grown;
    return moved;
}

bool push(cbor_reader *r, reader_state &s, uint8_t major, bool indefinite, uint64_t left) {
    if (s.depth == r->capacity) {
        reader_frame *moved = grow(r, s.frames);
        if (moved == nullptr) return false;
        s.frames = moved;
    }
    s.frames[s.depth++] = reader_frame{left, major, static_cast<uint8_t>(indefinite)};
    if (major >= 4) ++s.levels;
    return true;
}

void pop(reader_state &s) {
    if (s.frames[--s.depth].major >= 4) --s.levels;
}

uint64_t load64(const uint8_t *s) {
    uint64_t word;
    memcpy(&word, s, sizeof word);
    return word;
}

uint32_t load32(const uint8_t *s) {
    uint32_t word;
    memcpy(&word, s, sizeof word);
    return word;
}

// Whether every byte is below 0x80, in word loads that stay within s[0, n)
// (the last one overlapping the one before); short strings, the common
// case, take one or two loads.
bool ascii_only(const uint8_t *s, size_t n) {
    if (n >= 8) {
        uint64_t high = load64(s + n - 8);
        for (size_t i = 0; i + 8 < n; i += 8) high |= load64(s + i);
        return (high & UINT64_C(0x8080808080808080)) == 0;
    }
    if (n >= 4) return ((load32(s) | load32(s + n - 4)) & 0x80808080u) == 0;
    return n == 0 || ((s[0] | s[n / 2] | s[n - 1]) & 0x80) == 0;
}

// Strict UTF-8 (RFC 3629).
bool utf8_valid(const uint8_t *s, size_t n) {
    size_t i = 0;
    while (i < n) {
        const uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t size = c >= 0xc2 && c < 0xe0 ? 2 : c >= 0xe0 && c < 0xf0 ? 3 : c >= 0xf0 && c < 0xf5 ? 4 : 0;
        if (size == 0 || n - i < size) return false;
        // The second byte's range excludes overlong forms, surrogates and
        // code points past U+10FFFF.
        const uint8_t low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
        const uint8_t high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
        if (s[i + 1] < low || s[i + 1] > high) return false;
        for (size_t k = 2; k < size; ++k)
            if ((s[i + k] & 0xc0) != 0x80) return false;
        i += size;
    }
    return true;
}

// Half and single floats widened by their fields, so that NaN payloads
// and signs survive exactly. Bits, not doubles, are handed around: a
// 32-bit x87 build would quiet a signalling NaN passed as a double.
uint64_t widen(uint64_t raw, int width) {
    const int fraction_bits = width == 2 ? 10 : 23;
    const int exponent_max = width == 2 ? 31 : 255;
    const int bias = width == 2 ? 15 : 127;
    const uint64_t sign = raw >> (width * 8 - 1) & 1;
    const int exponent = static_cast<int>(raw >> fraction_bits) & exponent_max;
    const uint64_t fraction = raw & ((UINT64_C(1) << fraction_bits) - 1);
    if (exponent == 0) {  // zero or subnormal: exact in a double
        const double magnitude = ldexp(static_cast<double>(fraction), 1 - bias - fraction_bits);
        uint64_t bits;
        memcpy(&bits, &magnitude, sizeof bits);
        return sign << 63 | bits;
    }
    const uint64_t biased = exponent == exponent_max ? 0x7ff : static_cast<uint64_t>(exponent - bias + 1023);
    return sign << 63 | biased << 52 | fraction << (52 - fraction_bits);
}

int emit(cbor_event *event, int type, size_t at) {
    event->type = type;
    event->offset = at;
    return type;
}

}  // namespace

cbor_reader *cbor_reader_create(const uint8_t *data, size_t len, size_t max_depth) {
    cbor_reader *r = static_cast<cbor_reader *>(ostrel_calloc(1, sizeof(cbor_reader)));
    if (r == nullptr) return nullptr;
    r->state.data = data;
    r->state.len = len;
    r->state.max_depth = max_depth;
    r->state.frames = r->inline_frame;
    r->capacity = inline_frames;
    return r;
}

void cbor_reader_free(cbor_reader *reader) {
    if (reader == nullptr) return;
    if (reader->state.frames != reader->inline_frame) ostrel_free(reader->state.frames);
    ostrel_free(reader);
}

int cbor_reader_error(const cbor_reader *reader, size_t *offset) {
    *offset = reader->error_at;
    return reader->error;
}

const char *cbor_reader_error_text(int code) {
    switch (code) {
    case CBOR_READ_OK: return "no error";
    case CBOR_READ_TRUNCATED: return "the input ends inside an item";
    case CBOR_READ_TOO_LONG: return "a length or count larger than the rest of the input can hold";
    case CBOR_READ_RESERVED: return "reserved additional information (28-30) in an initial byte";
    case CBOR_READ_INDEFINITE: return "indefinite length on an integer or a tag";
    case CBOR_READ_BREAK: return "a break outside an indefinite-length item";
    case CBOR_READ_ODD_MAP: return "an indefinite-length map ends after a key, without its value";
    case CBOR_READ_CHUNK: return "a chunk of an indefinite-length string that is not a definite string of its type";
    case CBOR_READ_UTF8: return "a text string that is not valid UTF-8";
    case CBOR_READ_SIMPLE: return "a two-byte simple value below 32";
    case CBOR_READ_DEPTH: return "an item nested deeper than the limit";
    case CBOR_READ_TRAILING: return "bytes after the end of the item";
    case CBOR_READ_MEMORY: return "out of memory";
    default: return "unknown error";
    }
}

namespace {

inline int next_event(cbor_reader *r, reader_state &s, cbor_event *event) {
    event->indefinite = 0;
    if (s.depth > 0) {
        const reader_frame &top = s.frames[s.depth - 1];
        if (!top.indefinite && top.left == 0) {
            pop(s);
            return emit(event, CBOR_EVENT_END, s.pos);
        }
    } else if (s.started) {
        if (s.pos != s.len) return fail(r, CBOR_READ_TRAILING, s.pos);
        return emit(event, CBOR_EVENT_DONE, s.pos);
    }
    s.started = 1;

    const size_t at = s.pos;
    cbor_head head;
    const int decoded = cbor_head_decode(s.data + at, s.len - at, &head);
    if (decoded == CBOR_HEAD_SHORT) return fail(r, CBOR_READ_TRUNCATED, at);
    if (decoded == CBOR_HEAD_MALFORMED)
        return fail(r, (s.data[at] & 0x1f) == 31 ? CBOR_READ_INDEFINITE : CBOR_READ_RESERVED, at);

    reader_frame *top = s.depth > 0 ? &s.frames[s.depth - 1] : nullptr;
    if (s.data[at] == 0xff) {  // a break
        if (top == nullptr || !top->indefinite) return fail(r, CBOR_READ_BREAK, at);
        if (top->major == 5 && top->left != 0) return fail(r, CBOR_READ_ODD_MAP, at);
        s.pos = at + 1;
        --s.need;
        pop(s);
        return emit(event, CBOR_EVENT_END, at);
    }
    if (top != nullptr) {
        if (top->major <= 3) {
            if (head.major != top->major || head.info == 31) return fail(r, CBOR_READ_CHUNK, at);
        } else if (top->indefinite) {
            top->left ^= top->major == 5;
        } else {
            --top->left;
            --s.need;
        }
        if (top->major > 3 && s.levels > s.max_depth) return fail(r, CBOR_READ_DEPTH, at);
    }
    s.pos = at + head.size;
    if (s.need > s.len - s.pos) return fail(r, CBOR_READ_TRUNCATED, s.len);
    const size_t available = s.len - s.pos - s.need;

    event->argument = head.argument;
    switch (head.major) {
    case 0: return emit(event, CBOR_EVENT_UINT, at);
    case 1: return emit(event, CBOR_EVENT_NEGINT, at);
    case 2:
    case 3: {
        const int type = head.major == 2 ? CBOR_EVENT_BYTES : CBOR_EVENT_TEXT;
        if (head.info == 31) {
            if (available < 1) return fail(r, CBOR_READ_TRUNCATED, s.len);
            if (!push(r, s, head.major, true, 0)) return fail(r, CBOR_READ_MEMORY, at);
            ++s.need;
            event->indefinite = 1;
            return emit(event, type, at);
        }
        if (head.argument > available) return fail(r, CBOR_READ_TOO_LONG, at);
        const size_t length = static_cast<size_t>(head.argument);
        event->bytes = s.data + s.pos;
        s.pos += length;
        if (type == CBOR_EVENT_TEXT) {
            event->ascii = ascii_only(event->bytes, length);
            if (!event->ascii && !utf8_valid(event->bytes, length)) return fail(r, CBOR_READ_UTF8, at);
        }
        return emit(event, type, at);
    }
    case 4:
    case 5:
    case 6: {
        const int type = head.major == 4 ? CBOR_EVENT_ARRAY : head.major == 5 ? CBOR_EVENT_MAP : CBOR_EVENT_TAG;
        const bool indefinite = head.info == 31;
        uint64_t due = head.major == 6 ? 1 : head.argument;
        if (indefinite) {
            if (available < 1) return fail(r, CBOR_READ_TRUNCATED, s.len);
            due = 0;
        } else if (head.major == 6) {
            if (available < 1) return fail(r, CBOR_READ_TRUNCATED, s.len);
        } else if (head.argument > (head.major == 5 ? available / 2 : available)) {
            return fail(r, CBOR_READ_TOO_LONG, at);
        } else if (head.major == 5) {
            due = 2 * head.argument;
        }
        if (!push(r, s, head.major, indefinite, due)) return fail(r, CBOR_READ_MEMORY, at);
        s.need += indefinite ? 1 : static_cast<size_t>(due);
        event->indefinite = indefinite;
        return emit(event, type, at);
    }
    default:
        if (head.info < 24) return emit(event, CBOR_EVENT_SIMPLE, at);
        if (head.info == 24) {
            if (head.argument < 32) return fail(r, CBOR_READ_SIMPLE, at);
            return emit(event, CBOR_EVENT_SIMPLE, at);
        }
        const uint64_t bits = head.info == 27 ? head.argument : widen(head.argument, head.info == 25 ? 2 : 4);
        memcpy(&event->number, &bits, sizeof bits);
        return emit(event, CBOR_EVENT_FLOAT, at);
    }
}

}  // namespace

int cbor_reader_next(cbor_reader *reader, cbor_event *event) {
    return cbor_reader_read(reader, event, 1) == 1 ? event->type : CBOR_EVENT_ERROR;
}

size_t cbor_reader_read(cbor_reader *reader, cbor_event *events, size_t count) {
    size_t filled = 0;
    reader_state state = reader->state;
    while (filled < count) {
        cbor_event &event = events[filled++];
        const int type = reader->error == CBOR_READ_OK ? next_event(reader, state, &event) : CBOR_EVENT_ERROR;
        if (type == CBOR_EVENT_ERROR) {
            event.type = CBOR_EVENT_ERROR;
            event.offset = reader->error_at;
        }
        if (type <= CBOR_EVENT_DONE) break;
    }
    reader->state = state;
    return filled;
}
