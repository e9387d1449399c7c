#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "src/variable_rate_converter.h"
#include "src/variable_rate_kernel.h"
#include "tests/src/reference_resampler.h"

using src_detail::kRowStride;

namespace {

const double* row(int p) { return src_detail::kernelTable() + p * kRowStride; }

std::vector<int16_t> run(VariableRateSamplerateConverter16& c, const std::vector<int16_t>& in) {
    std::vector<int16_t> out(c.maxOutputsFor(static_cast<int32_t>(in.size())) + 1);
    int32_t n = -1;
    c.convert(in.data(), static_cast<int32_t>(in.size()), out.data(), n);
    out.resize(n);
    return out;
}

int32_t value(int16_t s) { return s; }
int32_t value(Int24 s) { return s.toInt(); }

// Converts a tone beyond full scale (so that both clip limits are hit) with
// noise, in blocks of the lengths `nextBlock` gives.
template <typename Converter, typename T, typename NextBlock>
std::vector<int32_t> convertInBlocks(double step, bool primed, bool portable, int32_t fullScale,
                                     NextBlock nextBlock) {
    const int length = 6000;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-0.1, 0.1);
    std::vector<T> in(length);
    for (int i = 0; i < length; ++i) {
        const double v = std::round((1.2 * std::sin(i * 0.37) + noise(random)) * fullScale);
        in[i] = T(static_cast<int32_t>(std::min<double>(std::max<double>(v, -fullScale), fullScale - 1)));
    }
    Converter c(step);
    if (primed) c.prime();
    if (portable) c.usePortableRoutines();
    std::vector<int32_t> out;
    for (int at = 0; at < length;) {
        const int n = std::min(nextBlock(at), length - at);
        std::vector<T> block(c.maxOutputsFor(n) + 1);
        int32_t made = -1;
        c.convert(in.data() + at, n, block.data(), made);
        for (int32_t k = 0; k < made; ++k) out.push_back(value(block[k]));
        at += n;
    }
    return out;
}

// Each output is evaluated whole from the history and the block, so where
// the blocks end changes no output at all: short blocks, blocks longer than
// the routines' chunks, windows made alone or four at a time.
template <typename Converter, typename T>
void expectBlockEdgesChangeNothing(double step, bool primed, bool portable, int32_t fullScale) {
    const auto whole = convertInBlocks<Converter, T>(step, primed, portable, fullScale, [](int) { return 6000; });
    std::mt19937 random(11);
    const auto cut = convertInBlocks<Converter, T>(step, primed, portable, fullScale, [&](int at) {
        const int n = static_cast<int>(random() % 700);
        // A primed stream's first block must reach past the extra outputs'
        // window, or they start later (see FirstCallAfterPrimingRepeatsTheCentreSample).
        if (at == 0 && primed) return 32 + n;
        return random() % 3 == 0 ? n % 40 : n;
    });
    ASSERT_EQ(cut.size(), whole.size()) << step;
    for (size_t k = 0; k < whole.size(); ++k) ASSERT_EQ(cut[k], whole[k]) << step << " output " << k;
}

}  // namespace

TEST(VariableRateKernel, RowsMatchTheFormulaAndTheirKnownValues) {
    for (int i = 0; i < 33; ++i) {
        EXPECT_EQ(row(0)[i], i == 16 ? 1.0 : 0.0) << i;
        EXPECT_EQ(row(512)[i], i == 17 ? 1.0 : 0.0) << i;
        // Phase 256 is centred between taps 16 and 17.
        if (i >= 1) {
            EXPECT_NEAR(row(256)[i], row(256)[33 - i], 1e-15) << i;
        }
    }
    EXPECT_NEAR(row(256)[16], 0.635391, 5e-7);
    EXPECT_NEAR(row(256)[17], 0.635391, 5e-7);
    const double row128[] = {0.096182, -0.177899, 0.899882, 0.298803, -0.125601};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(row(128)[14 + i], row128[i], 5e-7) << i;
    for (int p = 0; p < 513; p += 17)
        for (int i = 0; i < 33; ++i) EXPECT_NEAR(row(p)[i], reference::kernel(p, i), 1e-14);
    // The padding taps add nothing.
    for (int p = 0; p < 513; ++p)
        for (int i = 33; i < kRowStride; ++i) ASSERT_EQ(row(p)[i], 0.0);
}

