// Runs a fuzz target once on every file of the directories given, in name
// order, without libFuzzer: the ordinary test build replays the seed
// corpora and the regression inputs this way. A target reports a failed
// check by aborting; the sanitizer builds add their own reports.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIRECTORY...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; i++) {
        std::error_code error;
        std::vector<fs::path> files;
        for (const fs::directory_entry &entry : fs::directory_iterator(argv[i], error))
            if (entry.is_regular_file()) files.push_back(entry.path());
        if (error || files.empty()) {
            fprintf(stderr, "%s: no inputs in %s\n", argv[0], argv[i]);
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path &file : files) {
            std::ifstream in(file, std::ios::binary);
            // An exact-size heap copy, as libFuzzer passes it, so that the
            // sanitizers see any read past the end.
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!in.good() && !in.eof()) {
                fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
                return 1;
            }
            uint8_t *copy = new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)];
            std::copy(bytes.begin(), bytes.end(), copy);
            LLVMFuzzerTestOneInput(copy, bytes.size());
            delete[] copy;
        }
        printf("%zu inputs replayed from %s\n", files.size(), argv[i]);
    }
    return 0;
}
