// Bounds shared by the converters' and adapters' construction checks.
#pragma once

#include <cstdint>

namespace src_detail {

// The largest host buffer or packet an adapter is made for, in samples; far
// beyond 40 ms at any rate the driver offers.
constexpr int64_t kMaxAdapterFrames = int64_t(1) << 22;

// Steps the variable-rate converter accepts: the host may run at most 1024
// times the hardware rate (the pending sums grow with 1 / step), and at most
// 65536 times below it.
constexpr double kMinStep = 1.0 / 1024.0;
constexpr double kMaxStep = 65536.0;
// How far a converter's step may be steered from its nominal value, as a
// fraction: far beyond any clock a drift corrector follows.
constexpr double kMaxSpread = 0.1;

inline int64_t ceilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }

inline bool framesAcceptable(int64_t frames) { return frames >= 1 && frames <= kMaxAdapterFrames; }

}  // namespace src_detail
