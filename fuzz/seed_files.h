// What the seed generators share: one file per seed in the corpus folder
// that fuzz/run-fuzzers.sh names on their command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fuzzseeds {

inline bool writeSeed(const std::string& folder, const char* name, const void* data, size_t size) {
    const std::string path = folder + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}
inline bool writeSeed(const std::string& folder, const char* name, const std::string& text) {
    return writeSeed(folder, name, text.data(), text.size());
}
inline bool writeSeed(const std::string& folder, const char* name, const std::vector<uint8_t>& bytes) {
    return writeSeed(folder, name, bytes.data(), bytes.size());
}

// The corpus folder, the one argument; false (with the usage written) without it.
inline bool corpusFolder(int argc, char** argv, std::string* folder) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argc > 0 ? argv[0] : "seeds");
        return false;
    }
    *folder = argv[1];
    return true;
}

}  // namespace fuzzseeds
