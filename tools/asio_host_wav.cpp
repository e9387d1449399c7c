#include "tools/asio_host_wav.h"

#include <cstdio>

namespace host {
namespace {

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}
void putTag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

}  // namespace

bool writeWaveFile(const std::string& path, const std::vector<int32_t>& samples, uint32_t channels, uint32_t rate,
                   uint32_t bits) {
    if (channels == 0 || channels > 65535 || (bits != 16 && bits != 24 && bits != 32)) return false;
    const uint32_t bytesPerSample = bits / 8;
    const uint64_t dataBytes = static_cast<uint64_t>(samples.size()) * bytesPerSample;
    if (dataBytes > 0xFFFFFFFFull - 36) return false;
    std::vector<uint8_t> out;
    out.reserve(44 + static_cast<size_t>(dataBytes));
    putTag(out, "RIFF");
    put32(out, static_cast<uint32_t>(36 + dataBytes));
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, 1);  // PCM
    put16(out, channels);
    put32(out, rate);
    put32(out, rate * channels * bytesPerSample);
    put16(out, channels * bytesPerSample);
    put16(out, bits);
    putTag(out, "data");
    put32(out, static_cast<uint32_t>(dataBytes));
    for (int32_t sample : samples) {
        const uint32_t word = static_cast<uint32_t>(sample);
        for (uint32_t b = 4 - bytesPerSample; b < 4; ++b) out.push_back(static_cast<uint8_t>(word >> (8 * b)));
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace host
