// Allocation failure at every step of the operations that allocate across
// families: the generation driver and the replacement delta, the search at
// every quality, the float writer, the parser's string copies, storage
// growth and the execution record. Each failure must give the documented
// NULL or -1, or a result that is still right; objects stay usable, and
// the sanitizer build reports anything leaked.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cmath>
#include <string>
#include <vector>

#include "cbor_parser.h"
#include "cbor_writer.h"
#include "delta_apply.h"
#include "delta_cases.h"
#include "delta_generate.h"
#include "delta_match.h"
#include "edit_script.h"
#include "fault_injection.h"
#include "myers.h"
#include "storage.h"

namespace {

// True when the failure point was not reached: one more allocation still
// succeeds. Called inside the FailAfter scope that ran the operation.
bool no_allocation_failed() {
    void *probe = ostrel_malloc(1);
    ostrel_free(probe);
    return probe != nullptr;
}

// Runs op() with the first n allocations allowed, for n = 0, 1, 2, ...
// until it completes without reaching the failure point, and hands each
// outcome to check(n, outcome) once allocations work again. Returns the
// number of allocations op needs.
template <typename Op, typename Check>
long sweep_every_failure(Op op, Check check) {
    long first_unhindered = sweep_allocation_failures([&](long n) {
        bool reached;
        auto outcome = [&] {
            FailAfter fail(n);
            auto result = op();
            reached = !no_allocation_failed();
            return result;
        }();
        check(n, outcome);
        return !reached;
    });
    return first_unhindered - 1;
}

// A result buffer as text, "null" for NULL; the buffer is freed.
std::string take(buf *b) {
    std::string out = b ? contents(b) : "null";
    buf_free(b);
    return out;
}

std::string from_hex(const char *text) {
    std::string out;
    for (const char *p = text; p[0] && p[1]; p++) {
        if (*p == ' ') continue;
        out += (char)std::stoi(std::string(p, 2), nullptr, 16);
        p++;
    }
    return out;
}

std::string replacement_of(const std::string &value) {
    buf v = view(value);
    return take(_write_replacement_delta(&v));
}

// The driver and _write_replacement_delta: NULL, or a delta that rebuilds
// the new value and is either the delta of an unhindered run or, when the
// search lost an allocation, the replacement delta.
TEST(AllocationFailure, DriverGivesNullOrAWorkingDelta) {
    PairMaker make(7);
    std::string long_old = make.bytes(2000, 4);
    std::string long_new = make.edited(long_old, 4, 30, 20);
    struct Case {
        std::string old_value, new_value;
        int32_t search_limit;
    } cases[] = {
        {"abcdefgh", "abcXYdefgh", 10000},
        {"abcdefgh", "abcdefgh", 10000},
        {"abc", "xyz", 10000},
        {"abc", "", 10000},
        {"a", "a", 10000},
        {long_old, long_new, 10000},
        {long_old, long_new, 3},  // bail-outs and bounded diffs
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(hex(c.old_value.substr(0, 16)) + " -> " + hex(c.new_value.substr(0, 16)));
        buf o = view(c.old_value), nv = view(c.new_value);
        auto diff = [&] { return take(diff_generate_binary_ex(&o, &nv, DIFF_DEFAULT_STORAGE_LIMIT, c.search_limit)); };
        const std::string expected = diff(), replacement = replacement_of(c.new_value);
        ASSERT_NE(expected, "null");

        long needed = sweep_every_failure(diff, [&](long n, const std::string &delta) {
            if (delta == "null") return;
            EXPECT_TRUE(delta == expected || delta == replacement) << "n=" << n << ": " << hex(delta);
            if (delta == "\xf6") return;
            buf d = view(delta);
            EXPECT_EQ(take(diff_apply_binary(&o, &d)), c.new_value) << "n=" << n;
        });
        EXPECT_GE(needed, 3);  // at least the edit script, its output and the result

        sweep_every_failure([&] { return replacement_of(c.new_value); },
                            [&](long n, const std::string &r) {
                                if (r != "null") {
                                    EXPECT_EQ(r, replacement) << "n=" << n;
                                }
                            });
    }
}

// The search at every quality and under small limits: an allocation lost
// anywhere is a search failure (code 1), never a wrong or partial delta.
TEST(AllocationFailure, SearchAtEveryQualityFailsCleanly) {
    PairMaker make(11);
    std::string a = make.bytes(600, 3), b = make.edited(a, 3, 25, 12);
    buf o = view(a), nb = view(b);
    struct Outcome {
        int code;
        std::string output;
    };
    struct Limits {
        int32_t search_limit;
        uint32_t storage_limit;
    } limits[] = {{10000, DIFF_DEFAULT_STORAGE_LIMIT}, {2, DIFF_DEFAULT_STORAGE_LIMIT}, {64, 63}};
    for (int32_t quality = 0; quality <= 5; quality++) {
        for (const Limits &l : limits) {
            SCOPED_TRACE(testing::Message() << "quality " << quality << ", limits " << l.search_limit << "/"
                                            << l.storage_limit);
            auto run = [&] {
                edit_script *s = edit_script_create(&o, &nb);
                if (!s) return Outcome{MYERS_REPLACEMENT, ""};
                int code = myers_binary_diff(&o, 0, (int32_t)a.size(), &nb, 0, (int32_t)b.size(), s,
                                             l.storage_limit, l.search_limit, quality);
                Outcome out{code, contents(s->output)};
                edit_script_free(s);
                return out;
            };
            const Outcome expected = run();
            ASSERT_TRUE(expected.code == MYERS_ORDINARY || expected.code == MYERS_REPLACEMENT);
            sweep_every_failure(run, [&](long n, const Outcome &out) {
                if (out.code == MYERS_ORDINARY) {
                    EXPECT_EQ(hex(out.output), hex(expected.output)) << "n=" << n;
                } else {
                    EXPECT_EQ(out.code, MYERS_REPLACEMENT) << "n=" << n;
                }
            });
        }
    }
}

TEST(AllocationFailure, ExecutionCreate) {
    std::string a = "abc";
    buf o = view(a);
    long needed = sweep_every_failure(
        [&] {
            execution *e = execution_create(&o, &o, nullptr, DIFF_DEFAULT_STORAGE_LIMIT, 10);
            bool whole = e && e->storage && e->storage->cells;
            bool none = e == nullptr;
            execution_free(e);
            return whole || none;
        },
        [](long n, bool consistent) { EXPECT_TRUE(consistent) << "n=" << n; });
    EXPECT_EQ(needed, 3);  // the record, the storage record and its cells
}

// Every width the float writer can choose: a refused append returns -1
// and leaves the stream as it was.
TEST(AllocationFailure, FloatWidthChoice) {
    const struct {
        double value;
        const char *hex;
        int result;
    } cases[] = {
        {0.0, "f9 00 00", 1},
        {1.5, "f9 3e 00", 1},
        {65505.0, "fa 47 7f e1 00", 1},
        {std::ldexp(1.0, -24), "fa 33 80 00 00", 1},
        {16777217.0, "fb 41 70 00 00 10 00 00 00", 1},
        {0.1, "fb 3f b9 99 99 99 99 99 9a", 1},
        {NAN, "f9 7e 00", 0},
        {INFINITY, "f9 7c 00", 0},
        {-INFINITY, "f9 fc 00", 0},
    };
    struct Outcome {
        int result;  // of cbor_write_float; 2 when the stream could not be set up
        std::string written;
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex);
        sweep_every_failure(
            [&] {
                cbor_generator *g = cbor_generator_create();
                Outcome out{2, ""};
                if (g && cbor_write_uint(g, 1) == 0) {
                    out.result = cbor_write_float(g, c.value);
                    out.written.assign((const char *)g->data, (size_t)g->len);
                }
                cbor_generator_free(g);
                return out;
            },
            [&](long n, const Outcome &out) {
                if (out.result == 2) return;
                if (out.result == -1) {
                    EXPECT_EQ(hex(out.written), "01") << "n=" << n;
                    return;
                }
                EXPECT_EQ(out.result, c.result) << "n=" << n;
                EXPECT_EQ(out.written, "\x01" + from_hex(c.hex)) << "n=" << n;
            });
    }
}

