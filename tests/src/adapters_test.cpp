#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "src/adapter_factory.h"
#include "src/input_adapters.h"
#include "src/output_adapters.h"

namespace {

// A continuous capture signal: every packet continues where the last ended.
struct Tone {
    int64_t at = 0;
    void fill(int16_t* x, int32_t n) {
        for (int32_t i = 0; i < n; ++i, ++at) x[i] = static_cast<int16_t>(12000 * std::sin(at * 0.05));
    }
};

// Runs packets through a capture adapter, shortening packet `shortAt` by
// `missing` frames, and returns the host stream.
template <typename Adapter>
std::vector<int16_t> capture(Adapter& a, int packets, int shortAt = -1, int missing = 0) {
    Tone tone;
    std::vector<int16_t> stream, host(a.hostFrames());
    for (int p = 0; p < packets; ++p) {
        int32_t frames = a.hardwareFramesFor(a.hostFrames());
        if (p == shortAt) frames -= missing;
        tone.fill(static_cast<int16_t*>(a.getInputBuffer()), frames);
        EXPECT_EQ(a.process(frames, host.data()), a.hostFrames());
        stream.insert(stream.end(), host.begin(), host.end());
    }
    return stream;
}

// A short packet costs exactly the host samples it could not make: the
// stream with it is the stream without it plus held samples at the gap.
template <typename Adapter>
void expectShortPacketOnlyInsertsHeldSamples(Adapter& whole, Adapter& gapped, int missing,
                                             uint64_t expectedPadding) {
    const int packets = 12, shortAt = 5;
    const auto a = capture(whole, packets);
    const uint64_t paddedBefore = whole.paddedSamples();
    const auto b = capture(gapped, packets, shortAt, missing);
    const uint64_t padded = gapped.paddedSamples() - paddedBefore;
    ASSERT_EQ(padded, expectedPadding);
    const size_t gapEnd = size_t(shortAt + 1) * whole.hostFrames();
    const size_t gap = gapEnd - padded;
    for (size_t k = 0; k < gap; ++k) ASSERT_NEAR(a[k], b[k], 1) << k;
    for (size_t k = gap; k < gapEnd; ++k) ASSERT_EQ(b[k], b[gap - 1]) << k;
    for (size_t k = gapEnd; k < b.size(); ++k) ASSERT_NEAR(a[k - padded], b[k], 1) << k;
    EXPECT_EQ(gapped.droppedSamples(), 0u);
}

}  // namespace

TEST(CaptureAdapters, VariableRateSizesFromRatioAndFrames) {
    int32_t h = 0;
    VariableRateInputSamplerateConversionAdapter16 a(44100.0 / 48000.0, h, 256);
    ASSERT_TRUE(a.isValid());
    EXPECT_EQ(h, 236);
    EXPECT_EQ(a.inputCapacity(), 236);
    EXPECT_EQ(a.carryCapacity(), 1);
    EXPECT_EQ(a.carryCount(), 0u);
    // 320 frames need 294 hardware frames exactly; the carry still needs room
    // for an output that completes together with the last one owed.
    VariableRateInputSamplerateConversionAdapter16 b(44100.0 / 48000.0, h, 320);
    EXPECT_EQ(h, 294);
    EXPECT_EQ(b.carryCapacity(), 1);
    VariableRateInputSamplerateConversionAdapter24 c(44100.0 / 96000.0, h, 128);
    EXPECT_EQ(h, 59);
    EXPECT_EQ(c.carryCapacity(), 2);
}

TEST(CaptureAdapters, IntegerUpAlternatesRequestsSoEveryPacketFillsTheHost) {
    int32_t h = 0;
    IntegerUpInputSamplerateConversionAdapter<int16_t> b(3, h, 256);
    EXPECT_EQ(h, 86);
    std::vector<int> requests;
    std::vector<int16_t> host(256);
    for (int p = 0; p < 6; ++p) {
        const int32_t r = b.hardwareFramesFor(256);
        requests.push_back(r);
        EXPECT_EQ(b.process(r, host.data()), 256);
    }
    // 86 + 85 + 85 hardware frames make 768 = 3 * 256 host frames.
    EXPECT_EQ(requests, (std::vector<int>{86, 85, 85, 86, 85, 85}));
    EXPECT_EQ(b.paddedSamples(), 0u);
}

TEST(CaptureAdapters, IntegerUpRepeatsSamplesAcrossPackets) {
    int32_t h = 0;
    IntegerUpInputSamplerateConversionAdapter<int16_t> a(3, h, 4);
    int16_t* in = static_cast<int16_t*>(a.getInputBuffer());
    int16_t host[4];
    ASSERT_EQ(a.hardwareFramesFor(4), 2);
    in[0] = 1;
    in[1] = 2;
    a.process(2, host);
    EXPECT_EQ(std::vector<int16_t>(host, host + 4), (std::vector<int16_t>{1, 1, 1, 2}));
    EXPECT_EQ(a.carryCount(), 2u);
    ASSERT_EQ(a.hardwareFramesFor(4), 1);
    in[0] = 3;
    a.process(1, host);
    EXPECT_EQ(std::vector<int16_t>(host, host + 4), (std::vector<int16_t>{2, 2, 3, 3}));
}