TEST(VariableRateConverter, CapacityPendingCountAndPositionFromTheStep) {
    VariableRateSamplerateConverter16 up(44100.0 / 48000.0);
    EXPECT_EQ(up.capacity(), 35);
    EXPECT_EQ(up.pendingCount(), 18);
    EXPECT_NEAR(up.position(), -16.5375, 1e-9);
    VariableRateSamplerateConverter24 down(48000.0 / 44100.0);
    EXPECT_EQ(down.capacity(), 30);
    EXPECT_EQ(down.pendingCount(), 15);
    EXPECT_NEAR(down.position(), -16.3265, 1e-4);
    up.prime();
    EXPECT_EQ(up.pendingCount(), 35);
    EXPECT_NEAR(up.position(), -16.5375, 1e-9);
}

TEST(VariableRateConverter, RefusesUnusableSteps) {
    for (double step : {0.0, -1.0, std::nan(""), HUGE_VAL, 1e-9, 1e9}) {
        VariableRateSamplerateConverter16 c(step);
        EXPECT_FALSE(c.isValid()) << step;
        int16_t in[64] = {}, out[64];
        int32_t n = -1;
        c.convert(in, 64, out, n);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(c.inputFramesFor(10), 0);
    }
}

TEST(VariableRateConverter, PhaseRoundsHalfAwayFromZero) {
    EXPECT_EQ(VariableRateSamplerateConverter16::phaseAt(0.9995), 512);
    EXPECT_EQ(VariableRateSamplerateConverter16::phaseAt(0.0), 0);
    EXPECT_EQ(VariableRateSamplerateConverter16::phaseAt(0.5 / 512), 1);
    EXPECT_EQ(VariableRateSamplerateConverter16::phaseAt(0.49 / 512), 0);
    EXPECT_EQ(VariableRateSamplerateConverter16::phaseAt(0.25), 128);
}

// With step 1 and phase 0 every output is the input delayed by the kernel's
// centre, so clipping and truncation show directly in the stream: a block
// of constants c yields c for each output centred inside it.
TEST(VariableRateConverter, ClipsAndTruncatesTowardZero) {
    // Step 0.5 puts every second output at phase 256, whose taps sum to
    // slightly more or less than 1, so constant input shows the rounding.
    VariableRateSamplerateConverter16 half(0.5);
    std::vector<int16_t> flat(400, 32767);
    auto out = run(half, flat);
    ASSERT_GT(out.size(), 200u);
    double sum256 = 0.0;
    for (int i = 0; i < 33; ++i) sum256 += row(256)[i];
    for (size_t k = 100; k < 200; ++k) {
        const double exact = (k % 2 == 0 ? 1.0 : sum256) * 32767.0;
        const int32_t expected = exact > 32767 ? 32767 : static_cast<int32_t>(exact);
        ASSERT_EQ(out[k], expected) << k;
    }
    // The 24-bit converter with large negative input saturates at its minimum.
    VariableRateSamplerateConverter24 half24(0.5);
    std::vector<Int24> low(400, Int24(-8388608));
    std::vector<Int24> out24(half24.maxOutputsFor(400));
    int32_t n = 0;
    half24.convert(low.data(), 400, out24.data(), n);
    ASSERT_GT(n, 200);
    for (int k = 100; k < 200; ++k) {
        const double exact = (k % 2 == 0 ? 1.0 : sum256) * -8388608.0;
        const int32_t expected = exact < -8388608 ? -8388608 : static_cast<int32_t>(exact);
        ASSERT_EQ(out24[k].toInt(), expected) << k;
    }
}

TEST(VariableRateConverter, ShortBlockOnlyExtendsThePendingOutputs) {
    VariableRateSamplerateConverter16 c(44100.0 / 48000.0);
    const int pendingBefore = c.pendingCount();
    const double positionBefore = c.position();
    std::vector<int16_t> in(10, 1000);
    EXPECT_TRUE(run(c, in).empty());
    // Outputs whose windows start in the block join the pending ones.
    EXPECT_GT(c.pendingCount(), pendingBefore);
    EXPECT_NEAR(c.position(), positionBefore - 10, 1e-9);
    // An empty block changes nothing.
    const int pending = c.pendingCount();
    EXPECT_TRUE(run(c, {}).empty());
    EXPECT_EQ(c.pendingCount(), pending);
    EXPECT_NEAR(c.position(), positionBefore - 10, 1e-9);
}

