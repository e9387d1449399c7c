// A signed 24-bit sample in three bytes, least significant first, with no
// padding: an array of n samples takes exactly 3 * n bytes, as the 24-bit
// hosts and the 24-bit hardware containers lay them out.
#pragma once

#include <cstdint>

struct Int24 {
    uint8_t bytes[3];

    Int24() = default;
    // Keeps the low 24 bits of the value.
    constexpr explicit Int24(int32_t value)
        : bytes{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                static_cast<uint8_t>(value >> 16)} {}

    // Bits 0 to 23 as an unsigned number.
    constexpr uint32_t toUnsigned() const {
        return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
               (static_cast<uint32_t>(bytes[2]) << 16);
    }
    // Sign-extends bit 23.
    constexpr int32_t toInt() const {
        return static_cast<int32_t>(toUnsigned() ^ 0x800000u) - 0x800000;
    }
    constexpr explicit operator int32_t() const { return toInt(); }

    static constexpr int32_t kMin = -0x800000;
    static constexpr int32_t kMax = 0x7FFFFF;
};

static_assert(sizeof(Int24) == 3, "Int24 must pack into three bytes");
static_assert(alignof(Int24) == 1, "Int24 arrays must have no padding");