TEST(CaptureAdapters, IntegerDownAsksForLessWhileAGroupIsOpen) {
    int32_t h = 0;
    IntegerDownInputSamplerateConversionAdapter<int16_t> a(2, h, 256);
    EXPECT_EQ(h, 512);
    std::vector<int16_t> host(256);
    EXPECT_EQ(a.hardwareFramesFor(256), 512);
    // A short packet of 511 leaves one sample gathered and one host sample
    // held; the next request completes that group.
    for (int i = 0; i < 511; ++i) static_cast<int16_t*>(a.getInputBuffer())[i] = 100;
    EXPECT_EQ(a.process(511, host.data()), 256);
    EXPECT_EQ(a.paddedSamples(), 1u);
    EXPECT_EQ(host[255], 100);
    EXPECT_EQ(a.hardwareFramesFor(256), 511);
}

TEST(CaptureAdapters, ShortPacketCostsOnlyTheMissingSamples) {
    int32_t h = 0;
    {
        // 20 hardware samples less make about 21.8 host samples less.
        VariableRateInputSamplerateConversionAdapter16 c(44100.0 / 48000.0, h, 256);
        VariableRateInputSamplerateConversionAdapter16 d(44100.0 / 48000.0, h, 256);
        capture(c, 12);
        capture(d, 12, 5, 20);
        const uint64_t padded = d.paddedSamples() - c.paddedSamples();
        EXPECT_GE(padded, 21u);
        EXPECT_LE(padded, 23u);
        VariableRateInputSamplerateConversionAdapter16 e(44100.0 / 48000.0, h, 256);
        VariableRateInputSamplerateConversionAdapter16 f(44100.0 / 48000.0, h, 256);
        expectShortPacketOnlyInsertsHeldSamples(e, f, 20, padded);
    }
    {
        IntegerUpInputSamplerateConversionAdapter<int16_t> a(2, h, 256), b(2, h, 256);
        expectShortPacketOnlyInsertsHeldSamples(a, b, 7, 14);
    }
    {
        IntegerDownInputSamplerateConversionAdapter<int16_t> a(2, h, 256), b(2, h, 256);
        expectShortPacketOnlyInsertsHeldSamples(a, b, 8, 4);
    }
}

TEST(CaptureAdapters, ExcessSamplesStayWithinTheCarry) {
    int32_t h = 0;
    std::vector<int16_t> host(256);
    // A packet longer than asked, even longer than the input buffer: the
    // adapter takes at most its capacity; one such packet fits the carry at
    // this ratio, a run of them overflows it and the excess is dropped.
    VariableRateInputSamplerateConversionAdapter16 v(44100.0 / 48000.0, h, 256);
    capture(v, 3);
    EXPECT_EQ(v.process(h + 1000, host.data()), 256);
    EXPECT_EQ(v.droppedSamples(), 0u);
    for (int p = 0; p < 20; ++p) {
        EXPECT_EQ(v.process(h, host.data()), 256);
        EXPECT_LE(v.carryCount(), uint64_t(v.carryCapacity()));
    }
    EXPECT_GT(v.droppedSamples(), 10u);
    EXPECT_EQ(v.paddedSamples(), 0u);
    // Repeated samples can overshoot by more than a factor; the excess is
    // dropped and counted.
    IntegerUpInputSamplerateConversionAdapter<int16_t> up(3, h, 256);
    EXPECT_EQ(up.process(up.hardwareFramesFor(256), host.data()), 256);
    EXPECT_EQ(up.carryCount(), 2u);
    EXPECT_EQ(up.hardwareFramesFor(256), 85);
    EXPECT_EQ(up.process(86, host.data()), 256);
    EXPECT_EQ(up.carryCount(), 2u);
    EXPECT_EQ(up.droppedSamples(), 2u);
}

TEST(CaptureAdapters, FirstPacketOfATinyBufferIsPaddedInFrontWithSilence) {
    // At 44100 -> 96000 with 64 frames the primed outputs need more input
    // than one packet brings; the shortfall is silence before the stream.
    int32_t h = 0;
    VariableRateInputSamplerateConversionAdapter16 a(44100.0 / 96000.0, h, 64);
    ASSERT_EQ(h, 30);
    EXPECT_EQ(a.hardwareFramesFor(64), 30);
    for (int i = 0; i < 30; ++i) static_cast<int16_t*>(a.getInputBuffer())[i] = 5000;
    std::vector<int16_t> host(64, 1);
    EXPECT_EQ(a.process(30, host.data()), 64);
    const uint64_t padded = a.paddedSamples();
    ASSERT_GT(padded, 0u);
    for (uint64_t k = 0; k < padded; ++k) EXPECT_EQ(host[k], 0);
    for (int p = 0; p < 50; ++p) {
        const int32_t r = a.hardwareFramesFor(64);
        ASSERT_LE(r, h);
        EXPECT_EQ(a.process(r, host.data()), 64);
    }
    EXPECT_EQ(a.paddedSamples(), padded);
}

