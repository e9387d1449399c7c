// Converters and adapters a clock-drift corrector steers: a step that moves
// between blocks, a start in the middle of a stream that ran unconverted,
// the bounds at the extremes of the spread, and where the block boundary
// lies on the host's time line.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "src/input_adapters.h"
#include "src/output_adapters.h"
#include "src/variable_rate_converter.h"
#include "tests/src/reference_resampler.h"

namespace {

constexpr double kSpread = 0.005;
constexpr int64_t kOne = reference::kOne;

std::vector<int16_t> noisyTone(size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-3000, 3000);
    std::vector<int16_t> x(length);
    for (size_t i = 0; i < length; ++i)
        x[i] = static_cast<int16_t>(std::lround(20000.0 * std::sin(double(i) * 0.0713)) + noise(random));
    return x;
}

// A distinct value for every sample: any lost, repeated or moved sample shows.
std::vector<int16_t> ramp(size_t length) {
    std::vector<int16_t> x(length);
    for (size_t i = 0; i < length; ++i) x[i] = static_cast<int16_t>((i * 7) % 30011 - 15000);
    return x;
}

// Steps move between blocks by up to the spread, as a corrector moves them.
TEST(SteeredConverter, OutputsFollowTheStepInForceAndChannelsStayInLockstep) {
    for (const double nominal : {1.0, 44100.0 / 48000.0, 48000.0 / 44100.0}) {
        const size_t length = 96000;
        const std::vector<int16_t> left = noisyTone(length, 3), right = noisyTone(length, 4);
        std::vector<int32_t> leftValues(left.begin(), left.end());
        VariableRateSamplerateConverter16 a(nominal, kSpread), b(nominal, kSpread);
        std::mt19937 random(5);
        std::uniform_real_distribution<double> wobble(-kSpread, kSpread);
        std::uniform_int_distribution<int> blockSize(0, 300);
        std::vector<int16_t> outA, outB;
        // The window start of output `first` and the step of the outputs
        // after it, at each change.
        struct Change {
            size_t first;
            int64_t start;
            int64_t step;
        };
        std::vector<Change> changes;
        size_t at = 0;
        bool firstBlock = true;
        while (at < length) {
            int n = firstBlock ? 100 : blockSize(random);
            n = static_cast<int>(std::min<size_t>(n, length - at));
            std::vector<int16_t> blockA(a.maxOutputsFor(n) + 1), blockB(b.maxOutputsFor(n) + 1);
            int32_t madeA = -1, madeB = -1;
            a.convert(left.data() + at, n, blockA.data(), madeA);
            b.convert(right.data() + at, n, blockB.data(), madeB);
            ASSERT_EQ(madeA, madeB);
            ASSERT_LE(madeA, a.maxOutputsFor(n));
            outA.insert(outA.end(), blockA.begin(), blockA.begin() + madeA);
            outB.insert(outB.end(), blockB.begin(), blockB.begin() + madeB);
            at += n;
            if (firstBlock && nominal != 1.0) {
                // The unprimed start's outputs follow the nominal step.
                const auto starts = reference::unprimedStarts(nominal, outA.size() + 1);
                for (size_t k = 0; k < outA.size(); ++k)
                    ASSERT_EQ(outA[k], reference::evaluate(leftValues, starts[k], -32768, 32767)) << k;
            }
            firstBlock = false;
            const double step = nominal * (1.0 + wobble(random));
            ASSERT_TRUE(a.setStep(step));
            ASSERT_TRUE(b.setStep(step));
            ASSERT_EQ(a.fixedPosition(), b.fixedPosition());
            ASSERT_EQ(a.pendingCount(), b.pendingCount());
            changes.push_back({outA.size(), int64_t(at) * kOne + a.fixedPosition(), a.fixedStep()});
        }
        // Every output after the first block against the direct evaluation
        // at the window start its step put it: one unit apart at most, where
        // the sums' rounding differs (see streaming_reference_test.cpp).
        size_t change = 0, offByOne = 0;
        for (size_t k = changes.front().first; k < outA.size(); ++k) {
            while (change + 1 < changes.size() && changes[change + 1].first <= k) ++change;
            const Change& c = changes[change];
            const int64_t start = c.start + int64_t(k - c.first) * c.step;
            const int32_t want = reference::evaluate(leftValues, start, -32768, 32767);
            if (outA[k] != want) {
                ++offByOne;
                ASSERT_LE(std::abs(outA[k] - want), 1) << nominal << " output " << k;
            }
        }
        EXPECT_LT(offByOne * 10000, outA.size()) << nominal;
    }
}

