// Units against simulated controllers: the pin trial, the hardware format
// search, rate changes with their fall-back, packet layout and KS states.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

#include "base/heap.h"
#include "engine/hardware_format.h"
#include "sim/capture_signal.h"
#include "unit_fixture.h"

using namespace enginetest;

namespace {

// Records every format the search asks about.
class RecordingRenderFilter : public KsAudioRenderFilter {
public:
    static RecordingRenderFilter* open(UnitRoutingIf* routing) {
        WAVEFORMATEXTENSIBLE format;
        UnitOpenFailure failure;
        CKsAudPin* pin = openPin(routing, &format, &failure);
        if (pin == nullptr) return nullptr;
        HRESULT status = E_FAIL;
        auto* filter = new RecordingRenderFilter(routing, pin, format, &status);
        EXPECT_EQ(status, S_OK);
        return filter;
    }
    bool supportsFormat(const WAVEFORMATEXTENSIBLE& format) override {
        asked.push_back({format.Format.nSamplesPerSec, format.Format.wBitsPerSample, format.Samples.wValidBitsPerSample});
        if (refuseAll) return false;
        EXPECT_EQ(format.Format.nBlockAlign, format.Format.nChannels * format.Format.wBitsPerSample / 8);
        EXPECT_EQ(format.Format.nAvgBytesPerSec, format.Format.nBlockAlign * format.Format.nSamplesPerSec);
        return KsAudioRenderFilter::supportsFormat(format);
    }
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> asked;  // rate, container, valid bits
    bool refuseAll = false;

private:
    RecordingRenderFilter(UnitRoutingIf* routing, CKsAudPin* pin, const WAVEFORMATEXTENSIBLE& format,
                          HRESULT* status)
        : KsAudioRenderFilter(routing, routing->getRenderFilter(), pin, format, 16, status) {}
};

// Every layout the search asks about at each rate: 32-bit containers first
// (full, then 24 valid bits), then 24, then 16.
std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> allWidths(std::initializer_list<uint32_t> rates) {
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> result;
    for (uint32_t rate : rates)
        for (SampleWidth w : kSearchWidths) result.emplace_back(rate, w.container, w.valid);
    return result;
}

class KsAudioFilterTest : public UnitTest {};

TEST_F(KsAudioFilterTest, QelmUnitsOpenTheirLayoutAsExtensiblePcmWithTheFirstSpeakerMask) {
    SimUnitRouting& four = plugQelm(sim::QelmLayout::FourFour);
    SimUnitRouting& eight = plugQelm(sim::QelmLayout::EightTwo);
    struct Case {
        KsAudioFilter* unit;
        uint16_t channels;
        uint32_t mask;
    } cases[] = {
        {keep(KsAudioRenderFilter::instantiate(&four, 16)), 4, 0x603},
        {keep(KsAudioCaptureFilter::instantiate(&four, 16)), 4, 0x603},
        {keep(KsAudioRenderFilter::instantiate(&eight, 16)), 8, 0x6F3},
        {keep(KsAudioCaptureFilter::instantiate(&eight, 16)), 2, 0x3},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.unit, nullptr);
        const WAVEFORMATEXTENSIBLE& f = c.unit->getFormat();
        EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
        EXPECT_EQ(c.unit->getChannels(), c.channels);
        EXPECT_EQ(f.Format.nSamplesPerSec, 44100u);
        EXPECT_EQ(f.Format.wBitsPerSample, 16);
        EXPECT_EQ(f.Samples.wValidBitsPerSample, 16);
        EXPECT_EQ(f.dwChannelMask, c.mask);
        EXPECT_EQ(f.Format.cbSize, 22);
        EXPECT_EQ(c.unit->getState(), KSSTATE_STOP);
        EXPECT_EQ(c.unit->getHostSampleRate(), 0.0);
    }
    EXPECT_FALSE(cases[0].unit->isInput());
    EXPECT_TRUE(cases[1].unit->isInput());
    EXPECT_EQ(controllers[0]->openPins() + controllers[1]->openPins(), 4u);
}

