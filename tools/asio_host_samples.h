// Sample types of ASIO buffers as the console host handles them: the
// little-endian integer and float types. Samples are carried as 32-bit
// integers with the significant bits at the top (full scale = 2^31).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/asio.h"

namespace host {

// Bytes per sample of a type the host can handle; 0 for any other.
size_t sampleBytes(ASIOSampleType type);
// Significant bits: 16, 18, 20, 24 or 32 (floats: 32).
uint32_t significantBits(ASIOSampleType type);
const char* sampleTypeName(ASIOSampleType type);

// Sample `index` of a buffer of that type, full scale at 2^31.
int32_t readSample(const void* buffer, ASIOSampleType type, size_t index);
void writeSample(void* buffer, ASIOSampleType type, size_t index, int32_t value);

}  // namespace host
