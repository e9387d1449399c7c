// A PCM WAVE file of the recorded inputs: 16, 24 or 32 bits per sample,
// interleaved, little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// `frames` interleaved samples of `channels` channels, full scale at 2^31,
// written with the top `bits` bits (16, 24 or 32). False when the file
// cannot be written completely.
bool writeWaveFile(const std::string& path, const std::vector<int32_t>& samples, uint32_t channels, uint32_t rate,
                   uint32_t bits);

}  // namespace host
