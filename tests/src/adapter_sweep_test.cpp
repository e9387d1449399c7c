// Every rate pair and buffer size the drivers can be asked for: a capture
// adapter must read no more than its packets hold, hand the host exactly one
// buffer of real samples per packet (filling in only at the very start of a
// stream, when a buffer is shorter than the converter's start-up) and keep
// its carry within bounds; a render adapter must stay within its packets
// and keep pace with the host.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "src/adapter_factory.h"
#include "src/input_adapters.h"
#include "src/output_adapters.h"

namespace {

struct Stats {
    int configurations = 0;
    int paddedAtStart = 0;
    ~Stats() {
        if (std::getenv("SRC_SWEEP_REPORT"))
            printf("%d configurations, %d with silence filled in at the start\n", configurations,
                   paddedAtStart);
    }
};

void checkCapture(uint32_t hardwareRate, double hostRate, int32_t frames, int packets, Stats& stats) {
    InputSamplerateConverterIf* adapter = nullptr;
    int32_t h = 0;
    ASSERT_EQ(createCaptureAdapters(hardwareRate, hostRate, 16, frames, 1, &adapter, h),
              SamplerateAdapterResult::Made)
        << hardwareRate << " " << hostRate << " " << frames;
    auto* a = static_cast<InputSamplerateConversionAdapterAbs<int16_t>*>(adapter);
    std::vector<int16_t> host(frames);
    int16_t* in = static_cast<int16_t*>(a->getInputBuffer());
    // Filling in is allowed only as silence before the first real sample.
    uint64_t paddedAtStart = 0;
    bool started = false;
    for (int p = 0; p < packets; ++p) {
        const int32_t r = a->hardwareFramesFor(frames);
        ASSERT_GE(r, 1) << hardwareRate << " " << hostRate << " " << frames << " packet " << p;
        ASSERT_LE(r, h) << hardwareRate << " " << hostRate << " " << frames << " packet " << p;
        for (int32_t i = 0; i < r; ++i) in[i] = static_cast<int16_t>((p * 131 + i * 7) & 0x3FFF);
        ASSERT_EQ(a->process(r, host.data()), frames);
        ASSERT_LE(a->carryCount(), uint64_t(a->carryCapacity()));
        if (!started) {
            paddedAtStart = a->paddedSamples();
            started = paddedAtStart < uint64_t(p + 1) * frames;
        }
        ASSERT_EQ(a->paddedSamples(), paddedAtStart)
            << hardwareRate << " " << hostRate << " " << frames << ": short in packet " << p;
    }
    ASSERT_EQ(a->droppedSamples(), 0u) << hardwareRate << " " << hostRate << " " << frames;
    ++stats.configurations;
    if (paddedAtStart) ++stats.paddedAtStart;
    delete adapter;
}

void checkRender(uint32_t hardwareRate, double hostRate, int32_t frames, int packets, Stats& stats) {
    OutputSamplerateConverterIf* adapter = nullptr;
    int32_t h = 0;
    ASSERT_EQ(createRenderAdapters(hardwareRate, hostRate, 16, frames, 1, &adapter, h),
              SamplerateAdapterResult::Made)
        << hardwareRate << " " << hostRate << " " << frames;
    std::vector<int16_t> host(frames, 1000);
    int64_t total = 0;
    for (int p = 0; p < packets; ++p) {
        int32_t n = -1;
        adapter->process(host.data(), frames, n);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, h) << hardwareRate << " " << hostRate << " " << frames << " packet " << p;
        total += n;
    }
    // Pace: the hardware frames made follow the host frames given, apart
    // from the converter's start-up and the outputs still pending.
    const double expected = double(packets) * frames * hardwareRate / hostRate;
    ASSERT_NEAR(double(total), expected, 32.0 * hardwareRate / hostRate + 2.0)
        << hardwareRate << " " << hostRate << " " << frames;
    ++stats.configurations;
    delete adapter;
}

void sweepPair(uint32_t hardwareRate, double hostRate, Stats& stats) {
    for (int32_t frames = 32; frames <= 2048; frames += frames < 600 ? 1 : 7) {
        checkCapture(hardwareRate, hostRate, frames, 6, stats);
        checkRender(hardwareRate, hostRate, frames, 6, stats);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

}  // namespace

TEST(AdapterSweep, NamedRatePairsAtEveryBufferSize) {
    Stats stats;
    const std::pair<uint32_t, double> pairs[] = {{44100, 48000.0}, {48000, 44100.0}, {44100, 96000.0},
                                                 {96000, 44100.0}, {32000, 48000.0}, {48000, 32000.0}};
    for (const auto& pair : pairs) {
        sweepPair(pair.first, pair.second, stats);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(stats.configurations, 6 * 2 * 700);
}

// The sizes the carry of a naively sized adapter overflows at, over many packets.
TEST(AdapterSweep, LongRunsAtTheAwkwardSizes) {
    Stats stats;
    for (int32_t frames : {50, 62, 89, 128, 256, 320}) {
        checkCapture(44100, 48000.0, frames, 3000, stats);
        checkCapture(44100, 96000.0, frames, 3000, stats);
        checkCapture(48000, 44100.0, frames, 3000, stats);
    }
    EXPECT_EQ(stats.configurations, 18);
}

// Host rates of both brands over their buffer lengths (ORLO: 1 ms and 2 to
// 40 ms in 0.1 ms steps; VEXA: 44100 Hz, 2 to 40 ms), against every
// hardware rate the format search can pick.
TEST(AdapterSweep, BrandRatesAndBufferLengths) {
    Stats stats;
    const uint32_t hardwareRates[] = {48000, 44100, 96000, 22050, 11025};
    const double hostRates[] = {8000.0,  11025.0, 16000.0,  22050.0,  32000.0,  44100.0,  47999.5,
                                48000.0, 64000.0, 88200.0,  96000.0,  176400.0, 192000.0, 300000.0,
                                352800.0, 384000.0};
    const int lengthStride = 9;
    for (uint32_t hw : hardwareRates) {
        for (double host : hostRates) {
            if (uint32_t(host) == hw) continue;
            for (int step = 0; step <= 381; step += step == 0 ? 1 : lengthStride) {
                const double length = step == 0 ? 0.001 : (step - 1) * 0.0001 + 0.002;
                const int32_t frames = static_cast<int32_t>(std::ceil(host * length));
                checkCapture(hw, host, frames, 4, stats);
                checkRender(hw, host, frames, 4, stats);
                if (HasFatalFailure()) return;
            }
        }
    }
    for (uint32_t hw : hardwareRates) {
        if (hw == 44100) continue;
        for (int ms = 2; ms <= 40; ++ms) {
            const int32_t frames = static_cast<int32_t>(std::ceil(44100.0 * (ms * 0.001)));
            checkCapture(hw, 44100.0, frames, 8, stats);
            checkRender(hw, 44100.0, frames, 8, stats);
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GT(stats.configurations, 1000);
}
