/* Builds every public header as C and runs one call from each family. */
#include <stdio.h>
#include <string.h>

#include "activity_history.h"
#include "bits.h"
#include "buf.h"
#include "cbor_parser.h"
#include "cbor_reader.h"
#include "cbor_writer.h"
#include "delta_apply.h"
#include "delta_check.h"
#include "delta_generate.h"
#include "delta_match.h"
#include "edit_script.h"
#include "list.h"
#include "myers.h"
#include "storage.h"

int main(void) {
    buf old_value = {(char *)"abcdefgh", 8, 8};
    buf new_value = {(char *)"abcXYdefgh", 10, 10};
    buf *delta = diff_generate_binary(&old_value, &new_value);
    buf *rebuilt = delta ? diff_apply_binary(&old_value, delta) : NULL;
    int ok = rebuilt && rebuilt->len == 10 && memcmp(rebuilt->data, "abcXYdefgh", 10) == 0;
    buf *matched = diff_match_binary(&old_value, &new_value, DIFF_MATCH_DEFAULT_LEVEL);
    ok = ok && matched && matched->len == delta->len && memcmp(matched->data, delta->data, delta->len) == 0;
    buf_free(matched);

    buf *checked = diff_check_prepend(&old_value, &new_value, diff_match_binary(&old_value, &new_value, 1));
    uint64_t length = 0;
    size_t offset = 0;
    ok = ok && checked &&
         diff_apply_checked(&old_value, checked, DIFF_CHECK_REQUIRED, 100, &length, &offset) == DIFF_APPLY_OK &&
         length == 10 && diff_apply_checked(&new_value, checked, DIFF_CHECK_REQUIRED, 100, &length, &offset) ==
                             DIFF_APPLY_WRONG_OLD;
    buf_free(checked);

    cbor_generator *g = cbor_generator_create();
    ok = ok && g && cbor_write_uint(g, 24) == 0 && g->len == 2;
    cbor_generator_free(g);

    const uint8_t item[] = {0x81, 0x05};
    cbor_reader *reader = cbor_reader_create(item, sizeof item, 1);
    cbor_event event;
    ok = ok && reader && cbor_reader_next(reader, &event) == CBOR_EVENT_ARRAY && event.argument == 1;
    cbor_reader_free(reader);

    list *l = list_create();
    list_append_last(l, (void *)"a");
    ok = ok && list_get_size(l) == 1;
    list_free(l, NULL);

    ok = ok && highest_bit_long(1024) == 11;
    storage *s = storage_create(15);
    ok = ok && s && s->max_d == 3;
    storage_free(s);
    activity_history *h = ostrel_activity_history_create(16, 1000);
    ok = ok && ostrel_activity_history_get_last_delta_quality(h) == 0;
    ostrel_activity_history_free(h);

    buf_free(delta);
    buf_free(rebuilt);
    puts(ok ? "c_headers_test: ok" : "c_headers_test: FAILED");
    return ok ? 0 : 1;
}
