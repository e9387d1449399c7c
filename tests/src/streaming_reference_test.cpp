// Long streams cut into irregular blocks against the direct evaluation of
// the kernel over the whole signal. Outputs whose windows straddle a block
// boundary are summed in two parts, and the vector routines add the taps in
// another order than the reference's tap order, so a value can differ in
// the last bits of its double; after truncation that is either the same
// integer or, when the exact value lies within that rounding of an integer,
// one unit apart. Nothing else may differ.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "src/variable_rate_converter.h"
#include "tests/src/reference_resampler.h"

namespace {

const int kSeconds = 4;

// Tones and noise reaching beyond full scale, so that the clipping path is
// taken in both directions.
std::vector<int32_t> testSignal(size_t length, int32_t fullScale, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-0.2, 0.2);
    std::vector<int32_t> x(length);
    for (size_t i = 0; i < length; ++i) {
        const double v = 0.7 * std::sin(i * 0.1309) + 0.45 * std::sin(i * 1.9 + 0.3) + noise(random);
        const double s = std::round(v * fullScale);
        x[i] = static_cast<int32_t>(std::fmax(-fullScale, std::fmin(fullScale - 1, s)));
    }
    return x;
}

template <typename T>
T make(int32_t v) {
    return static_cast<T>(v);
}
template <>
Int24 make<Int24>(int32_t v) {
    return Int24(v);
}
int32_t value(int16_t s) { return s; }
int32_t value(Int24 s) { return s.toInt(); }

struct Comparison {
    size_t outputs = 0;
    size_t offByOne = 0;
};

template <typename Converter, typename T, int32_t Min, int32_t Max>
Comparison streamAndCompare(double step, bool primed, bool portable, unsigned seed) {
    const size_t length = size_t(kSeconds) * 48000;
    const auto x = testSignal(length, -Min, seed);
    std::vector<T> in(length);
    for (size_t i = 0; i < length; ++i) in[i] = make<T>(x[i]);

    Converter c(step);
    EXPECT_EQ(c.fixedStep(), reference::fixedStep(step));
    if (primed) c.prime();
    if (portable) c.usePortableRoutines();
    std::vector<T> out;
    std::mt19937 random(seed + 1);
    std::uniform_int_distribution<int> blockSize(0, 700);
    size_t at = 0;
    bool first = true;
    while (at < length) {
        int n = blockSize(random);
        if (random() % 4 == 0) n %= 40;  // many blocks too short to finish a window
        if (first && primed && n < 32) n = 32 + n;  // see primedStarts
        first = false;
        n = static_cast<int>(std::min<size_t>(n, length - at));
        std::vector<T> block(c.maxOutputsFor(n) + 1);
        int32_t made = -1;
        c.convert(in.data() + at, n, block.data(), made);
        out.insert(out.end(), block.begin(), block.begin() + made);
        at += n;
    }
    const size_t expectedCount = size_t(length / step) + 100;
    const auto starts = primed ? reference::primedStarts(step, expectedCount)
                               : reference::unprimedStarts(step, expectedCount);
    Comparison result;
    result.outputs = out.size();
    EXPECT_EQ(out.size(), reference::completeWithin(starts, int64_t(length)));
    for (size_t k = 0; k < out.size(); ++k) {
        const int32_t want = reference::evaluate(x, starts[k], Min, Max);
        const int32_t got = value(out[k]);
        if (got != want) {
            ++result.offByOne;
            if (std::abs(got - want) > 1) {
                ADD_FAILURE() << "output " << k << ": " << got << " against " << want;
                break;
            }
        }
    }
    if (std::getenv("SRC_REFERENCE_REPORT"))
        printf("step %.6f primed %d portable %d: %zu outputs, %zu one unit off\n", step, primed, portable,
               result.outputs, result.offByOne);
    return result;
}

const double kSteps[] = {44100.0 / 48000.0, 48000.0 / 44100.0, 96000.0 / 44100.0,
                         44100.0 / 96000.0, 32000.0 / 48000.0, 48000.0 / 32000.0};

}  // namespace

TEST(StreamingReference, SixteenBitStreamsMatchTheDirectEvaluation) {
    unsigned seed = 1;
    for (double step : kSteps) {
        for (bool primed : {false, true}) {
            const auto r = streamAndCompare<VariableRateSamplerateConverter16, int16_t, -32768, 32767>(
                step, primed, false, seed++);
            EXPECT_GT(r.outputs, size_t(kSeconds * 48000 / step) - 100);
            // A sum within rounding of an integer is rare: under one in 10000.
            EXPECT_LT(r.offByOne, r.outputs / 10000) << step;
        }
    }
}

TEST(StreamingReference, TwentyFourBitStreamsMatchTheDirectEvaluation) {
    unsigned seed = 100;
    for (double step : kSteps) {
        for (bool primed : {false, true}) {
            const auto r = streamAndCompare<VariableRateSamplerateConverter24, Int24, -8388608, 8388607>(
                step, primed, false, seed++);
            EXPECT_LT(r.offByOne, r.outputs / 10000) << step;
        }
    }
}

TEST(StreamingReference, PortableRoutinesMatchTheDirectEvaluationToo) {
    for (double step : {44100.0 / 48000.0, 96000.0 / 44100.0}) {
        const auto a = streamAndCompare<VariableRateSamplerateConverter16, int16_t, -32768, 32767>(
            step, false, true, 7);
        const auto b = streamAndCompare<VariableRateSamplerateConverter24, Int24, -8388608, 8388607>(
            step, true, true, 8);
        EXPECT_LT(a.offByOne, a.outputs / 10000);
        EXPECT_LT(b.offByOne, b.outputs / 10000);
    }
}