TEST(VariableRateConverter, FirstCallAfterPrimingRepeatsTheCentreSample) {
    VariableRateSamplerateConverter16 c(44100.0 / 48000.0);
    c.prime();
    std::vector<int16_t> in(256);
    for (int i = 0; i < 256; ++i) in[i] = static_cast<int16_t>(100 * i - 9000);
    auto out = run(c, in);
    // Pending outputs 18 to 34 start just before the block: phase 512 and
    // window start -1 put all their weight on x[16].
    ASSERT_GE(out.size(), 35u);
    for (int k = 18; k < 35; ++k) EXPECT_EQ(out[k], in[16]) << k;
    EXPECT_NE(out[17], in[16]);
}

TEST(VariableRateConverter, BlockEdgesChangeNoOutput) {
    // 20: the first windows end before the history, with nothing but silence.
    for (double step : {44100.0 / 48000.0, 48000.0 / 44100.0, 44100.0 / 96000.0, 2.0 / 3.0, 20.0, 1.0 / 50.0}) {
        for (bool primed : {false, true}) {
            for (bool portable : {false, true}) {
                expectBlockEdgesChangeNothing<VariableRateSamplerateConverter16, int16_t>(step, primed, portable, 32768);
                expectBlockEdgesChangeNothing<VariableRateSamplerateConverter24, Int24>(step, primed, portable, 8388608);
            }
        }
    }
}

TEST(VariableRateConverter, StepTwoWritesHalfABlockPerCall) {
    VariableRateSamplerateConverter16 c(2.0);
    std::vector<int16_t> in(256, 7);
    run(c, in);
    for (int call = 0; call < 5; ++call) EXPECT_EQ(run(c, in).size(), 128u) << call;
}

// Step 32000/48000 can leave 49 outputs pending at a block boundary, one
// more than ceil(32 / step) when computed naively; the stream must still
// lose none.
TEST(VariableRateConverter, PendingRoomHoldsEveryOutputAtBlockBoundaries) {
    const double step = 32000.0 / 48000.0;
    VariableRateSamplerateConverter16 c(step);
    EXPECT_GE(c.mostPending(), 49);
    std::vector<int16_t> in(64, 1);
    size_t total = 0;
    int64_t consumed = 0;
    int mostPending = 0;
    for (int block = 0; block < 3000; ++block) {
        in.resize(1 + (block * 37) % 64);
        total += run(c, in).size();
        consumed += in.size();
        if (c.pendingCount() > mostPending) mostPending = c.pendingCount();
        ASSERT_LE(c.pendingCount(), c.mostPending());
    }
    EXPECT_GE(mostPending, 48);
    const auto starts = reference::unprimedStarts(step, total + 100);
    EXPECT_EQ(total, reference::completeWithin(starts, consumed));
}

// The request the capture adapter makes: the fewest input samples that
// complete a given number of outputs, checked against replays of the same
// history with one sample less.
TEST(VariableRateConverter, InputFramesForIsTheFewestSamplesThatCompleteTheOutputs) {
    for (double step : {44100.0 / 48000.0, 48000.0 / 44100.0, 44100.0 / 96000.0, 2.0 / 3.0, 1.5, 20.0}) {
        for (bool primed : {false, true}) {
            std::vector<int32_t> history;
            auto replay = [&](int32_t last, size_t& made) {
                VariableRateSamplerateConverter16 c(step);
                if (primed) c.prime();
                for (int32_t n : history) run(c, std::vector<int16_t>(n, 3));
                const int32_t need = c.inputFramesFor(1 + int32_t(history.size() * 53) % 300);
                made = run(c, std::vector<int16_t>(last < 0 ? need : last, 3)).size();
                return need;
            };
            for (int round = 0; round < 12; ++round) {
                const int want = 1 + (round * 53) % 300;
                size_t made = 0;
                const int32_t need = replay(-1, made);
                ASSERT_GE(need, 1);
                ASSERT_GE(made, size_t(want)) << step << " " << round;
                if (round > 0) {
                    // Beyond the outputs owed, only those completing on the
                    // same input sample come out.
                    ASSERT_LE(made, want + std::ceil(1.0 / step) - 1) << step << " " << round;
                }
                size_t fewer = 0;
                replay(need - 1, fewer);
                ASSERT_LT(fewer, size_t(want)) << step << " " << round;
                history.push_back(need);
            }
        }
    }
}