TEST_F(KsAudioFilterTest, InstantiateFailsWithoutAFilterOrAFormatTheHardwareTakes) {
    SimUnitRouting& dalto = plug(sim::Model::Dalto, daltoFormats());
    // Render only: no capture channels in any format.
    EXPECT_EQ(KsAudioCaptureFilter::instantiate(&dalto, 16), nullptr);
    SimUnitRouting& wrong = plug(sim::Model::Qelm, {{4, 4, 48000, 16}, {3, 3, 44100, 16}, {4, 4, 44100, 20}});
    EXPECT_EQ(KsAudioRenderFilter::instantiate(&wrong, 16), nullptr);
    EXPECT_EQ(KsAudioRenderFilter::instantiate(nullptr, 16), nullptr);
    SimUnitRouting& unplugged = plugQelm();
    bus.unplug(controllers.back());
    UnitOpenFailure failure = UnitOpenFailure::None;
    EXPECT_EQ(KsAudioRenderFilter::instantiate(&unplugged, 16, &failure), nullptr);
    EXPECT_EQ(failure, UnitOpenFailure::NoFilter);
    EXPECT_EQ(KsAudioRenderFilter::instantiate(&wrong, 16, &failure), nullptr);
    EXPECT_EQ(failure, UnitOpenFailure::NoFormat);

    // Another program holds the pins: said so at once, no format tried.
    sim::ControllerConfig held;
    held.model = sim::Model::Qelm;
    held.faults.inUse = true;
    SimUnitRouting& busy = plug(held, qelmFormats(sim::QelmLayout::FourFour));
    EXPECT_EQ(KsAudioCaptureFilter::instantiate(&busy, 16, &failure), nullptr);
    EXPECT_EQ(failure, UnitOpenFailure::InUse);
    controllers.back()->setFaults(sim::Faults());
    EXPECT_NE(keep(KsAudioCaptureFilter::instantiate(&busy, 16, &failure)), nullptr);
    EXPECT_EQ(failure, UnitOpenFailure::None);
}

