// Silence after silence is written as zeros without evaluating a window:
// the shortcut must give exactly what evaluating the windows gives, in
// values, counts and the converter's state, however the stream is cut,
// steered and restarted, and wherever sound starts or stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "src/variable_rate_converter.h"

namespace {

constexpr double kSpread = 0.005;

// Stretches of silence (some long, some a few samples) between stretches of
// loud noise, some of which are a single sample.
std::vector<int32_t> patchySignal(size_t length, int32_t peak, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int32_t> value(-peak, peak);
    std::vector<int32_t> x;
    while (x.size() < length) {
        const size_t quiet = random() % 4 == 0 ? random() % 40 : random() % 3000;
        x.insert(x.end(), quiet, 0);
        const size_t loud = random() % 3 == 0 ? 1 : random() % 600;
        for (size_t i = 0; i < loud; ++i) x.push_back(value(random));
    }
    x.resize(length);
    return x;
}

template <typename T>
T sampleOf(int32_t v);
template <>
int16_t sampleOf<int16_t>(int32_t v) { return static_cast<int16_t>(v); }
template <>
Int24 sampleOf<Int24>(int32_t v) { return Int24(v); }

int32_t valueOf(int16_t s) { return s; }
int32_t valueOf(Int24 s) { return s.toInt(); }

struct Outcome {
    size_t outputs = 0;
    size_t silentBlocks = 0;  // blocks the shortcut could take
};

// Converts the signal twice, with the shortcut and with every window
// evaluated, in the same random blocks, steps and restarts.
template <typename Converter, typename T>
Outcome compareWithEvaluatedWindows(double nominal, bool primed, int32_t peak, unsigned seed) {
    const size_t length = 400000;
    const std::vector<int32_t> values = patchySignal(length, peak, seed);
    std::vector<T> in(length);
    for (size_t i = 0; i < length; ++i) in[i] = sampleOf<T>(values[i]);
    Converter fast(nominal, kSpread), full(nominal, kSpread);
    full.evaluateSilence();
    if (primed) {
        fast.prime();
        full.prime();
    }
    std::mt19937 random(seed + 1);
    std::uniform_int_distribution<int> blockSize(0, 300);
    std::uniform_real_distribution<double> wobble(-kSpread, kSpread);
    Outcome run;
    size_t at = 0, zerosBefore = 32;  // silence before the stream
    while (at < length) {
        int n = blockSize(random);
        if (random() % 4 == 0) n %= 40;  // blocks too short to finish a window
        n = static_cast<int>(std::min<size_t>(n, length - at));
        if (random() % 7 == 0) {
            const double step = nominal * (1.0 + wobble(random));
            EXPECT_EQ(fast.setStep(step), full.setStep(step));
        }
        if (random() % 500 == 0) {
            fast.startAtBlock();
            full.startAtBlock();
            zerosBefore = 32;  // a start forgets the stream before it
        }
        const bool quiet = std::all_of(values.begin() + long(at), values.begin() + long(at + size_t(n)),
                                       [](int32_t v) { return v == 0; });
        if (quiet && n > 0 && zerosBefore >= 32) ++run.silentBlocks;
        if (quiet) {
            zerosBefore += size_t(n);
        } else {
            zerosBefore = 0;
            while (values[at + size_t(n) - 1 - zerosBefore] == 0) ++zerosBefore;
        }

        std::vector<T> outFast(fast.maxOutputsFor(n) + 1), outFull(full.maxOutputsFor(n) + 1);
        int32_t madeFast = -1, madeFull = -1;
        fast.convert(in.data() + at, n, outFast.data(), madeFast);
        full.convert(in.data() + at, n, outFull.data(), madeFull);
        EXPECT_EQ(madeFast, madeFull) << "at " << at;
        if (madeFast != madeFull) return run;
        for (int32_t k = 0; k < madeFast; ++k)
            if (valueOf(outFast[k]) != valueOf(outFull[k])) {
                ADD_FAILURE() << "output " << run.outputs + size_t(k) << " at input " << at << ": "
                              << valueOf(outFast[k]) << " against " << valueOf(outFull[k]);
                return run;
            }
        EXPECT_EQ(fast.fixedPosition(), full.fixedPosition());
        EXPECT_EQ(fast.pendingCount(), full.pendingCount());
        EXPECT_EQ(fast.inputFramesFor(90), full.inputFramesFor(90));
        run.outputs += size_t(madeFast);
        at += size_t(n);
    }
    return run;
}

const double kSteps[] = {1.0, 44100.0 / 48000.0, 48000.0 / 44100.0, 96000.0 / 44100.0, 44100.0 / 96000.0, 20.0};

// Every step, primed or not; the stream must have given the shortcut many
// blocks to take.
template <typename Converter, typename T>
void compareEveryStep(int32_t peak, unsigned seed) {
    for (const double step : kSteps)
        for (const bool primed : {false, true}) {
            SCOPED_TRACE(testing::Message() << "step " << step << (primed ? " primed" : ""));
            const Outcome run = compareWithEvaluatedWindows<Converter, T>(step, primed, peak, seed++);
            EXPECT_GT(run.outputs, size_t(300000 / step));
            EXPECT_GT(run.silentBlocks, 100u);
        }
}

TEST(SilentConversion, SilenceMatchesEvaluatedWindowsIn16And24Bits) {
    compareEveryStep<VariableRateSamplerateConverter16, int16_t>(32767, 11);
    compareEveryStep<VariableRateSamplerateConverter24, Int24>(8388607, 51);
}

// The faintest sound (one unit in one sample) is not silence: it reaches
// the outputs whose windows read it.
TEST(SilentConversion, OneQuietSampleIsHeard) {
    VariableRateSamplerateConverter16 c(48000.0 / 44100.0, kSpread);
    std::vector<int16_t> block(256, 0);
    std::vector<int16_t> out(c.maxOutputsFor(256) + 1);
    int32_t made = 0;
    c.convert(block.data(), 256, out.data(), made);
    ASSERT_GT(made, 0);
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + made, [](int16_t v) { return v == 0; }));
    block.assign(256, 0);
    block[100] = 32767;
    block[101] = 32767;
    c.convert(block.data(), 256, out.data(), made);
    ASSERT_GT(made, 0);
    EXPECT_TRUE(std::any_of(out.begin(), out.begin() + made, [](int16_t v) { return v != 0; }));
    // The sound stays in the history: the next silent block still carries
    // the tail of the windows that read it.
    block.assign(20, 0);
    block[19] = 30000;
    c.convert(block.data(), 20, out.data(), made);
    block.assign(256, 0);
    c.convert(block.data(), 256, out.data(), made);
    ASSERT_GT(made, 0);
    EXPECT_TRUE(std::any_of(out.begin(), out.begin() + made, [](int16_t v) { return v != 0; }));
}

}  // namespace
