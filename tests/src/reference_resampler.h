// An independent, non-streaming evaluation of the variable-rate kernel over
// a whole signal: every output is the plain sum of 33 products, taken in tap
// order, over the samples of the complete signal (silence outside it), at
// window starts listed up front. The streaming converter must agree with it.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace reference {

constexpr int64_t kOne = int64_t(1) << 40;

// sinc(t) * I0(5 sqrt(1 - (t/17)^2)) / I0(5), t = tap - 16 - phase / 512,
// with I0 summed here by its own series.
inline double kernel(int phase, int tap) {
    auto i0 = [](double x) {
        double sum = 0.0, term = 1.0;
        for (int k = 0; k < 60; ++k) {
            if (k > 0) term *= (x / 2) * (x / 2) / (double(k) * k);
            sum += term;
        }
        return sum;
    };
    const double pi = std::acos(-1.0);
    const double t = tap - 16.0 - phase / 512.0;
    // sin(pi t) is exactly 0 at whole t; its floating-point value is not.
    const double sinc = t == 0.0 ? 1.0 : t == std::floor(t) ? 0.0 : std::sin(pi * t) / (pi * t);
    return sinc * i0(5.0 * std::sqrt(1.0 - (t / 17.0) * (t / 17.0))) / i0(5.0);
}

struct Kernel {
    std::vector<double> k = std::vector<double>(513 * 33);
    Kernel() {
        for (int p = 0; p < 513; ++p)
            for (int i = 0; i < 33; ++i) k[p * 33 + i] = kernel(p, i);
    }
    const double* row(int p) const { return &k[p * 33]; }
};

inline const Kernel& table() {
    static const Kernel t;
    return t;
}

inline int64_t fixedStep(double step) { return std::llround(step * double(kOne)); }

// The window starts of an unprimed converter: the first half of its
// capacity of outputs starts before the stream.
inline std::vector<int64_t> unprimedStarts(double step, size_t count) {
    const int64_t s = fixedStep(step);
    const int64_t pending = (static_cast<int64_t>(std::ceil(32.0 / step)) + 1) / 2;
    std::vector<int64_t> starts(count);
    for (size_t m = 0; m < count; ++m) starts[m] = -s * pending + int64_t(m) * s;
    return starts;
}

// A primed converter whose first block holds at least 32 samples: the extra
// pending outputs all start just before the stream.
inline std::vector<int64_t> primedStarts(double step, size_t count) {
    const int64_t s = fixedStep(step);
    const int64_t capacity = static_cast<int64_t>(std::ceil(32.0 / step));
    const int64_t pending = (capacity + 1) / 2;
    std::vector<int64_t> starts(count);
    for (size_t m = 0; m < count; ++m) {
        const int64_t mm = int64_t(m);
        if (mm < pending) starts[m] = -s * pending + mm * s;
        else if (mm < capacity) starts[m] = -1;
        else starts[m] = -1 + (mm - capacity + 1) * s;
    }
    return starts;
}

// Outputs whose whole window lies within the first n samples.
inline size_t completeWithin(const std::vector<int64_t>& starts, int64_t n) {
    size_t c = 0;
    while (c < starts.size() && (starts[c] >> 40) + 32 < n) ++c;
    return c;
}

inline int32_t evaluate(const std::vector<int32_t>& x, int64_t start, int32_t min, int32_t max) {
    const int64_t j = start >> 40;
    const int64_t fraction = start & (kOne - 1);
    const int p = static_cast<int>(std::floor(double(fraction) / double(kOne) * 512.0 + 0.5));
    const double* k = table().row(p);
    double v = 0.0;
    for (int i = 0; i < 33; ++i) {
        const int64_t idx = j + i;
        if (idx >= 0 && idx < int64_t(x.size())) v += x[idx] * k[i];
    }
    if (v > max) return max;
    if (v < min) return min;
    return static_cast<int32_t>(v);
}

}  // namespace reference
