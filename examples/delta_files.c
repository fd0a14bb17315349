/* Computes the delta between two files with the ostrel core, applies it to
 * the old file and checks that the result is the new file; then does the
 * same with the checked delta, which also refuses the new file as its base:
 *
 *     delta_files OLD NEW
 *
 * Prints the sizes and exits with 0 when the rebuilt files match (and a
 * wrong base is refused), 1 when not or a step failed, 2 for a wrong
 * command line.
 *
 * Every buf the core returns belongs to the caller and is released with
 * buf_free; the core only reads the buffers it is given. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "delta_apply.h"
#include "delta_check.h"
#include "delta_generate.h"

/* The whole file in a new buf, or NULL with a message. */
static buf *read_file(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        perror(path);
        return NULL;
    }
    buf *content = buf_create();
    char chunk[65536];
    size_t n;
    while (content && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        /* An append that cannot grow the buffer leaves it unchanged. */
        size_t before = content->len;
        buf_write_bytes(content, chunk, n);
        if (content->len != before + n) {
            fprintf(stderr, "%s: out of memory\n", path);
            buf_free(content);
            content = NULL;
        }
    }
    if (content && ferror(f)) {
        perror(path);
        buf_free(content);
        content = NULL;
    }
    fclose(f);
    return content;
}

/* The single byte f6 says "the new value is the old value": applying it
 * would give an empty value, so the caller keeps the old one instead. */
static int is_no_change(const buf *delta)
{
    return delta->len == 1 && (unsigned char)delta->data[0] == 0xf6;
}

/* Applies a checked delta to base: the record names the old value by
 * length and digest, so a wrong base is refused before any memory is taken
 * for the result, and the result is verified against the record once
 * built. The result (caller frees with free(), *length bytes), or NULL
 * with the reason in *reason. */
static char *apply_checked(const buf *base, const buf *checked, uint64_t *length, const char **reason)
{
    size_t offset, written;
    /* No value the generator takes is longer than INT32_MAX bytes. */
    int code = diff_apply_checked(base, checked, DIFF_CHECK_REQUIRED, INT32_MAX, length, &offset);
    if (code != DIFF_APPLY_OK) {
        *reason = diff_apply_reason(code);
        return NULL;
    }
    char *value = malloc(*length ? (size_t)*length : 1);
    if (!value) {
        *reason = "out of memory";
        return NULL;
    }
    code = diff_apply_checked_fill(base, checked, DIFF_CHECK_REQUIRED, value, (size_t)*length, &written);
    if (code != DIFF_APPLY_OK) {
        *reason = diff_apply_reason(code);
        free(value);
        return NULL;
    }
    return value;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s OLD NEW\n", argv[0]);
        return 2;
    }
    int status = 1;
    buf *old_value = read_file(argv[1]);
    buf *new_value = old_value ? read_file(argv[2]) : NULL;
    buf *delta = NULL;
    buf *rebuilt = NULL;
    buf *checked = NULL;
    char *value = NULL;
    uint64_t length;
    const char *reason;
    if (!new_value)
        goto done;

    /* NULL only for a value above 2^31 - 1 bytes or when memory ran out. */
    delta = diff_generate_binary(old_value, new_value);
    if (!delta) {
        fprintf(stderr, "diff failed: a file is too large or memory ran out\n");
        goto done;
    }
    /* NULL for a malformed delta (or when memory ran out). */
    rebuilt = is_no_change(delta) ? buf_dup(old_value) : diff_apply_binary(old_value, delta);
    if (!rebuilt) {
        fprintf(stderr, "patch failed\n");
        goto done;
    }

    printf("old   %10zu bytes  %s\n", old_value->len, argv[1]);
    printf("new   %10zu bytes  %s\n", new_value->len, argv[2]);
    printf("delta %10zu bytes\n", delta->len);
    if (buf_cmp(rebuilt, new_value) != 0) {
        printf("the patched old file DOES NOT match the new file\n");
        goto done;
    }
    printf("the patched old file matches the new file\n");

    /* The same delta with a record of both files in front (it takes the
     * delta it is given: here a copy). Only NULL when memory ran out. */
    checked = diff_check_prepend(old_value, new_value, buf_dup(delta));
    if (!checked) {
        fprintf(stderr, "out of memory\n");
        goto done;
    }
    printf("checked delta %zu bytes\n", checked->len);
    value = apply_checked(old_value, checked, &length, &reason);
    if (!value) {
        printf("the checked delta was refused: %s\n", reason);
        goto done;
    }
    buf result = {value, (size_t)length, (size_t)length}; /* a read-only view */
    if (buf_cmp(&result, new_value) != 0) {
        printf("the checked delta DID NOT rebuild the new file\n");
        goto done;
    }
    printf("the checked delta rebuilt the new file, verified\n");
    free(value);
    /* Given the new file as its base, it is refused, unless the files are the same. */
    value = apply_checked(new_value, checked, &length, &reason);
    printf("applied to the new file: %s\n", value ? "accepted, the files are the same" : reason);
    status = (value != NULL) != (buf_cmp(old_value, new_value) == 0);

done:
    free(value);
    buf_free(checked);
    buf_free(rebuilt);
    buf_free(delta);
    buf_free(new_value);
    buf_free(old_value);
    return status;
}
