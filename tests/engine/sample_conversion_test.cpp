// Sample format conversion between host halves and interleaved packets,
// checked against a plain per-sample reference for every channel count and
// width pairing, plus the boundary values of each pairing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "base/int24.h"
#include "engine/sample_conversion.h"
#include "src/adapter_factory.h"

namespace {

int32_t readSample(const uint8_t* p, uint32_t bits) {
    uint32_t v = 0;
    for (uint32_t b = 0; b < bits / 8; ++b) v |= uint32_t(p[b]) << (8 * b);
    const uint32_t sign = 1u << (bits - 1);
    return bits == 32 ? static_cast<int32_t>(v) : static_cast<int32_t>((v ^ sign)) - static_cast<int32_t>(sign);
}

void writeSample(uint8_t* p, uint32_t bits, int32_t value) {
    for (uint32_t b = 0; b < bits / 8; ++b) p[b] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * b));
}

// The value of a `from`-bit sample at `to` bits: top-aligned when widened,
// upper bits (floor) when narrowed.
int32_t rescaleReference(int32_t value, uint32_t from, uint32_t to) {
    if (to >= from) return static_cast<int32_t>(static_cast<int64_t>(value) * (int64_t(1) << (to - from)));
    return static_cast<int32_t>(std::floor(static_cast<double>(value) / double(int64_t(1) << (from - to))));
}

struct HostChannels {
    HostChannels(uint32_t channels, uint32_t frames, uint32_t bits)
        : data(channels, std::vector<uint8_t>(2 * frames * bits / 8)), table(kHostBufferTableSize, nullptr) {}
    std::vector<std::vector<uint8_t>> data;  // both halves of a channel, half 1 behind half 0
    std::vector<void*> table;
};

class ConversionSweep : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ConversionSweep, RenderMatchesThePlainInterleaveForEveryWidthPairing) {
    const uint32_t channels = GetParam();
    std::mt19937 random(channels);
    for (uint32_t hostBits : {16u, 24u}) {
        for (uint32_t containerBits : {16u, 24u, 32u}) {
            for (uint32_t frames : {1u, 7u, 64u, 89u}) {
                HostChannels host(channels, frames, hostBits);
                const uint32_t hb = hostBits / 8;
                for (uint32_t c = 0; c < channels; ++c) {
                    for (uint8_t& byte : host.data[c]) byte = static_cast<uint8_t>(random());
                    // Every third channel has no host channel.
                    if (c % 3 != 2) {
                        host.table[2 * c] = host.data[c].data();
                        host.table[2 * c + 1] = host.data[c].data() + frames * hb;
                    }
                }
                std::vector<uint8_t> silence(frames * hb, 0);
                for (uint32_t half : {0u, 1u}) {
                    std::vector<uint8_t> packet(frames * channels * containerBits / 8 + 8, 0xEE);
                    RenderConversion job;
                    job.hostBuffers = host.table.data();
                    job.half = half;
                    job.channels = channels;
                    job.containerBits = containerBits;
                    job.hostBits = hostBits;
                    job.frames = frames;
                    job.silence = silence.data();
                    job.packet = packet.data();
                    job.packetFrames = frames;
                    ASSERT_EQ(convertRender(job), frames);
                    const uint32_t cb = containerBits / 8;
                    for (uint32_t f = 0; f < frames; ++f) {
                        for (uint32_t c = 0; c < channels; ++c) {
                            const int32_t in =
                                c % 3 == 2 ? 0 : readSample(&host.data[c][(half * frames + f) * hb], hostBits);
                            ASSERT_EQ(readSample(&packet[(f * channels + c) * cb], containerBits),
                                      rescaleReference(in, hostBits, containerBits))
                                << channels << "ch host " << hostBits << " container " << containerBits << " frame "
                                << f << " channel " << c;
                        }
                    }
                    for (size_t i = frames * channels * cb; i < packet.size(); ++i)
                        ASSERT_EQ(packet[i], 0xEE) << "wrote past the frames";
                }
            }
        }
    }
}