TEST(SteeredConverter, StepsStayWithinTheSpreadAndBoundsHoldAtItsEdges) {
    VariableRateSamplerateConverter16 fixed(1.0);
    EXPECT_TRUE(fixed.setStep(1.0));
    EXPECT_FALSE(fixed.setStep(1.0001)) << "no spread, no steering";
    VariableRateSamplerateConverter16 steered(1.0, kSpread);
    EXPECT_TRUE(steered.setStep(1.0 + kSpread));
    EXPECT_TRUE(steered.setStep(1.0 - kSpread));
    EXPECT_FALSE(steered.setStep(1.0 + 1.01 * kSpread));
    EXPECT_FALSE(steered.setStep(1.0 - 1.01 * kSpread));
    EXPECT_FALSE(steered.setStep(std::nan("")));
    EXPECT_EQ(steered.step(), 1.0 - kSpread) << "a refused step changes nothing";
    EXPECT_FALSE(VariableRateSamplerateConverter16(1.0, 0.2).isValid()) << "beyond the largest spread";
    EXPECT_GT(steered.maxOutputsFor(89), fixed.maxOutputsFor(89));

    // At the smallest step every block makes the most it can; the bound holds.
    const std::vector<int16_t> x = noisyTone(89 * 400, 9);
    std::vector<int16_t> out(steered.maxOutputsFor(89));
    for (size_t at = 0; at < x.size(); at += 89) {
        int32_t made = -1;
        steered.convert(x.data() + at, 89, out.data(), made);
        ASSERT_LE(made, steered.maxOutputsFor(89));
        ASSERT_LE(steered.pendingCount(), steered.mostPending());
    }
}

// A render stream that ran unconverted goes on through a started adapter
// sample for sample while the step stays 1; once steered, each output is
// the input at the position the steps took it to.
TEST(SteeredRenderAdapter, AStartContinuesTheStreamAndSteeringMovesItSmoothly) {
    constexpr int32_t kFrames = 89;
    int32_t hardwareFrames = 0;
    VariableRateOutputSamplerateConversionAdapter16 adapter(1.0, kFrames, hardwareFrames, kSpread);
    ASSERT_TRUE(adapter.isValid());
    EXPECT_EQ(hardwareFrames, static_cast<int32_t>(std::ceil(kFrames / (1.0 - kSpread))) + 1);
    const std::vector<int16_t> x = ramp(kFrames * 200);
    adapter.startAtNextBlock();
    std::vector<int16_t> played;
    for (int block = 0; block < 100; ++block) {
        int32_t made = -1;
        const int16_t* out =
            static_cast<const int16_t*>(adapter.process(x.data() + block * kFrames, kFrames, made));
        ASSERT_EQ(made, block == 0 ? kFrames - 16 : kFrames) << "the start runs the boundary ahead by 16";
        played.insert(played.end(), out, out + made);
        // The boundary runs 16 frames early, and the host frames play 16
        // frames late against packets that end where these do.
        EXPECT_DOUBLE_EQ(adapter.boundaryPosition(), 0.0);
    }
    for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], x[i]) << i;

    // Steered to 0.1 % faster host time per hardware frame: the outputs of a
    // slow tone trace it at the positions the steps reach.
    const double step = 1.001;
    ASSERT_TRUE(adapter.steerTo(step));
    std::vector<int16_t> tone(kFrames * 200);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(std::lround(20000.0 * std::sin(i * 0.01)));
    double position = 100 * kFrames - 16.0;  // the centre of the next output, in input samples
    double worst = 0.0;
    for (int block = 100; block < 200; ++block) {
        int32_t made = -1;
        const int16_t* out = static_cast<const int16_t*>(adapter.process(tone.data() + block * kFrames, kFrames, made));
        ASSERT_LE(made, hardwareFrames);
        for (int32_t k = 0; k < made; ++k, position += step)
            if (block > 101) worst = std::max(worst, std::fabs(out[k] - 20000.0 * std::sin(position * 0.01)));
        EXPECT_NEAR(adapter.boundaryPosition(), position + 16 - (block + 1) * kFrames, 1e-6);
    }
    EXPECT_LT(worst, 20.0) << "the interpolation is good to about -67 dB at low frequencies";
}