TEST(RenderAdapters, SizesAndOutputCounts) {
    int32_t h = 0;
    VariableRateOutputSamplerateConversionAdapter16 v(44100.0 / 48000.0, 256, h);
    EXPECT_EQ(h, 279);
    IntegerUpOutputSamplerateConversionAdapter<Int24> up(2, 256, h);
    EXPECT_EQ(h, 512);
    IntegerDownOutputSamplerateConversionAdapter<int16_t> down(3, 256, h);
    EXPECT_EQ(h, 86);
    std::vector<int16_t> in(256, 300);
    int32_t n = 0;
    int32_t total = 0;
    for (int p = 0; p < 3; ++p) {
        const int16_t* out = static_cast<const int16_t*>(down.process(in.data(), 256, n));
        EXPECT_TRUE(n == 85 || n == 86);
        EXPECT_EQ(out[0], 300);
        total += n;
    }
    EXPECT_EQ(total, 256);
    // More input than one host buffer is cut off rather than overrunning.
    std::vector<int16_t> big(1000, 1);
    v.process(big.data(), 1000, n);
    EXPECT_LE(n, 279);
}

TEST(AdapterFactory, PicksTheConverterLikeTheFilterTable) {
    auto p = planCaptureAdapter(44100, 88200.0);
    EXPECT_EQ(p.kind, SamplerateAdapterKind::IntegerUp);
    EXPECT_EQ(p.factor, 2);
    p = planCaptureAdapter(96000, 48000.0);
    EXPECT_EQ(p.kind, SamplerateAdapterKind::IntegerDown);
    EXPECT_EQ(p.factor, 2);
    p = planRenderAdapter(44100, 88200.0);
    EXPECT_EQ(p.kind, SamplerateAdapterKind::IntegerDown);
    p = planRenderAdapter(96000, 48000.0);
    EXPECT_EQ(p.kind, SamplerateAdapterKind::IntegerUp);
    p = planCaptureAdapter(44100, 48000.0);
    EXPECT_EQ(p.kind, SamplerateAdapterKind::VariableRate);
    EXPECT_DOUBLE_EQ(p.ratio, 44100.0 / 48000.0);
    p = planRenderAdapter(44100, 48000.0);
    EXPECT_DOUBLE_EQ(p.ratio, 48000.0 / 44100.0);
    // The host rate is compared truncated, converted exactly.
    EXPECT_EQ(planRenderAdapter(44100, 44100.7).kind, SamplerateAdapterKind::None);
    p = planCaptureAdapter(48000, 44100.5);
    EXPECT_DOUBLE_EQ(p.ratio, 48000 / 44100.5);
}

TEST(AdapterFactory, MakesAllChannelsOrNone) {
    InputSamplerateConverterIf* in[16];
    OutputSamplerateConverterIf* out[16];
    int32_t h = -1;
    EXPECT_EQ(createCaptureAdapters(44100, 48000.0, 16, 256, 4, in, h), SamplerateAdapterResult::Made);
    EXPECT_EQ(h, 236);
    for (int c = 0; c < 4; ++c) ASSERT_NE(in[c], nullptr);
    deleteAdapters(in, 4);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(in[c], nullptr);

    EXPECT_EQ(createRenderAdapters(44100, 44100.0, 24, 256, 8, out, h), SamplerateAdapterResult::NotNeeded);
    EXPECT_EQ(h, 256);
    EXPECT_EQ(createRenderAdapters(44100, 48000.0, 32, 256, 8, out, h), SamplerateAdapterResult::NotNeeded);
    EXPECT_EQ(out[0], nullptr);
    EXPECT_EQ(createRenderAdapters(44100, 96000.0, 24, 256, 8, out, h), SamplerateAdapterResult::Made);
    EXPECT_EQ(h, 118);  // ceil(256 / (96000 / 44100))
    deleteAdapters(out, 8);

    EXPECT_EQ(createCaptureAdapters(48000, 0.0, 16, 256, 2, in, h), SamplerateAdapterResult::Unsupported);
    EXPECT_EQ(createCaptureAdapters(48000, std::nan(""), 16, 256, 2, in, h), SamplerateAdapterResult::Unsupported);
    EXPECT_EQ(createRenderAdapters(48000, 44100.0, 16, 0, 2, out, h), SamplerateAdapterResult::Unsupported);
    EXPECT_EQ(in[0], nullptr);
    EXPECT_EQ(out[1], nullptr);
    EXPECT_EQ(h, 0);
}
