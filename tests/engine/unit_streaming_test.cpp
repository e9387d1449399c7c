// Units streaming through simulated controllers on a manual clock: what a
// render unit plays is exactly what the host wrote (or what the sample-rate
// adapters make of it), and a capture unit adds exactly the controller's
// signal (or the adapters' output) into the host's accumulators.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "base/int24.h"
#include "sim/capture_signal.h"
#include "src/adapter_factory.h"
#include "unit_fixture.h"

using namespace enginetest;

namespace {

constexpr uint32_t kChannels = 4;
constexpr uint32_t kFrames = 64;

int16_t hostSample(uint64_t frame, uint32_t channel) {
    return static_cast<int16_t>(static_cast<int32_t>((frame * 37 + channel * 5000) % 65536) - 32768);
}

void fillHalf(HostHalves& host, uint32_t half, uint64_t firstFrame) {
    for (uint32_t c = 0; c < host.data.size(); ++c)
        for (uint32_t f = 0; f < host.frames; ++f) {
            const int16_t v = hostSample(firstFrame + f, c);
            std::memcpy(host.half(c, half) + f * 2, &v, 2);
        }
}

class UnitStreaming : public UnitTest {
protected:
    // A QELM unit's render and capture sides with their buffers made.
    struct BothSides {
        KsAudioRenderFilter* render = nullptr;
        KsAudioCaptureFilter* capture = nullptr;
        HostHalves host{kChannels, kFrames, 16};
        Accumulators acc{kChannels, kFrames};
    };
    bool openBoth(BothSides& both) {
        SimUnitRouting& qelm = plugQelm();
        both.render = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
        both.capture = keep(KsAudioCaptureFilter::instantiate(&qelm, 16));
        return both.render != nullptr && both.capture != nullptr &&
               both.render->createBuffers(both.host.table.data(), kFrames, 16) == ASE_OK &&
               both.capture->createBuffers(both.acc.table.data(), kFrames, 16) == ASE_OK;
    }

    // Streams `blocks` host buffers through a render unit at `hostRate`.
    // Expected packet bytes come from adapters made alongside the unit's
    // (none when the rates agree), run on the same host halves.
    void streamRender(double hostRate, uint32_t blocks) {
        SimUnitRouting& qelm = plugQelm();
        qelm.outputs[3] = kUnitChannelUnrouted;
        KsAudioRenderFilter* unit = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
        ASSERT_NE(unit, nullptr);
        ASSERT_EQ(unit->setSampleRate(hostRate), ASE_OK);
        HostHalves host(kChannels, kFrames, 16);
        host.table[6] = host.table[7] = nullptr;  // channel 3 carries no host channel
        ASSERT_EQ(unit->createBuffers(host.table.data(), kFrames, 16), ASE_OK);

        OutputSamplerateConverterIf* reference[kChannels];
        int32_t hardwareFrames = 0;
        const SamplerateAdapterResult made =
            createRenderAdapters(44100, hostRate, 16, kFrames, kChannels, reference, hardwareFrames);
        ASSERT_EQ(made == SamplerateAdapterResult::Made, unit->hasConverters());
        ASSERT_EQ(static_cast<uint32_t>(hardwareFrames), unit->getHardwareFrames());
        const std::vector<uint8_t> silence(kFrames * 2, 0);

        std::vector<uint8_t> expected;
        std::deque<uint32_t> inFlight;
        auto submit = [&](uint32_t block) {
            const uint32_t half = block % 2;
            fillHalf(host, half, uint64_t(block) * kFrames);
            const void* out[kChannels];
            int32_t n = static_cast<int32_t>(kFrames);
            for (uint32_t c = 0; c < kChannels; ++c) {
                const void* in = c == 3 ? silence.data() : host.half(c, half);
                out[c] = made == SamplerateAdapterResult::Made ? reference[c]->process(in, kFrames, n) : in;
            }
            for (int32_t f = 0; f < n; ++f)
                for (uint32_t c = 0; c < kChannels; ++c)
                    expected.insert(expected.end(), static_cast<const uint8_t*>(out[c]) + f * 2,
                                    static_cast<const uint8_t*>(out[c]) + f * 2 + 2);
            ASSERT_EQ(unit->writeData(half), 0);
            ASSERT_EQ(unit->getPacket(half).header.DataUsed, static_cast<uint32_t>(n) * kChannels * 2);
            inFlight.push_back(static_cast<uint32_t>(n));
        };
        submit(0);
        submit(1);
        ASSERT_EQ(unit->moveToState(KSSTATE_RUN), S_OK);
        for (uint32_t block = 2; block < blocks; ++block) {
            const uint32_t half = block % 2;
            ASSERT_GT(inFlight.front(), 0u);
            bus.advanceFrames(inFlight.front() - 1);
            ASSERT_FALSE(signalled(unit->getEvent(half))) << block;
            bus.advanceFrames(1);
            ASSERT_TRUE(signalled(unit->getEvent(half))) << block;
            inFlight.pop_front();
            submit(block);
        }
        const size_t inFlightBytes = (inFlight[0] + inFlight[1]) * kChannels * 2;
        const std::vector<uint8_t> rendered = controllers[0]->renderedBytes();
        ASSERT_EQ(rendered.size() + inFlightBytes, expected.size());
        for (size_t i = 0; i < rendered.size(); i += 2)
            ASSERT_EQ(rendered[i] | rendered[i + 1] << 8, expected[i] | expected[i + 1] << 8)
                << "frame " << i / (kChannels * 2) << " channel " << (i / 2) % kChannels;
        EXPECT_EQ(controllers[0]->renderStats().framesLost, 0u);
        if (made == SamplerateAdapterResult::Made) deleteAdapters(reference, kChannels);
        ASSERT_EQ(unit->moveToState(KSSTATE_STOP), S_OK);
    }

