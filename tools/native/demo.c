/* Diffs two files with the core API, applies the delta and checks that it
 * rebuilds the new file: ostrel_demo OLD NEW */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "delta_apply.h"
#include "delta_generate.h"

static buf *read_file(const char *path) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        perror(path);
        return NULL;
    }
    buf *b = buf_create();
    char chunk[65536];
    size_t n;
    while (b && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        size_t before = b->len;
        buf_write_bytes(b, chunk, n);
        if (b->len != before + n) {
            buf_free(b);
            b = NULL;
        }
    }
    if (b && ferror(f)) {
        perror(path);
        buf_free(b);
        b = NULL;
    }
    fclose(f);
    return b;
}

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s OLD NEW\n", argv[0]);
        return 2;
    }
    buf *old_value = read_file(argv[1]);
    buf *new_value = read_file(argv[2]);
    if (!old_value || !new_value) {
        buf_free(old_value);
        buf_free(new_value);
        return 1;
    }
    double t0 = now_ms();
    buf *delta = diff_generate_binary(old_value, new_value);
    double t1 = now_ms();
    if (!delta) {
        fprintf(stderr, "diff failed\n");
        return 1;
    }
    int unchanged = delta->len == 1 && (unsigned char)delta->data[0] == 0xf6;
    buf *rebuilt = unchanged ? buf_dup(old_value) : diff_apply_binary(old_value, delta);
    double t2 = now_ms();
    int ok = rebuilt && buf_cmp(rebuilt, new_value) == 0;

    printf("old   %10zu bytes  %s\n", old_value->len, argv[1]);
    printf("new   %10zu bytes  %s\n", new_value->len, argv[2]);
    printf("delta %10zu bytes  (%.2f %% of new)\n", delta->len,
           new_value->len ? 100.0 * delta->len / new_value->len : 0.0);
    printf("diff  %10.3f ms\npatch %10.3f ms\n", t1 - t0, t2 - t1);
    printf("patched value %s the new file\n", ok ? "matches" : "DOES NOT MATCH");

    buf_free(rebuilt);
    buf_free(delta);
    buf_free(old_value);
    buf_free(new_value);
    return ok ? 0 : 1;
}
