#include "tools/asio_host_samples.h"

#include <cmath>
#include <cstring>

namespace host {
namespace {

int32_t clampToInt32(double value) {
    if (!(value > -2147483648.0)) return INT32_MIN;  // NaN too
    if (value >= 2147483647.0) return INT32_MAX;
    return static_cast<int32_t>(value);
}

}  // namespace

size_t sampleBytes(ASIOSampleType type) {
    switch (type) {
        case ASIOSTInt16LSB: return 2;
        case ASIOSTInt24LSB: return 3;
        case ASIOSTInt32LSB:
        case ASIOSTInt32LSB16:
        case ASIOSTInt32LSB18:
        case ASIOSTInt32LSB20:
        case ASIOSTInt32LSB24:
        case ASIOSTFloat32LSB: return 4;
        case ASIOSTFloat64LSB: return 8;
        default: return 0;
    }
}

uint32_t significantBits(ASIOSampleType type) {
    switch (type) {
        case ASIOSTInt16LSB:
        case ASIOSTInt32LSB16: return 16;
        case ASIOSTInt32LSB18: return 18;
        case ASIOSTInt32LSB20: return 20;
        case ASIOSTInt24LSB:
        case ASIOSTInt32LSB24: return 24;
        default: return 32;
    }
}

const char* sampleTypeName(ASIOSampleType type) {
    switch (type) {
        case ASIOSTInt16LSB: return "Int16LSB";
        case ASIOSTInt24LSB: return "Int24LSB";
        case ASIOSTInt32LSB: return "Int32LSB";
        case ASIOSTInt32LSB16: return "Int32LSB16";
        case ASIOSTInt32LSB18: return "Int32LSB18";
        case ASIOSTInt32LSB20: return "Int32LSB20";
        case ASIOSTInt32LSB24: return "Int32LSB24";
        case ASIOSTFloat32LSB: return "Float32LSB";
        case ASIOSTFloat64LSB: return "Float64LSB";
        default: return "unsupported";
    }
}

int32_t readSample(const void* buffer, ASIOSampleType type, size_t index) {
    const auto* bytes = static_cast<const uint8_t*>(buffer) + index * sampleBytes(type);
    switch (type) {
        case ASIOSTInt16LSB: return static_cast<int32_t>(static_cast<uint32_t>(bytes[0] | bytes[1] << 8) << 16);
        case ASIOSTInt24LSB:
            return static_cast<int32_t>((static_cast<uint32_t>(bytes[0]) << 8) | (static_cast<uint32_t>(bytes[1]) << 16) |
                                        (static_cast<uint32_t>(bytes[2]) << 24));
        case ASIOSTInt32LSB:
        case ASIOSTInt32LSB16:
        case ASIOSTInt32LSB18:
        case ASIOSTInt32LSB20:
        case ASIOSTInt32LSB24: {
            uint32_t word = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
            const uint32_t shift = 32 - significantBits(type);
            return static_cast<int32_t>(word << shift);
        }
        case ASIOSTFloat32LSB: {
            float value;
            std::memcpy(&value, bytes, sizeof(value));
            return clampToInt32(static_cast<double>(value) * 2147483648.0);
        }
        case ASIOSTFloat64LSB: {
            double value;
            std::memcpy(&value, bytes, sizeof(value));
            return clampToInt32(value * 2147483648.0);
        }
        default: return 0;
    }
}

void writeSample(void* buffer, ASIOSampleType type, size_t index, int32_t value) {
    auto* bytes = static_cast<uint8_t*>(buffer) + index * sampleBytes(type);
    const uint32_t word = static_cast<uint32_t>(value);
    switch (type) {
        case ASIOSTInt16LSB:
            bytes[0] = static_cast<uint8_t>(word >> 16);
            bytes[1] = static_cast<uint8_t>(word >> 24);
            break;
        case ASIOSTInt24LSB:
            bytes[0] = static_cast<uint8_t>(word >> 8);
            bytes[1] = static_cast<uint8_t>(word >> 16);
            bytes[2] = static_cast<uint8_t>(word >> 24);
            break;
        case ASIOSTInt32LSB:
        case ASIOSTInt32LSB16:
        case ASIOSTInt32LSB18:
        case ASIOSTInt32LSB20:
        case ASIOSTInt32LSB24: {
            // Right-justified in the word, sign-extended.
            const uint32_t shifted = static_cast<uint32_t>(value >> (32 - significantBits(type)));
            for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(shifted >> (8 * i));
            break;
        }
        case ASIOSTFloat32LSB: {
            const float sample = static_cast<float>(value / 2147483648.0);
            std::memcpy(bytes, &sample, sizeof(sample));
            break;
        }
        case ASIOSTFloat64LSB: {
            const double sample = value / 2147483648.0;
            std::memcpy(bytes, &sample, sizeof(sample));
            break;
        }
        default: break;
    }
}

}  // namespace host
