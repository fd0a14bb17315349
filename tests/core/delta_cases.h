// Shared by the delta engine tests: buffer views over test strings and
// random old/new pairs of the shapes that exercise the search.
#ifndef OSTREL_TESTS_DELTA_CASES_H
#define OSTREL_TESTS_DELTA_CASES_H

#include <stdint.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "buf.h"
#include "delta_apply.h"
#include "delta_generate.h"

// A read-only view, as the Python bridge builds them.
inline buf view(const std::string &s) { return buf{const_cast<char *>(s.data()), s.size(), s.size()}; }

inline std::string contents(const buf *b) { return b->len ? std::string(b->data, b->len) : std::string(); }

inline std::string hex(const std::string &s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Checks the three shapes of a generated delta (f6 for identical values of
// 2 bytes or more, the replacement delta for any not shorter than the new
// value) and that it rebuilds the new value.
inline void check_delta(const std::string &o, const std::string &n, const std::string &delta, int level) {
    SCOPED_TRACE("level " + std::to_string(level) + ", old " + std::to_string(o.size()) + " B, new " +
                 std::to_string(n.size()) + " B");
    bool identical = o == n;
    if (identical && n.size() >= 2) {
        EXPECT_EQ(hex(delta), "f6");
        return;
    }
    buf nb = view(n);
    buf *replacement = _write_replacement_delta(&nb);
    ASSERT_NE(replacement, nullptr);
    if (delta.size() >= n.size()) {
        EXPECT_EQ(delta, contents(replacement));
    }
    buf_free(replacement);
    buf ob = view(o), db = view(delta);
    buf *rebuilt = diff_apply_binary(&ob, &db);
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_TRUE(contents(rebuilt) == n);
    buf_free(rebuilt);
}

// Seed from OSTREL_TEST_SEED when set, so that a failing run can be replayed.
inline uint32_t test_seed(uint32_t fallback) {
    const char *text = getenv("OSTREL_TEST_SEED");
    return text ? (uint32_t)strtoul(text, nullptr, 10) : fallback;
}

inline long env_long(const char *name, long fallback) {
    const char *text = getenv(name);
    return text ? strtol(text, nullptr, 10) : fallback;
}

class PairMaker {
public:
    explicit PairMaker(uint32_t seed) : rng_(seed) {}

    size_t below(size_t n) { return n ? rng_() % n : 0; }

    // Mostly short values, now and then a longer one.
    size_t length() { return below(8) == 0 ? below(1500) : below(300); }

    std::string bytes(size_t n, unsigned alphabet) {
        std::string s(n, '\0');
        for (char &c : s) c = (char)('a' + rng_() % alphabet);
        return s;
    }

    // Alphabets from 2 symbols (long accidental snakes) to 256 (almost none).
    unsigned alphabet() {
        static const unsigned choices[] = {2, 3, 4, 16, 256};
        return choices[below(5)];
    }

    // A new value made of a few edits of old: substitutions, inserted and
    // deleted runs, or a block moved elsewhere.
    std::string edited(const std::string &old, unsigned alphabet, size_t edits, size_t run) {
        std::string s = old;
        for (size_t e = 0; e < edits; e++) {
            size_t at = below(s.size() + 1);
            switch (below(4)) {
            case 0:
                if (at < s.size()) s[at] = (char)('a' + rng_() % alphabet);
                break;
            case 1:
                s.insert(at, bytes(1 + below(run), alphabet));
                break;
            case 2:
                s.erase(at, 1 + below(run));
                break;
            default: {
                std::string block = s.substr(at, 1 + below(run));
                s.erase(at, block.size());
                s.insert(below(s.size() + 1), block);
            }
            }
        }
        return s;
    }

    // Runs of two symbols with random lengths.
    std::string alternating(size_t n, size_t longest) {
        std::string s;
        for (char c = 'a'; s.size() < n; c = (char)('a' + 'b' - c)) s.append(1 + below(longest), c);
        s.resize(n);
        return s;
    }

    void pair(std::string *old_value, std::string *new_value) {
        unsigned a = alphabet();
        size_t n = length();
        switch (below(8)) {
        case 0:  // small edits
            *old_value = bytes(n, a);
            *new_value = edited(*old_value, a, 1 + below(4), 3);
            break;
        case 1:  // longer inserted, deleted and moved runs
            *old_value = bytes(n, a);
            *new_value = edited(*old_value, a, 1 + below(6), 40);
            break;
        case 2:  // unrelated
            *old_value = bytes(n, a);
            *new_value = bytes(length(), a);
            break;
        case 3:  // one repeated byte with a few changes
            *old_value = std::string(n, 'a');
            *new_value = edited(*old_value, 2, 1 + below(5), 5);
            break;
        case 4:  // alternating runs, shifted against each other
            *old_value = alternating(n, 1 + below(8));
            *new_value = edited(*old_value, 2, 1 + below(8), 6);
            break;
        case 5:  // one side empty
            *old_value = bytes(n, a);
            *new_value = "";
            if (below(2)) std::swap(*old_value, *new_value);
            break;
        case 6:  // identical
            *old_value = bytes(n, a);
            *new_value = *old_value;
            break;
        default:  // many scattered edits, long enough for progress checks
            *old_value = bytes(below(4) ? n : 500 + below(1500), a);
            *new_value = edited(*old_value, a, 1 + below(old_value->size() / 4 + 1), 4);
        }
    }

private:
    std::mt19937 rng_;
};

#endif