    // Streams `blocks` capture packets; the expected host samples are the
    // controller's signal, through adapters made alongside the unit's.
    void streamCapture(double hostRate, uint32_t blocks) {
        SimUnitRouting& qelm = plugQelm();
        KsAudioCaptureFilter* unit = keep(KsAudioCaptureFilter::instantiate(&qelm, 16));
        ASSERT_NE(unit, nullptr);
        ASSERT_EQ(unit->setSampleRate(hostRate), ASE_OK);
        Accumulators acc(kChannels, kFrames);
        acc.table[4] = acc.table[5] = nullptr;  // channel 2 is not requested
        ASSERT_EQ(unit->createBuffers(acc.table.data(), kFrames, 16), ASE_OK);

        InputSamplerateConverterIf* reference[kChannels];
        int32_t hardwareFrames = 0;
        const bool converted = createCaptureAdapters(44100, hostRate, 16, kFrames, kChannels, reference,
                                                     hardwareFrames) == SamplerateAdapterResult::Made;
        ASSERT_EQ(converted, unit->hasConverters());
        auto nextRequest = [&]() {
            return converted ? static_cast<uint32_t>(reference[0]->hardwareFramesFor(kFrames)) : kFrames;
        };
        std::deque<uint32_t> requests;
        for (uint32_t half = 0; half < 2; ++half) {
            ASSERT_EQ(unit->readData(half), 0);
            requests.push_back(nextRequest());
            ASSERT_EQ(unit->getPacket(half).header.FrameExtent, requests.back() * kChannels * 2);
        }
        ASSERT_EQ(unit->moveToState(KSSTATE_RUN), S_OK);
        uint64_t position = 0;
        std::vector<int16_t> expected(kFrames);
        for (uint32_t block = 0; block < blocks; ++block) {
            const uint32_t half = block % 2;
            const uint32_t request = requests.front();
            requests.pop_front();
            bus.advanceFrames(request);
            ASSERT_TRUE(signalled(unit->getEvent(half))) << block;
            acc.clear();
            ASSERT_EQ(unit->readData(half), 0);
            for (uint32_t c = 0; c < kChannels; ++c) {
                uint32_t count = request;
                if (converted) {
                    int16_t* in = static_cast<int16_t*>(reference[c]->getInputBuffer());
                    for (uint32_t f = 0; f < request; ++f)
                        in[f] = static_cast<int16_t>(sim::captureSignalSample(position + f, c, 16, 16));
                    count = static_cast<uint32_t>(reference[c]->process(static_cast<int32_t>(request), expected.data()));
                } else {
                    for (uint32_t f = 0; f < request; ++f)
                        expected[f] = static_cast<int16_t>(sim::captureSignalSample(position + f, c, 16, 16));
                }
                ASSERT_EQ(count, kFrames);
                for (uint32_t f = 0; f < kFrames; ++f)
                    ASSERT_EQ(acc.sums[c][f], c == 2 ? 0 : expected[f])
                        << "block " << block << " channel " << c << " frame " << f;
            }
            position += request;
            // The unit asks for its next read after converting this one.
            requests.push_back(nextRequest());
            ASSERT_EQ(unit->getPacket(half).header.FrameExtent, requests.back() * kChannels * 2) << block;
        }
        EXPECT_EQ(controllers[0]->captureStats().framesLost, 0u);
        if (converted) deleteAdapters(reference, kChannels);
    }
};

TEST_F(UnitStreaming, RenderPlaysExactlyWhatTheHostWrote) { streamRender(44100.0, 40); }
TEST_F(UnitStreaming, RenderConvertsAnIntegerRatioDown) { streamRender(88200.0, 40); }
TEST_F(UnitStreaming, RenderConvertsAnIntegerRatioUp) { streamRender(22050.0, 40); }
TEST_F(UnitStreaming, RenderConvertsAVariableRatio) { streamRender(48000.0, 60); }

TEST_F(UnitStreaming, CaptureDeliversTheControllersSignal) { streamCapture(44100.0, 40); }
TEST_F(UnitStreaming, CaptureConvertsAnIntegerRatioUp) { streamCapture(88200.0, 40); }
TEST_F(UnitStreaming, CaptureConvertsAnIntegerRatioDown) { streamCapture(22050.0, 40); }
TEST_F(UnitStreaming, CaptureConvertsAVariableRatio) { streamCapture(48000.0, 60); }

TEST_F(UnitStreaming, OnlyTheFirstSubmissionCarriesPrerollAndStrayFlagsAreCleared) {
    BothSides both;
    ASSERT_TRUE(openBoth(both));
    KsAudioRenderFilter* render = both.render;
    KsAudioCaptureFilter* capture = both.capture;
    Accumulators& acc = both.acc;
    auto& renderHeader = const_cast<KSSTREAM_HEADER&>(render->getPacket(0).header);
    auto& captureHeader = const_cast<KSSTREAM_HEADER&>(capture->getPacket(0).header);
    ASSERT_EQ(render->writeData(0), 0);
    EXPECT_EQ(renderHeader.OptionsFlags, KSSTREAM_HEADER_OPTIONSF_PREROLL);
    ASSERT_EQ(capture->readData(0), 0);
    EXPECT_EQ(captureHeader.OptionsFlags, 0u);
    ASSERT_EQ(render->moveToState(KSSTATE_RUN), S_OK);
    ASSERT_EQ(capture->moveToState(KSSTATE_RUN), S_OK);
    bus.advanceFrames(kFrames);
    ASSERT_TRUE(signalled(render->getEvent(0)));
    ASSERT_TRUE(signalled(capture->getEvent(0)));

    // As a device might return them: preroll with discontinuity, or a flag
    // nobody asked for.
    renderHeader.OptionsFlags = KSSTREAM_HEADER_OPTIONSF_PREROLL | KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
    ASSERT_EQ(render->writeData(0), 0);
    EXPECT_EQ(renderHeader.OptionsFlags, 0u);
    bus.advanceFrames(kFrames);  // packet 1 was never submitted; only 0 is queued
    ASSERT_TRUE(signalled(render->getEvent(0)));
    renderHeader.OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
    ASSERT_EQ(render->writeData(0), 0);
    EXPECT_EQ(renderHeader.OptionsFlags, 0u);

    // A discontinuity on a capture packet is only reported: its data is added.
    captureHeader.OptionsFlags = KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
    ASSERT_EQ(capture->readData(0), 0);
    EXPECT_EQ(captureHeader.OptionsFlags, 0u);
    EXPECT_EQ(acc.sums[1][5], sim::captureSignalSample(5, 1, 16, 16));
}

// A completed packet is looked at before it is used: one the device failed,
// or a capture it handed back empty, is never taken for audio; it makes the
// unit leave the stream. An event set while the packet is still the
// device's is no completion.
TEST_F(UnitStreaming, PacketsTheDeviceFailedOrReturnedEmptyAreNeverTakenForAudio) {
    BothSides both;
    ASSERT_TRUE(openBoth(both));
    KsAudioRenderFilter* render = both.render;
    KsAudioCaptureFilter* capture = both.capture;
    Accumulators& acc = both.acc;
    sim::Faults faults;
    faults.emptyReads = 1;
    controllers[0]->setFaults(faults);
    for (uint32_t half = 0; half < 2; ++half) {
        ASSERT_EQ(render->writeData(half), 0);
        ASSERT_EQ(capture->readData(half), 0);
    }
    ASSERT_EQ(render->moveToState(KSSTATE_RUN), S_OK);
    ASSERT_EQ(capture->moveToState(KSSTATE_RUN), S_OK);

    // Woken while its packet is still queued: nothing moves, nothing is sent again.
    os::setEvent(render->getEvent(1));
    EXPECT_EQ(render->writeData(1), S_FALSE);
    bus.advanceFrames(kFrames);
    ASSERT_TRUE(signalled(capture->getEvent(0)));
    acc.clear();
    EXPECT_LT(capture->readData(0), 0) << "an empty capture";
    faults.failPackets = 2;
    controllers[0]->setFaults(faults);
    bus.advanceFrames(kFrames);
    ASSERT_TRUE(signalled(capture->getEvent(1)));
    EXPECT_LT(capture->readData(1), 0) << "a failed capture";
    for (auto& sums : acc.sums)
        for (int32_t v : sums) ASSERT_EQ(v, 0);
    ASSERT_TRUE(signalled(render->getEvent(0)));
    EXPECT_EQ(render->writeData(0), 0) << "played before the fault";
    ASSERT_TRUE(signalled(render->getEvent(1)));
    EXPECT_LT(render->writeData(1), 0) << "a failed write";
    EXPECT_EQ(controllers[0]->renderStats().packetsFailed, 1u);
    EXPECT_EQ(controllers[0]->captureStats().packetsFailed, 1u);
    // Nothing was sent again after a failure: only the render packet 0 is queued.
    ASSERT_EQ(render->moveToState(KSSTATE_STOP), S_OK);
    ASSERT_EQ(capture->moveToState(KSSTATE_STOP), S_OK);
    EXPECT_EQ(controllers[0]->renderStats().packetsFailed, 2u);
    EXPECT_EQ(controllers[0]->captureStats().packetsFailed, 1u);
}

TEST_F(UnitStreaming, TwentyFourBitHostsStreamThroughSixteenAndTwentyFourBitContainers) {
    // The second brand's units: 24-bit samples copied into 24-bit containers.
    SimUnitRouting& dalto = plug(sim::Model::Dalto, {{0, 2, 48000, 24}});
    KsAudioRenderFilter* unit = keep(KsAudioRenderFilter::instantiate(&dalto, 24));
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(unit->getFormat().Format.wBitsPerSample, 24);
    ASSERT_EQ(unit->setSampleRate(48000.0), ASE_OK);
    HostHalves host(2, kFrames, 24);
    for (uint32_t c = 0; c < 2; ++c)
        for (uint32_t i = 0; i < 2 * kFrames; ++i) {
            const Int24 v(static_cast<int32_t>(i * 65537 + c * 777) - 0x400000);
            std::memcpy(host.data[c].data() + i * 3, &v, 3);
        }
    ASSERT_EQ(unit->createBuffers(host.table.data(), kFrames, 24), ASE_OK);
    ASSERT_EQ(unit->writeData(0), 0);
    ASSERT_EQ(unit->writeData(1), 0);
    ASSERT_EQ(unit->moveToState(KSSTATE_RUN), S_OK);
    bus.advanceFrames(2 * kFrames);
    const std::vector<uint8_t> rendered = controllers[0]->renderedBytes();
    ASSERT_EQ(rendered.size(), 2 * kFrames * 6);
    for (uint32_t i = 0; i < 2 * kFrames; ++i)
        for (uint32_t c = 0; c < 2; ++c)
            ASSERT_EQ(std::memcmp(&rendered[i * 6 + c * 3], host.data[c].data() + i * 3, 3), 0) << i;
    ASSERT_EQ(unit->moveToState(KSSTATE_STOP), S_OK);
    ASSERT_EQ(unit->disposeBuffers(), ASE_OK);

    // A unit with 16-bit hardware only keeps the upper 16 bits of each sample.
    SimUnitRouting& fenro = plug(sim::Model::Fenro, {{0, 2, 48000, 16}});
    KsAudioRenderFilter* narrow = keep(KsAudioRenderFilter::instantiate(&fenro, 24));
    ASSERT_NE(narrow, nullptr);
    ASSERT_EQ(narrow->setSampleRate(48000.0), ASE_OK);
    ASSERT_EQ(narrow->createBuffers(host.table.data(), kFrames, 24), ASE_OK);
    ASSERT_EQ(narrow->writeData(0), 0);
    ASSERT_EQ(narrow->moveToState(KSSTATE_RUN), S_OK);
    bus.advanceFrames(kFrames);
    const std::vector<uint8_t> narrowed = controllers[1]->renderedBytes();
    ASSERT_EQ(narrowed.size(), kFrames * 4);
    for (uint32_t f = 0; f < kFrames; ++f)
        for (uint32_t c = 0; c < 2; ++c) {
            Int24 v;
            std::memcpy(&v, host.data[c].data() + f * 3, 3);
            const int16_t got = static_cast<int16_t>(narrowed[f * 4 + c * 2] | narrowed[f * 4 + c * 2 + 1] << 8);
            ASSERT_EQ(got, static_cast<int16_t>(v.toInt() >> 8)) << f;
        }
    ASSERT_EQ(narrow->moveToState(KSSTATE_STOP), S_OK);
}

}  // namespace