// What the capture filter does with two packets in flight: the request for
// packet k + 2 is made once packet k is converted. A stream that ran
// unconverted is started with a request for the start; with the step moving
// at every packet no host frame is ever made up or dropped.
TEST(SteeredCaptureAdapter, AStartContinuesTheStreamAndNothingIsPaddedWhileSteered) {
    constexpr int32_t kFrames = 89;
    for (const double nominal : {1.0, 44100.0 / 48000.0}) {
        int32_t capacity = 0;
        VariableRateInputSamplerateConversionAdapter16 adapter(nominal, capacity, kFrames, kSpread);
        ASSERT_TRUE(adapter.isValid());
        const bool fromBypass = nominal == 1.0;
        const std::vector<int16_t> x = ramp(kFrames * 30000);
        std::vector<int16_t> host;
        std::vector<int16_t> out(kFrames);
        enum Mode { Bypass, Start, Converted };
        Mode mode[2] = {fromBypass ? Bypass : Converted, fromBypass ? Bypass : Converted};
        int32_t request[2] = {kFrames, kFrames};
        if (!fromBypass) request[0] = request[1] = adapter.hardwareFramesFor(kFrames);
        std::mt19937 random(17);
        std::uniform_real_distribution<double> wobble(-1e-4, 1e-4);
        double step = nominal;
        size_t at = 0;
        for (int packet = 0; packet < 20000; ++packet) {
            const int slot = packet % 2;
            ASSERT_LE(request[slot], capacity) << packet;
            if (mode[slot] == Bypass) {
                host.insert(host.end(), x.begin() + at, x.begin() + at + kFrames);
            } else {
                if (mode[slot] == Start) adapter.startAtNextBlock();
                std::copy(x.begin() + at, x.begin() + at + request[slot], static_cast<int16_t*>(adapter.getInputBuffer()));
                ASSERT_EQ(adapter.process(request[slot], out.data()), kFrames);
                host.insert(host.end(), out.begin(), out.end());
            }
            at += request[slot];
            // The engine starts the conversion after packet 10 and steers it
            // from packet 100 on, a random walk within the spread.
            const bool started = !fromBypass || packet >= 10;
            if (started && packet >= 100) {
                step = std::min(nominal * (1 + kSpread), std::max(nominal * (1 - kSpread), step * (1 + wobble(random))));
                ASSERT_TRUE(adapter.steerTo(step));
            }
            if (!started) {
                request[slot] = kFrames;
            } else if (mode[1 - slot] == Bypass && mode[slot] == Bypass) {
                mode[slot] = Start;
                request[slot] = adapter.hardwareFramesForStart(kFrames);
            } else {
                mode[slot] = Converted;
                request[slot] = adapter.hardwareFramesFor(kFrames);
            }
            if (fromBypass && packet == 99) {
                // Started at step 1: the host stream is the hardware's, sample for sample.
                for (size_t i = 0; i < host.size(); ++i) ASSERT_EQ(host[i], x[i]) << i;
                EXPECT_NEAR(adapter.boundaryPosition(), 0.0, 1e-9);
            }
        }
        EXPECT_EQ(adapter.droppedSamples(), 0u) << nominal;
        const uint64_t startUp = fromBypass ? 0 : adapter.paddedSamples();
        EXPECT_EQ(adapter.paddedSamples(), startUp) << nominal;
        EXPECT_LE(adapter.carryCount(), uint64_t(adapter.carryCapacity()));
    }
}

}  // namespace