// String copies of every head width, byte and text: each item read before
// the failure is whole, the one that fails gives NULL.
TEST(AllocationFailure, ParserStringCopies) {
    struct Item {
        std::string encoded, content;
        bool text;
    };
    std::string s24(24, 'q'), s256(256, 'r');
    const std::vector<Item> items = {
        {"\x41" "a", "a", false},
        {"\x58\x18" + s24, s24, false},
        {std::string("\x59\x01\x00", 3) + s256, s256, false},
        {std::string("\x5a\x00\x00\x00\x03", 5) + "xyz", "xyz", false},
        {std::string("\x5b\x00\x00\x00\x00\x00\x00\x00\x02", 9) + "uv", "uv", false},
        {std::string("\x40", 1), "", false},
        {"\x61" "b", "b", true},
        {"\x78\x18" + s24, s24, true},
        {std::string("\x79\x01\x00", 3) + s256, s256, true},
        {std::string("\x7a\x00\x00\x00\x02", 5) + "st", "st", true},
        {std::string("\x7b\x00\x00\x00\x00\x00\x00\x00\x01", 9) + "t", "t", true},
        {std::string("\x60", 1), "", true},
    };
    std::string input;
    for (const Item &item : items) input += item.encoded;
    // Each item read, as type letter and content, until the first NULL.
    auto read_all = [&] {
        std::vector<std::string> read;
        cbor_parser *p = cbor_parser_create(input.data(), (uint32_t)input.size());
        for (cbor_val *v; p && (v = cbor_next_val(p)) != nullptr; cbor_val_free(v)) {
            bool terminated = v->type != CBOR_TYPE_TEXT_STRING || v->value.str[v->length] == '\0';
            read.push_back(std::string(v->type == CBOR_TYPE_TEXT_STRING ? "t" : "b") + (terminated ? "" : "!") +
                           std::string(v->value.str, (size_t)v->length));
        }
        cbor_parser_free(p);
        return read;
    };
    long needed = sweep_every_failure(read_all, [&](long n, const std::vector<std::string> &read) {
        ASSERT_LE(read.size(), items.size());
        for (size_t i = 0; i < read.size(); i++)
            EXPECT_EQ(read[i], (items[i].text ? "t" : "b") + items[i].content) << "n=" << n << ", item " << i;
    });
    EXPECT_EQ(needed, 1 + 2 * (long)items.size());  // the parser, then an item and a copy each
    EXPECT_EQ(read_all().size(), items.size());
}

