// Bytes written as hex pairs, spaces allowed between them: hex("18 ff").
#ifndef OSTREL_TESTS_HEX_BYTES_H
#define OSTREL_TESTS_HEX_BYTES_H

#include <stdint.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes hex(const std::string &text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

#endif