TEST_F(KsAudioFilterTest, TheSearchTriesIntegerRatiosFirstAndWidersContainersFirst) {
    // Hardware of 44100 to 48000 Hz: 88200 runs it at 44100.
    SimUnitRouting& dalto = plug(sim::Model::Dalto, daltoFormats());
    std::unique_ptr<RecordingRenderFilter> unit(RecordingRenderFilter::open(&dalto));
    ASSERT_TRUE(unit);
    ASSERT_EQ(unit->setSampleRate(88200.0), ASE_OK);
    EXPECT_EQ(unit->asked, allWidths({88200, 96000, 44100}));
    // The ranges admit 24 valid bits in 32 too; the pin opens with 24 in 24.
    EXPECT_EQ(unit->getFormat().Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(unit->getFormat().Format.wBitsPerSample, 24);
    EXPECT_EQ(unit->getHostSampleRate(), 88200.0);

    // Hardware of 48000 Hz only: 32000 walks 96000 before 48000.
    SimUnitRouting& fenro = plug(sim::Model::Fenro, {{0, 2, 48000, 16}});
    std::unique_ptr<RecordingRenderFilter> single(RecordingRenderFilter::open(&fenro));
    ASSERT_TRUE(single);
    ASSERT_EQ(single->setSampleRate(32000.0), ASE_OK);
    EXPECT_EQ(single->asked, allWidths({32000, 96000, 48000}));
    EXPECT_EQ(single->getFormat().Format.nSamplesPerSec, 48000u);

    // Nothing fits: every candidate is asked and the pin stays as it was.
    SimUnitRouting& qelm = plugQelm();
    std::unique_ptr<RecordingRenderFilter> fixed(RecordingRenderFilter::open(&qelm));
    ASSERT_TRUE(fixed);
    const WAVEFORMATEXTENSIBLE before = fixed->getFormat();
    CKsAudPin* pin = fixed->getPin();
    fixed->refuseAll = true;
    ASSERT_EQ(fixed->setSampleRate(12345.0), ASE_OK);
    EXPECT_EQ(fixed->asked.size(), 6u * kMaxSearchWidths);
    EXPECT_EQ(fixed->asked.back(), std::make_tuple(11025u, 16u, 16u));
    EXPECT_TRUE(sameWaveFormat(fixed->getFormat(), before));
    EXPECT_EQ(fixed->getPin(), pin);
    EXPECT_EQ(fixed->getHostSampleRate(), 12345.0);
}

// What USB audio class devices take: the extensible form for every channel
// count (a device may want its default speaker mask or none), 24 valid bits
// in 32-bit containers, and ranges that publish valid bits.
TEST_F(KsAudioFilterTest, FormatsTheUsbClassDriverTakes) {
    sim::ControllerConfig padded;
    padded.model = sim::Model::Dalto;
    padded.renderRanges = {{2, 24, 44100, 48000, 32}, {2, 16, 44100, 48000}};
    padded.faults.extensibleOnly = true;
    SimUnitRouting& dalto = plug(padded, daltoFormats());
    KsAudioRenderFilter* wide = keep(KsAudioRenderFilter::instantiate(&dalto, 16));
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide->getFormat().Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(wide->getFormat().Format.wBitsPerSample, 32);
    EXPECT_EQ(wide->getFormat().Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(wide->getFormat().Format.nSamplesPerSec, 48000u);
    // The rate search finds the same container at another rate.
    ASSERT_EQ(wide->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(wide->getFormat().Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(wide->getFormat().Samples.wValidBitsPerSample, 24);
    // And streams host samples left-justified in the container.
    HostHalves host(2, 64, 16);
    const int16_t sample = -1234;
    std::memcpy(host.half(1, 0) + 10, &sample, 2);
    ASSERT_EQ(wide->createBuffers(host.table.data(), 64, 16), ASE_OK);
    ASSERT_EQ(wide->writeData(0), S_OK);
    ASSERT_EQ(wide->moveToState(KSSTATE_RUN), S_OK);
    bus.advanceFrames(64);
    const std::vector<uint8_t> rendered = controllers[0]->renderedBytes();
    ASSERT_EQ(rendered.size(), 64u * 8);
    EXPECT_EQ(sim::readContainerSample(rendered.data() + 5 * 8 + 4, 32), int32_t(sample) * 65536);
    ASSERT_EQ(wide->moveToState(KSSTATE_STOP), S_OK);

    // Three channels, which no speaker layout names: the device takes mask 0.
    sim::ControllerConfig odd;
    odd.model = sim::Model::Qelm;
    odd.renderRanges = {{3, 16, 44100, 44100}};
    odd.faults.extensibleOnly = true;
    odd.faults.channelMask = 0;
    SimUnitRouting& three = plug(odd, {{0, 3, 44100, 16}});
    KsAudioRenderFilter* unit = keep(KsAudioRenderFilter::instantiate(&three, 16));
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->getFormat().Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(unit->getFormat().dwChannelMask, 0u);
    // A stereo device that wants its default mask still gets it first.
    sim::ControllerConfig stereo;
    stereo.model = sim::Model::Dalto;
    stereo.faults.channelMask = 0x3;
    SimUnitRouting& two = plug(stereo, daltoFormats());
    KsAudioRenderFilter* first = keep(KsAudioRenderFilter::instantiate(&two, 16));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getFormat().dwChannelMask, 0x3u);
}

TEST_F(KsAudioFilterTest, ARateChangeReopensThePinAndFallsBackToTheOldFormat) {
    SimUnitRouting& dalto = plug(sim::Model::Dalto, daltoFormats());
    KsAudioRenderFilter* unit = keep(KsAudioRenderFilter::instantiate(&dalto, 24));
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(unit->getFormat().Format.nSamplesPerSec, 48000u);
    ASSERT_EQ(unit->setSampleRate(48000.0), ASE_OK);
    CKsAudPin* pin = unit->getPin();
    // The same rate again touches nothing.
    sim::Faults faults;
    faults.failPinCreate = sim::Faults::kAlways;
    controllers[0]->setFaults(faults);
    EXPECT_EQ(unit->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(unit->getPin(), pin);

    controllers[0]->setFaults(sim::Faults());
    ASSERT_EQ(unit->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(unit->getFormat().Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(unit->getFormat().Format.wBitsPerSample, 24);
    EXPECT_EQ(controllers[0]->openPins(), 1u);

    // Every new format fails (for each of the three layouts the ranges admit
    // at 48000 Hz the claimed pin, then the walk over all render pins): the
    // old one is reopened and the rate stored.
    faults.failPinCreate = 6;
    controllers[0]->setFaults(faults);
    ASSERT_EQ(unit->setSampleRate(96000.0), ASE_OK);
    EXPECT_NE(unit->getPin(), nullptr);
    EXPECT_EQ(unit->getFormat().Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(unit->getHostSampleRate(), 96000.0);
    EXPECT_EQ(controllers[0]->openPins(), 1u);

    // Neither reopens: the unit is left without a pin.
    faults.failPinCreate = sim::Faults::kAlways;
    controllers[0]->setFaults(faults);
    EXPECT_EQ(unit->setSampleRate(48000.0), ASE_HWMalfunction);
    EXPECT_EQ(unit->getPin(), nullptr);
    EXPECT_EQ(unit->getHostSampleRate(), 96000.0);
    EXPECT_EQ(unit->canSampleRate(48000.0), ASE_NotPresent);
    EXPECT_EQ(unit->setSampleRate(44100.0), ASE_NotPresent);
    EXPECT_EQ(controllers[0]->openPins(), 0u);
}

TEST_F(KsAudioFilterTest, RatesThatAreNotPositiveFiniteNumbersAreRefusedBeforeAnySearch) {
    SimUnitRouting& dalto = plug(sim::Model::Dalto, daltoFormats());
    std::unique_ptr<RecordingRenderFilter> unit(RecordingRenderFilter::open(&dalto));
    ASSERT_TRUE(unit);
    for (double rate : {0.0, -1.0, 0.5, std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), 1e12}) {
        EXPECT_EQ(unit->canSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(unit->setSampleRate(rate), ASE_NoClock) << rate;
    }
    EXPECT_TRUE(unit->asked.empty());
    EXPECT_EQ(unit->getHostSampleRate(), 0.0);
    EXPECT_EQ(unit->canSampleRate(12345.0), ASE_OK);
}

TEST_F(KsAudioFilterTest, ARateChangeIsRefusedWhileBuffersExist) {
    SimUnitRouting& qelm = plugQelm();
    KsAudioRenderFilter* unit = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(unit->setSampleRate(44100.0), ASE_OK);
    HostHalves host(4, 64, 16);
    ASSERT_EQ(unit->createBuffers(host.table.data(), 64, 16), ASE_OK);
    EXPECT_EQ(unit->setSampleRate(48000.0), ASE_InvalidMode);
    EXPECT_EQ(unit->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(unit->createBuffers(host.table.data(), 64, 16), ASE_InvalidMode);
    ASSERT_EQ(unit->disposeBuffers(), ASE_OK);
    EXPECT_EQ(unit->setSampleRate(48000.0), ASE_OK);
}

TEST_F(KsAudioFilterTest, BuffersHoldTwoAdjacentPacketsWithPrerollAndTheirOwnEvents) {
    SimUnitRouting& qelm = plugQelm();
    KsAudioRenderFilter* unit = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(unit->setSampleRate(44100.0), ASE_OK);
    HostHalves host(4, 100, 16);
    host.table[7] = nullptr;
    ASSERT_EQ(unit->createBuffers(host.table.data(), 100, 16), ASE_OK);
    EXPECT_EQ(unit->getBufferFrames(), 100u);
    EXPECT_EQ(unit->getHardwareFrames(), 100u);
    EXPECT_FALSE(unit->hasConverters());
    const uint32_t bytes = 100 * 4 * 2;
    for (uint32_t i = 0; i < 2; ++i) {
        const StreamPacket& p = unit->getPacket(i);
        EXPECT_EQ(p.header.Size, sizeof(KSSTREAM_HEADER));
        EXPECT_EQ(p.header.PresentationTime.Numerator, 1u);
        EXPECT_EQ(p.header.PresentationTime.Denominator, 1u);
        EXPECT_EQ(p.header.PresentationTime.Time, 0);
        EXPECT_EQ(p.header.Duration, 0);
        EXPECT_EQ(p.header.TypeSpecificFlags, 0u);
        EXPECT_EQ(p.header.FrameExtent, bytes);
        EXPECT_EQ(p.header.DataUsed, bytes);
        EXPECT_EQ(p.header.OptionsFlags, KSSTREAM_HEADER_OPTIONSF_PREROLL);
        EXPECT_EQ(p.overlapped.hEvent, unit->getEvent(i));
        EXPECT_NE(unit->getEvent(i), nullptr);
    }
    EXPECT_NE(unit->getEvent(0), unit->getEvent(1));
    EXPECT_EQ(static_cast<uint8_t*>(unit->getPacket(1).header.Data),
              static_cast<uint8_t*>(unit->getPacket(0).header.Data) + bytes);
    for (uint32_t e = 0; e < kHostBufferTableSize; ++e) EXPECT_EQ(unit->getHostBuffer(e), host.table[e]);

    ASSERT_EQ(unit->disposeBuffers(), ASE_OK);
    EXPECT_EQ(unit->getBufferFrames(), 0u);
    EXPECT_EQ(unit->getHostBuffer(0), nullptr);
}

TEST_F(KsAudioFilterTest, BufferCreationRefusesBadArgumentsAndReportsMemoryShortage) {
    SimUnitRouting& qelm = plugQelm();
    KsAudioCaptureFilter* unit = keep(KsAudioCaptureFilter::instantiate(&qelm, 16));
    ASSERT_NE(unit, nullptr);
    Accumulators acc(4, 64);
    EXPECT_EQ(unit->createBuffers(static_cast<void* const*>(nullptr), 64, 16), ASE_InvalidParameter);
    EXPECT_EQ(unit->createBuffers(acc.table.data(), 0, 16), ASE_InvalidParameter);
    EXPECT_EQ(unit->createBuffers(acc.table.data(), 64, 32), ASE_InvalidParameter);
    EXPECT_EQ(unit->createBuffers(acc.table.data(), 64, 8), ASE_InvalidParameter);
    for (int64_t successes : {0, 1}) {
        heap::failReallocationsAfter(successes);
        EXPECT_EQ(unit->createBuffers(acc.table.data(), 64, 16), ASE_NoMemory) << successes;
        heap::failReallocationsAfter(heap::kNever);
        EXPECT_EQ(unit->getBufferFrames(), 0u);
    }
    EXPECT_EQ(unit->createBuffers(acc.table.data(), 64, 16), ASE_OK);
}

TEST_F(KsAudioFilterTest, TheFilterProvidedFormCarvesHostHalvesInTheHardwareWidth) {
    SimUnitRouting& qelm = plugQelm(sim::QelmLayout::EightTwo);
    KsAudioRenderFilter* render = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
    KsAudioCaptureFilter* capture = keep(KsAudioCaptureFilter::instantiate(&qelm, 16));
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    auto info = [](ASIOBool isInput, int32_t channel) { return ASIOBufferInfo{isInput, channel, {nullptr, nullptr}}; };
    const std::vector<std::vector<ASIOBufferInfo>> invalid = {
        {info(0, 1), info(0, 1)}, {info(0, -1)}, {info(0, 8)}, {info(1, 0)},
        std::vector<ASIOBufferInfo>(9, info(0, 0))};
    for (auto records : invalid) {
        EXPECT_EQ(render->createBuffers(records.data(), static_cast<int32_t>(records.size()), 64),
                  ASE_InvalidParameter);
        for (const ASIOBufferInfo& r : records) EXPECT_EQ(r.buffers[0], nullptr);
    }
    EXPECT_EQ(render->getBufferFrames(), 0u);

    ASIOBufferInfo records[] = {info(0, 5), info(0, 0)};
    ASSERT_EQ(render->createBuffers(records, 2, 64), ASE_OK);
    uint8_t* base = static_cast<uint8_t*>(records[0].buffers[0]);
    EXPECT_EQ(records[0].buffers[1], base + 128);
    EXPECT_EQ(records[1].buffers[0], base + 256);
    EXPECT_EQ(records[1].buffers[1], base + 384);
    EXPECT_EQ(render->getHostBuffer(10), records[0].buffers[0]);
    EXPECT_EQ(render->getHostBuffer(11), records[0].buffers[1]);
    EXPECT_EQ(render->getHostBuffer(0), records[1].buffers[0]);
    EXPECT_EQ(render->getHostBuffer(2), nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(render->getPacket(0).header.Data), base + 512);

    ASIOBufferInfo in[] = {info(0, 0)};
    EXPECT_EQ(capture->createBuffers(in, 1, 64), ASE_NoMemory);
}

TEST_F(KsAudioFilterTest, StatesAreSteppedOneAtATimeAndAFailedStepStopsThere) {
    SimUnitRouting& qelm = plugQelm();
    KsAudioRenderFilter* unit = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->moveToState(KSSTATE_RUN), S_OK);
    EXPECT_EQ(unit->getState(), KSSTATE_RUN);
    EXPECT_EQ(controllers[0]->pinState(false), KSSTATE_RUN);
    EXPECT_EQ(unit->moveToState(KSSTATE_STOP), S_OK);
    EXPECT_EQ(controllers[0]->pinState(false), KSSTATE_STOP);

    sim::Faults faults;
    faults.failStateChange = 1;
    controllers[0]->setFaults(faults);
    EXPECT_LT(unit->moveToState(KSSTATE_PAUSE), 0);
    EXPECT_EQ(unit->getState(), KSSTATE_STOP);
    EXPECT_EQ(unit->moveToState(KSSTATE_PAUSE), S_OK);
    faults.failStateChange = 1;
    controllers[0]->setFaults(faults);
    EXPECT_LT(unit->moveToState(KSSTATE_RUN), 0);
    EXPECT_EQ(unit->getState(), KSSTATE_PAUSE);
    EXPECT_EQ(unit->moveToState(KSSTATE_RUN), S_OK);
    EXPECT_EQ(unit->moveToState(static_cast<KSSTATE>(7)), E_INVALIDARG);
}

TEST_F(KsAudioFilterTest, ChannelInfoFollowsTheLiveRouting) {
    SimUnitRouting& qelm = plugQelm();
    KsAudioRenderFilter* render = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
    KsAudioCaptureFilter* capture = keep(KsAudioCaptureFilter::instantiate(&qelm, 16));
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    qelm.outputs[1] = 9;
    qelm.outputs[2] = 254;
    qelm.inputs[3] = 15;
    EXPECT_EQ(render->getChannelInfo(0), 0);
    EXPECT_EQ(render->getChannelInfo(1), 9);
    EXPECT_EQ(render->getChannelInfo(2), 255);
    EXPECT_EQ(capture->getChannelInfo(1), 1);
    EXPECT_EQ(capture->getChannelInfo(3), 15);
    EXPECT_EQ(capture->getChannelInfo(4), 255);
}

TEST_F(KsAudioFilterTest, ConvertersMatchTheRatePairing) {
    SimUnitRouting& qelm = plugQelm();
    KsAudioRenderFilter* render = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
    KsAudioCaptureFilter* capture = keep(KsAudioCaptureFilter::instantiate(&qelm, 16));
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    struct Case {
        double host;
        uint32_t renderFrames;
        uint32_t captureRequest;
    } cases[] = {{88200.0, 128, 128}, {22050.0, 512, 512}, {48000.0, 236, 0}};
    for (const Case& c : cases) {
        ASSERT_EQ(render->setSampleRate(c.host), ASE_OK);
        ASSERT_EQ(capture->setSampleRate(c.host), ASE_OK);
        HostHalves host(4, 256, 16);
        Accumulators acc(4, 256);
        ASSERT_EQ(render->createBuffers(host.table.data(), 256, 16), ASE_OK);
        ASSERT_EQ(capture->createBuffers(acc.table.data(), 256, 16), ASE_OK);
        EXPECT_TRUE(render->hasConverters());
        EXPECT_TRUE(capture->hasConverters());
        for (uint32_t ch = 0; ch < 4; ++ch) EXPECT_NE(render->getConverter(ch), nullptr);
        EXPECT_EQ(render->getConverter(4), nullptr);
        EXPECT_EQ(render->getHardwareFrames(), c.renderFrames) << c.host;
        if (c.captureRequest != 0) {
            EXPECT_EQ(capture->framesToRequest(), c.captureRequest) << c.host;
        }
        EXPECT_GT(capture->framesToRequest(), 0u);
        EXPECT_LE(capture->framesToRequest(), capture->getHardwareFrames());
        EXPECT_EQ(render->getPacket(0).header.FrameExtent, c.renderFrames * 8);
        render->disposeBuffers();
        capture->disposeBuffers();
        EXPECT_FALSE(render->hasConverters());
    }
}

}  // namespace
