// The validating reader over any input: the first byte is the nesting
// limit, the rest the CBOR. Checks that the run ends, that every event
// stays inside the input in order, that openings and ENDs pair up, that
// no item sits deeper than the limit, and that an accepted input's
// deepest level is exactly the limit it needs: read again with a limit
// one lower, it fails at its first item of that level.
#include <cstdlib>

#include "cbor_reader.h"

namespace {

struct Run {
    int code;          // CBOR_READ_*
    size_t offset;     // of the error
    size_t deepest;    // deepest level of an item
    size_t deepest_at; // first item at that level
};

Run run(const uint8_t *data, size_t size, size_t max_depth) {
    cbor_reader *reader = cbor_reader_create(data, size, max_depth);
    if (reader == nullptr) abort();
    cbor_event e;
    Run result = {0, 0, 0, 0};
    size_t events = 0, last_offset = 0;
    // Whether each open item counts as a level (strings do not). The
    // limit is below 256, so at most 257 items are open.
    bool is_level[300];
    size_t open = 0, levels = 0;
    int type;
    while ((type = cbor_reader_next(reader, &e)) > CBOR_EVENT_DONE) {
        if (++events > 2 * size + 1) abort();
        if (e.offset < last_offset || e.offset > size) abort();
        last_offset = e.offset;
        if (type == CBOR_EVENT_END) {
            if (open == 0) abort();
            levels -= is_level[--open];
            continue;
        }
        if (levels > max_depth) abort();
        if (levels > result.deepest) {
            result.deepest = levels;
            result.deepest_at = e.offset;
        }
        const bool string = type == CBOR_EVENT_BYTES || type == CBOR_EVENT_TEXT;
        if (string && !e.indefinite && (e.bytes < data || e.argument > static_cast<size_t>(data + size - e.bytes)))
            abort();
        if (type == CBOR_EVENT_ARRAY || type == CBOR_EVENT_MAP || type == CBOR_EVENT_TAG || (string && e.indefinite)) {
            if (open == sizeof is_level) abort();
            is_level[open++] = !string;
            levels += !string;
        }
    }
    result.code = cbor_reader_error(reader, &result.offset);
    if ((type == CBOR_EVENT_DONE) != (result.code == CBOR_READ_OK)) abort();
    if (type == CBOR_EVENT_DONE && open != 0) abort();
    if (result.offset > size) abort();
    cbor_reader_free(reader);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const Run first = run(data + 1, size - 1, data[0]);
    if (first.code == CBOR_READ_OK && first.deepest > 0) {
        const Run tighter = run(data + 1, size - 1, first.deepest - 1);
        if (tighter.code != CBOR_READ_DEPTH || tighter.offset != first.deepest_at) abort();
    }
    return 0;
}