// Storage growth refused at any step leaves the cells in place; growing
// on afterwards gives the same storage as an unhindered growth.
TEST(AllocationFailure, StorageGrowth) {
    const int32_t last_d = 300;
    auto cells = [](const storage *s) { return std::vector<int32_t>(s->cells, s->cells + s->cell_count + 4); };
    storage *reference = storage_create(DIFF_DEFAULT_STORAGE_LIMIT);
    ASSERT_NE(reference, nullptr);
    for (int32_t d = 2; d <= last_d; d++) ASSERT_TRUE(storage_extend(reference, d));

    struct Outcome {
        storage *s;
        int32_t refused_d;  // 0 when every extension succeeded
        bool unchanged;     // the refusing call left capacity and cells alone
    };
    sweep_every_failure(
        [&] {
            Outcome out{storage_create(DIFF_DEFAULT_STORAGE_LIMIT), 0, true};
            for (int32_t d = 2; out.s && d <= last_d; d++) {
                std::vector<int32_t> before(out.s->cells, out.s->cells + out.s->cell_capacity);
                uint32_t capacity = out.s->cell_capacity;
                if (storage_extend(out.s, d)) continue;
                out.refused_d = d;
                out.unchanged = out.s->cell_capacity == capacity &&
                                std::vector<int32_t>(out.s->cells, out.s->cells + capacity) == before;
                break;
            }
            return out;
        },
        [&](long n, const Outcome &out) {
            if (!out.s) return;
            EXPECT_TRUE(out.unchanged) << "n=" << n << ", d=" << out.refused_d;
            for (int32_t d = out.refused_d; d > 0 && d <= last_d; d++) ASSERT_TRUE(storage_extend(out.s, d));
            EXPECT_EQ(cells(out.s), cells(reference)) << "n=" << n;
            storage_free(out.s);
        });
    storage_free(reference);
}

// The matching generator's index: building it gives NULL or an index;
// computing against a prebuilt one gives NULL or the delta of a single
// call, and the index stays usable after every failure.
TEST(AllocationFailure, MatchIndexBuildAndCompute) {
    PairMaker make(13);
    std::string a = make.bytes(6000, 16), b = make.edited(a, 16, 12, 30);
    buf o = view(a), nb = view(b);
    for (int level : {DIFF_MATCH_DEFAULT_LEVEL, 1, 2, 3, 4, 5}) {
        SCOPED_TRACE("level " + std::to_string(level));
        const std::string expected = take(diff_match_binary(&o, &nb, level));
        ASSERT_NE(expected, "null");
        auto against = [&](const diff_match_index *index) { return take(diff_match_index_compute(index, &nb)); };
        sweep_every_failure([&] { return diff_match_index_build(&o, level); },
                            [&](long n, diff_match_index *index) {
                                if (index) {
                                    EXPECT_EQ(against(index), expected) << "n=" << n;
                                }
                                diff_match_index_free(index);
                            });
        diff_match_index *index = diff_match_index_build(&o, level);
        ASSERT_NE(index, nullptr);
        sweep_every_failure([&] { return against(index); }, [&](long n, const std::string &delta) {
            if (delta != "null") {
                EXPECT_EQ(delta, expected) << "n=" << n;
            }
        });
        EXPECT_EQ(against(index), expected);
        diff_match_index_free(index);
    }
}

// Discarding every byte needs no new storage; the buffer stays usable.
TEST(AllocationFailure, DiscardEverything) {
    sweep_every_failure(
        [] {
            buf *b = buf_create();
            std::string after;
            if (b) {
                buf_write_bytes(b, "abc", 3);
                buf_discard_front(b, 3);
                after = std::to_string(b->len);
                buf_write_byte(b, 'x');
                after += ":" + contents(b);
            }
            buf_free(b);
            return after;
        },
        [](long n, const std::string &after) {
            if (!after.empty()) {
                EXPECT_TRUE(after == "0:x" || after == "0:") << "n=" << n << ": " << after;
            }
        });
}

}  // namespace
