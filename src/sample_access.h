// Reading and writing the two sample types as 32-bit integers.
#pragma once

#include <cstdint>

#include "base/int24.h"

namespace src_detail {

inline int32_t toInt(int16_t s) { return s; }
inline int32_t toInt(Int24 s) { return s.toInt(); }

template <typename T>
inline T fromInt(int32_t v);
template <>
inline int16_t fromInt<int16_t>(int32_t v) { return static_cast<int16_t>(v); }
template <>
inline Int24 fromInt<Int24>(int32_t v) { return Int24(v); }

// Values beyond the sample range saturate; the rest truncate toward zero.
inline int32_t clipToRange(double v, int32_t min, int32_t max) {
    if (v > max) return max;
    if (v < min) return min;
    return static_cast<int32_t>(v);
}

}  // namespace src_detail