TEST_P(ConversionSweep, CaptureAddsThePlainDeinterleaveIntoTheAccumulators) {
    const uint32_t channels = GetParam();
    std::mt19937 random(100 + channels);
    for (uint32_t hostBits : {16u, 24u}) {
        for (uint32_t containerBits : {16u, 24u, 32u}) {
            for (uint32_t frames : {1u, 7u, 64u, 89u}) {
                const uint32_t cb = containerBits / 8;
                std::vector<uint8_t> packet(frames * channels * cb);
                for (uint8_t& byte : packet) byte = static_cast<uint8_t>(random());
                std::vector<std::vector<int32_t>> accumulators(channels, std::vector<int32_t>(frames));
                std::vector<std::vector<uint8_t>> staging(channels, std::vector<uint8_t>(frames * hostBits / 8));
                std::vector<void*> table(kHostBufferTableSize, nullptr), stagingTable(channels);
                for (uint32_t c = 0; c < channels; ++c) {
                    for (uint32_t f = 0; f < frames; ++f) accumulators[c][f] = static_cast<int32_t>(c * 1000 + f);
                    if (c % 3 != 1) table[2 * c + 1] = accumulators[c].data();
                    stagingTable[c] = staging[c].data();
                }
                CaptureConversion job;
                job.hostBuffers = table.data();
                job.half = 1;
                job.channels = channels;
                job.containerBits = containerBits;
                job.hostBits = hostBits;
                job.frames = frames;
                job.staging = stagingTable.data();
                job.packet = packet.data();
                job.capturedFrames = frames;
                ASSERT_EQ(convertCapture(job), frames);
                for (uint32_t c = 0; c < channels; ++c) {
                    for (uint32_t f = 0; f < frames; ++f) {
                        const int32_t sample = rescaleReference(
                            readSample(&packet[(f * channels + c) * cb], containerBits), containerBits, hostBits);
                        const int32_t base = static_cast<int32_t>(c * 1000 + f);
                        ASSERT_EQ(accumulators[c][f], c % 3 == 1 ? base : base + sample)
                            << channels << "ch host " << hostBits << " container " << containerBits << " frame "
                            << f << " channel " << c;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllChannelCounts, ConversionSweep, ::testing::Range(1u, kMaxUnitChannels + 1));

// One host channel per hardware channel, half 0 only.
struct RenderFixture {
    RenderFixture(uint32_t channels, uint32_t frames, uint32_t hostBits, uint32_t containerBits)
        : host(channels, std::vector<uint8_t>(frames * hostBits / 8)), table(kHostBufferTableSize, nullptr),
          silence(frames * hostBits / 8), packet(frames * channels * containerBits / 8 * 4) {
        for (uint32_t c = 0; c < channels; ++c) table[2 * c] = host[c].data();
        job.hostBuffers = table.data();
        job.channels = channels;
        job.containerBits = containerBits;
        job.hostBits = hostBits;
        job.frames = frames;
        job.silence = silence.data();
        job.packet = packet.data();
        job.packetFrames = frames * 4;
    }
    std::vector<std::vector<uint8_t>> host;
    std::vector<void*> table;
    std::vector<uint8_t> silence;
    std::vector<uint8_t> packet;
    RenderConversion job;
};

TEST(RenderConversion, TwentyFourBitHostSamplesKeepTheirUpperSixteenBitsInSixteenBitContainers) {
    RenderFixture r(2, 3, 24, 16);
    const int32_t values[] = {0x7FFFFF, 0x800000, 0xFFFFFF};
    for (uint32_t f = 0; f < 3; ++f) {
        const Int24 v(values[f]);
        std::memcpy(&r.host[0][f * 3], &v, 3);
        std::memcpy(&r.host[1][f * 3], &v, 3);
    }
    ASSERT_EQ(convertRender(r.job), 3u);
    const uint16_t expected[] = {0x7FFF, 0x8000, 0xFFFF};
    for (uint32_t f = 0; f < 3; ++f) {
        uint16_t left, right;
        std::memcpy(&left, &r.packet[f * 4], 2);
        std::memcpy(&right, &r.packet[f * 4 + 2], 2);
        EXPECT_EQ(left, expected[f]);
        EXPECT_EQ(right, expected[f]);
    }
}

TEST(RenderConversion, StereoTwentyFourBitsWithAnOddFrameCountIsThePlainThreeByteInterleave) {
    RenderFixture r(2, 5, 24, 24);
    for (uint32_t c = 0; c < 2; ++c)
        for (uint32_t i = 0; i < 15; ++i) r.host[c][i] = static_cast<uint8_t>(c * 100 + i + 1);
    ASSERT_EQ(convertRender(r.job), 5u);
    for (uint32_t f = 0; f < 5; ++f)
        for (uint32_t c = 0; c < 2; ++c)
            for (uint32_t b = 0; b < 3; ++b)
                EXPECT_EQ(r.packet[f * 6 + c * 3 + b], r.host[c][f * 3 + b]) << f << " " << c << " " << b;
}

TEST(RenderConversion, WithoutARoutineOrASilenceBlockNothingIsWritten) {
    RenderFixture r(2, 4, 16, 16);
    const std::vector<uint8_t> before = r.packet;
    RenderConversion job = r.job;
    job.channels = 0;
    EXPECT_EQ(convertRender(job), 0u);
    job = r.job;
    job.channels = kMaxUnitChannels + 1;
    EXPECT_EQ(convertRender(job), 0u);
    job = r.job;
    job.containerBits = 20;
    EXPECT_EQ(convertRender(job), 0u);
    job = r.job;
    job.hostBits = 32;
    EXPECT_EQ(convertRender(job), 0u);
    job = r.job;
    r.table[0] = nullptr;
    job.silence = nullptr;
    EXPECT_EQ(convertRender(job), 0u);
    EXPECT_EQ(r.packet, before);
}

TEST(RenderConversion, ThroughAdaptersThePacketHoldsWhatTheAdaptersMake) {
    // Two identical adapter sets: one drives the conversion, the other is
    // run by hand on the same input to give the expected samples.
    for (uint32_t hardware : {88200u, 22050u, 48000u}) {
        const uint32_t frames = 256;
        OutputSamplerateConverterIf* used[2];
        OutputSamplerateConverterIf* reference[2];
        int32_t hw = 0, hwRef = 0;
        ASSERT_EQ(createRenderAdapters(hardware, 44100.0, 16, frames, 2, used, hw), SamplerateAdapterResult::Made);
        ASSERT_EQ(createRenderAdapters(hardware, 44100.0, 16, frames, 2, reference, hwRef),
                  SamplerateAdapterResult::Made);
        RenderFixture r(2, frames, 16, 16);
        r.table[2] = nullptr;  // channel 1 plays silence through its adapter
        r.job.adapters = used;
        r.job.packetFrames = static_cast<uint32_t>(hw);
        for (int block = 0; block < 4; ++block) {
            for (uint32_t f = 0; f < frames; ++f) {
                const int16_t v = static_cast<int16_t>(8000 * std::sin((block * frames + f) * 0.05));
                std::memcpy(&r.host[0][f * 2], &v, 2);
            }
            const uint32_t written = convertRender(r.job);
            int32_t made0 = 0, made1 = 0;
            const int16_t* expected0 = static_cast<const int16_t*>(reference[0]->process(r.host[0].data(), frames, made0));
            const int16_t* expected1 = static_cast<const int16_t*>(reference[1]->process(r.silence.data(), frames, made1));
            ASSERT_EQ(written, static_cast<uint32_t>(made0)) << hardware;
            ASSERT_GT(written, 0u);
            for (uint32_t f = 0; f < written; ++f) {
                int16_t left, right;
                std::memcpy(&left, &r.packet[f * 4], 2);
                std::memcpy(&right, &r.packet[f * 4 + 2], 2);
                ASSERT_EQ(left, expected0[f]) << hardware << " block " << block << " frame " << f;
                ASSERT_EQ(right, 0);
                ASSERT_EQ(expected1[f], 0);
            }
        }
        deleteAdapters(used, 2);
        deleteAdapters(reference, 2);
    }
}

struct CaptureFixture {
    CaptureFixture(uint32_t channels, uint32_t frames, uint32_t hostBits, uint32_t containerBits)
        : packet(frames * channels * containerBits / 8), accumulators(channels, std::vector<int32_t>(frames, 0)),
          staging(channels, std::vector<uint8_t>(frames * hostBits / 8)), table(kHostBufferTableSize, nullptr),
          stagingTable(channels) {
        for (uint32_t c = 0; c < channels; ++c) {
            table[2 * c] = accumulators[c].data();
            stagingTable[c] = staging[c].data();
        }
        job.hostBuffers = table.data();
        job.channels = channels;
        job.containerBits = containerBits;
        job.hostBits = hostBits;
        job.frames = frames;
        job.staging = stagingTable.data();
        job.packet = packet.data();
        job.capturedFrames = frames;
    }
    std::vector<uint8_t> packet;
    std::vector<std::vector<int32_t>> accumulators;
    std::vector<std::vector<uint8_t>> staging;
    std::vector<void*> table;
    std::vector<void*> stagingTable;
    CaptureConversion job;
};

TEST(CaptureConversion, SixteenBitSamplesLandInTheUpperBitsOfTwentyFourBitHostSamples) {
    CaptureFixture c(2, 2, 24, 16);
    writeSample(&c.packet[0], 16, static_cast<int16_t>(0x8000));
    writeSample(&c.packet[2], 16, 0x0001);
    writeSample(&c.packet[4], 16, 0x7FFF);
    writeSample(&c.packet[6], 16, -1);
    ASSERT_EQ(convertCapture(c.job), 2u);
    EXPECT_EQ(c.accumulators[0][0], -8388608);
    EXPECT_EQ(c.accumulators[1][0], 0x100);
    EXPECT_EQ(c.accumulators[0][1], 0x7FFF00);
    EXPECT_EQ(c.accumulators[1][1], -256);
}

TEST(CaptureConversion, TwoUnitsOnOneHostInputAddIntoOneAccumulator) {
    CaptureFixture first(2, 4, 16, 16), second(4, 4, 16, 16);
    for (uint32_t f = 0; f < 4; ++f) {
        writeSample(&first.packet[f * 4], 16, 0x7FFF);
        writeSample(&second.packet[f * 8], 16, 0x7FFF);
    }
    second.table[0] = first.accumulators[0].data();
    ASSERT_EQ(convertCapture(first.job), 4u);
    ASSERT_EQ(convertCapture(second.job), 4u);
    for (uint32_t f = 0; f < 4; ++f) EXPECT_EQ(first.accumulators[0][f], 65534);
}

TEST(CaptureConversion, AnEmptyPacketAddsNothingAndTooManyFramesAreCut) {
    CaptureFixture c(2, 4, 16, 16);
    for (uint8_t& b : c.packet) b = 0x11;
    c.job.capturedFrames = 0;
    EXPECT_EQ(convertCapture(c.job), 0u);
    for (auto& acc : c.accumulators)
        for (int32_t v : acc) EXPECT_EQ(v, 0);
    // A device claiming more frames than a host buffer holds adds one buffer.
    std::vector<uint8_t> big(64 * 4, 0x11);
    c.job.packet = big.data();
    c.job.capturedFrames = 64;
    EXPECT_EQ(convertCapture(c.job), 4u);
    for (auto& acc : c.accumulators)
        for (int32_t v : acc) EXPECT_EQ(v, 0x1111);
}

TEST(CaptureConversion, ThroughAdaptersTheAccumulatorsGetWhatTheAdaptersMake) {
    for (uint32_t hardware : {88200u, 22050u, 48000u}) {
        const uint32_t frames = 128;
        InputSamplerateConverterIf* used[2];
        InputSamplerateConverterIf* reference[2];
        int32_t hw = 0, hwRef = 0;
        ASSERT_EQ(createCaptureAdapters(hardware, 44100.0, 24, frames, 2, used, hw), SamplerateAdapterResult::Made);
        ASSERT_EQ(createCaptureAdapters(hardware, 44100.0, 24, frames, 2, reference, hwRef),
                  SamplerateAdapterResult::Made);
        CaptureFixture c(2, frames, 24, 24);
        c.packet.resize(size_t(hw) * 6);
        c.job.packet = c.packet.data();
        c.job.adapters = used;
        uint64_t position = 0;
        std::vector<uint8_t> expected(frames * 3);
        for (int block = 0; block < 5; ++block) {
            const uint32_t request = static_cast<uint32_t>(used[0]->hardwareFramesFor(frames));
            ASSERT_EQ(request, static_cast<uint32_t>(reference[0]->hardwareFramesFor(frames)));
            ASSERT_LE(request, static_cast<uint32_t>(hw));
            uint8_t* refIn = static_cast<uint8_t*>(reference[0]->getInputBuffer());
            for (uint32_t f = 0; f < request; ++f, ++position) {
                const int32_t v = static_cast<int32_t>(3000000 * std::sin(position * 0.03));
                writeSample(&c.packet[f * 6], 24, v);
                writeSample(&c.packet[f * 6 + 3], 24, -v);
                writeSample(&refIn[f * 3], 24, v);
            }
            for (auto& acc : c.accumulators) std::fill(acc.begin(), acc.end(), 0);
            c.job.capturedFrames = request;
            ASSERT_EQ(convertCapture(c.job), request);
            ASSERT_EQ(reference[0]->process(static_cast<int32_t>(request), expected.data()),
                      static_cast<int32_t>(frames));
            for (uint32_t f = 0; f < frames; ++f)
                ASSERT_EQ(c.accumulators[0][f], readSample(&expected[f * 3], 24))
                    << hardware << " block " << block << " frame " << f;
        }
        deleteAdapters(used, 2);
        deleteAdapters(reference, 2);
    }
}

}  // namespace
