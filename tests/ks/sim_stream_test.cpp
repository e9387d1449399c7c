// The layer against simulated controllers: pin selection on a real filter
// description, faults injected at the device, and streaming with two
// packets in flight per pin, checked frame by frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ks/ks_aud_filter.h"
#include "platform/device.h"
#include "platform/errors.h"
#include "platform/os.h"
#include "sim/bus.h"
#include "sim/capture_signal.h"
#include "tests/ks/fake_device_boundary.h"

namespace kstest {
namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kChannels = 4;  // a QELM unit in its 4 + 4 layout
constexpr uint32_t kBits = 16;
constexpr uint32_t kFramesPerPacket = kRate / 10;
constexpr uint32_t kBlockAlign = kChannels * kBits / 8;

// What the test renders at frame f, channel c: every frame distinct over a run.
int16_t RenderSample(uint64_t frame, uint32_t channel) {
    return static_cast<int16_t>(static_cast<uint16_t>(frame * 3 + channel * 11111));
}

// Two packets in flight on one pin, always resubmitted in order.
class PinStream {
public:
    PinStream(CKsAudPin* pin, bool capture, uint32_t packets) : pin_(pin), capture_(capture), packets_(packets) {
        for (Packet& p : slots_) {
            p.data.assign(kFramesPerPacket * kBlockAlign, 0);
            p.event = os::createEvent(false, false);
        }
    }
    // A test that gave up half way (a failed assertion) leaves packets
    // with a running device: they are cancelled and their outcome awaited
    // before their memory goes, or the device's clock would write into it.
    ~PinStream() {
        if (submitted_ > completed_) pin_->CancelStreams();
        for (Packet& p : slots_) {
            DWORD bytes = 0;
            if (p.submitted) os::deviceBoundary().getOverlappedResult(pin_->GetHandle(), &p.overlapped, &bytes, true);
            os::closeHandle(p.event);
        }
    }
    PinStream(const PinStream&) = delete;
    PinStream& operator=(const PinStream&) = delete;

    bool Prime() { return Submit(slots_[0]) && Submit(slots_[1]); }
    bool Done() const { return completed_ == packets_; }
    os::Handle ExpectedEvent() const { return slots_[completed_ % 2].event; }
    uint64_t FramesCompleted() const { return static_cast<uint64_t>(completed_) * kFramesPerPacket; }
    uint64_t LastCompletionNs() const { return lastCompletionNs_; }
    const std::string& Failure() const { return failure_; }
    // Capture: hardware frames the signal skipped (lost by the device).
    uint64_t Skipped() const { return skipped_; }

    // The expected packet has signalled: check it and send it again.
    bool Complete() {
        lastCompletionNs_ = os::nanoseconds();
        Packet& p = slots_[completed_ % 2];
        DWORD bytes = 0;
        if (!os::deviceBoundary().getOverlappedResult(pin_->GetHandle(), &p.overlapped, &bytes, false))
            return Fail("packet failed with error " + std::to_string(os::lastError()));
        if (capture_ && !CheckCaptured(p)) return false;
        ++completed_;
        if (submitted_ < packets_) return Submit(p);
        return true;
    }

private:
    struct Packet {
        KSSTREAM_HEADER header;
        OVERLAPPED overlapped;
        std::vector<uint8_t> data;
        os::Handle event = nullptr;
        uint64_t firstFrame = 0;
        bool submitted = false;  // handed to the pin at least once
    };

    bool Fail(const std::string& why) {
        if (failure_.empty()) failure_ = (capture_ ? "capture: " : "render: ") + why;
        return false;
    }

    bool Submit(Packet& p) {
        p.firstFrame = static_cast<uint64_t>(submitted_) * kFramesPerPacket;
        if (!capture_) {
            for (uint32_t f = 0; f < kFramesPerPacket; ++f)
                for (uint32_t c = 0; c < kChannels; ++c) {
                    int16_t v = RenderSample(p.firstFrame + f, c);
                    std::memcpy(p.data.data() + f * kBlockAlign + c * 2, &v, 2);
                }
        } else {
            std::fill(p.data.begin(), p.data.end(), uint8_t{0xEE});
        }
        std::memset(&p.header, 0, sizeof(p.header));
        p.header.Size = sizeof(p.header);
        p.header.FrameExtent = static_cast<ULONG>(p.data.size());
        p.header.DataUsed = capture_ ? 0 : static_cast<ULONG>(p.data.size());
        p.header.Data = p.data.data();
        p.header.PresentationTime.Numerator = 1;
        p.header.PresentationTime.Denominator = 1;
        std::memset(&p.overlapped, 0, sizeof(p.overlapped));
        p.overlapped.hEvent = p.event;
        HRESULT result = capture_ ? pin_->ReadData(&p.header, &p.overlapped) : pin_->WriteData(&p.header, &p.overlapped);
        if (result < 0) return Fail("stream request refused");
        p.submitted = true;
        ++submitted_;
        return true;
    }

    // Every frame as the signal has it, in order. Frames the device lost
    // (nothing was queued: a loaded machine held this thread up) are skipped
    // in the signal; they are counted, so that the test can hold them
    // against what the device says it lost. Anything else is a fault.
    bool CheckCaptured(const Packet& p) {
        if (p.header.DataUsed != p.data.size())
            return Fail("short packet of " + std::to_string(p.header.DataUsed) + " bytes");
        for (uint32_t f = 0; f < kFramesPerPacket; ++f) {
            const int32_t first = sim::readContainerSample(p.data.data() + f * kBlockAlign, kBits);
            const int32_t expected = sim::captureSignalSample(p.firstFrame + skipped_ + f, 0, kBits, kBits);
            const uint32_t skip = static_cast<uint16_t>(first - expected);
            if (skip != 0 && skip < 0x8000) skipped_ += skip;
            for (uint32_t c = 0; c < kChannels; ++c) {
                int32_t got = sim::readContainerSample(p.data.data() + f * kBlockAlign + c * 2, kBits);
                int32_t want = sim::captureSignalSample(p.firstFrame + skipped_ + f, c, kBits, kBits);
                if (got != want)
                    return Fail("frame " + std::to_string(p.firstFrame + f) + " channel " + std::to_string(c) +
                                " holds " + std::to_string(got) + ", expected " + std::to_string(want));
            }
        }
        return true;
    }

    uint64_t skipped_ = 0;
    CKsAudPin* pin_;
    bool capture_;
    uint32_t packets_;
    uint32_t submitted_ = 0;
    uint32_t completed_ = 0;
    uint64_t lastCompletionNs_ = 0;
    Packet slots_[2];
    std::string failure_;
};

class SimulatedFilterTest : public ::testing::Test {
protected:
    explicit SimulatedFilterTest(sim::ClockMode mode = sim::ClockMode::Manual) : bus_(mode), scope_(bus_) {}

    std::shared_ptr<sim::SimController> Plug(const sim::Faults& faults = sim::Faults()) {
        sim::ControllerConfig config;
        config.model = sim::Model::Qelm;
        config.serial = sim::widen("KSLAYER-1");
        config.faults = faults;
        auto controller = bus_.plug(config);
        EXPECT_NE(controller, nullptr);
        return controller;
    }
    template <typename F>
    std::unique_ptr<F> OpenFilter(const sim::SimController& controller, HRESULT* enumerated) {
        HRESULT result = E_FAIL;
        auto filter = std::make_unique<F>(controller.interfacePath().c_str(), "QELM", &result);
        EXPECT_EQ(result, S_OK);
        EXPECT_EQ(filter->Instantiate(), S_OK);
        *enumerated = filter->EnumeratePins();
        return filter;
    }
    static WAVEFORMATEX Format() { return PcmFormat(kChannels, kBits, kRate); }

    sim::SimBus bus_;
    sim::ScopedDeviceBoundary scope_;
};

TEST_F(SimulatedFilterTest, RenderAndCapturePinsAreFoundAndCreated) {
    auto controller = Plug();
    HRESULT result;
    auto render = OpenFilter<CKsAudRenFilter>(*controller, &result);
    ASSERT_EQ(result, S_OK);
    auto capture = OpenFilter<CKsAudCapFilter>(*controller, &result);
    ASSERT_EQ(result, S_OK);
    WAVEFORMATEX format = Format();
    EXPECT_TRUE(render->CanCreateRenderPin(&format));
    EXPECT_TRUE(capture->CanCreateCapturePin(&format));
    WAVEFORMATEX stereo = PcmFormat(2, kBits, kRate);
    EXPECT_FALSE(render->CanCreateRenderPin(&stereo));
    ASSERT_NE(render->CreateRenderPin(&format, false), nullptr);
    ASSERT_NE(capture->CreateCapturePin(&format, false), nullptr);
    EXPECT_EQ(controller->openPins(), 2u);
    render.reset();
    capture.reset();
    EXPECT_EQ(controller->openPins(), 0u);
}

TEST_F(SimulatedFilterTest, DescriptionsSurviveQueuedRequestsAndEitherSizeQueryAnswer) {
    sim::Faults faults;
    faults.pendPropertyRequests = true;
    faults.sizeQueryInsufficientBuffer = true;
    faults.wildcardRanges = true;
    auto controller = Plug(faults);
    HRESULT result;
    auto render = OpenFilter<CKsAudRenFilter>(*controller, &result);
    ASSERT_EQ(result, S_OK);
    WAVEFORMATEX format = Format();
    ASSERT_NE(render->CreateRenderPin(&format, false), nullptr);
    ASSERT_FALSE(render->RenderSinkPins().empty());
    auto* pin = dynamic_cast<CKsAudPin*>(render->RenderSinkPins()[0]);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->GetAudioDataRangeCount(), 1u);
    EXPECT_TRUE(os::guidEquals(pin->GetAudioDataRange(0).DataRange.SubFormat, GUID_NULL));
}

TEST_F(SimulatedFilterTest, MalformedRepliesNeverYieldAPin) {
    for (sim::Malformation malformed :
         {sim::Malformation::ItemCountTooLarge, sim::Malformation::RangeSizeZero, sim::Malformation::RangeSizeTooSmall,
          sim::Malformation::RangePastEnd, sim::Malformation::HugeSizeQuery}) {
        SCOPED_TRACE(static_cast<int>(malformed));
        sim::Faults faults;
        faults.malformed = malformed;
        auto controller = Plug(faults);
        HRESULT result;
        auto render = OpenFilter<CKsAudRenFilter>(*controller, &result);
        auto capture = OpenFilter<CKsAudCapFilter>(*controller, &result);
        WAVEFORMATEX format = Format();
        EXPECT_EQ(render->CreateRenderPin(&format, false), nullptr);
        EXPECT_EQ(capture->CreateCapturePin(&format, false), nullptr);
        EXPECT_EQ(controller->openPins(), 0u);
        render.reset();
        capture.reset();
        bus_.unplug(controller);
    }
}

TEST_F(SimulatedFilterTest, DeviceFaultsAreReportedAsFailures) {
    sim::Faults faults;
    faults.failOpen = 1;
    faults.failPinCreate = 2;  // the claiming pin, then the same pin again in the fall-back
    faults.failStateChange = 1;
    faults.crcWrites = 3;
    auto controller = Plug(faults);
    HRESULT result = E_FAIL;
    CKsAudRenFilter render(controller->interfacePath().c_str(), "QELM", &result);
    EXPECT_EQ(render.Instantiate(), E_FAIL);
    ASSERT_EQ(render.Instantiate(), S_OK);
    ASSERT_EQ(render.EnumeratePins(), S_OK);
    WAVEFORMATEX format = Format();
    EXPECT_EQ(render.CreateRenderPin(&format, false), nullptr);
    CKsAudPin* pin = render.CreateRenderPin(&format, false);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), E_FAIL);
    EXPECT_EQ(pin->GetState(), KSSTATE_STOP);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), S_OK);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), S_OK);

    std::vector<uint8_t> data(kBlockAlign * 16, 0);
    KSSTREAM_HEADER header;
    std::memset(&header, 0, sizeof(header));
    header.Size = sizeof(header);
    header.FrameExtent = header.DataUsed = static_cast<ULONG>(data.size());
    header.Data = data.data();
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof(overlapped));
    os::Handle event = os::createEvent(true, false);
    overlapped.hEvent = event;
    EXPECT_EQ(pin->WriteData(&header, &overlapped), E_FAIL);  // two CRC errors in a row
    EXPECT_EQ(pin->WriteData(&header, &overlapped), S_OK);    // one CRC error, then accepted
    pin->ClosePin();  // cancels the queued write
    DWORD bytes = 0;
    EXPECT_FALSE(os::deviceBoundary().getOverlappedResult(nullptr, &overlapped, &bytes, false));
    os::closeHandle(event);
}

TEST_F(SimulatedFilterTest, ClosingARunningPinStepsItDownToStopFirst) {
    auto controller = Plug();
    HRESULT result;
    auto render = OpenFilter<CKsAudRenFilter>(*controller, &result);
    ASSERT_EQ(result, S_OK);
    WAVEFORMATEX format = Format();
    CKsAudPin* pin = render->CreateRenderPin(&format, false);
    ASSERT_NE(pin, nullptr);
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) ASSERT_EQ(pin->SetState(state), S_OK);
    pin->ClosePin();
    EXPECT_EQ(controller->pinsClosedUnstopped(), 0u);
    EXPECT_EQ(pin->GetState(), KSSTATE_STOP);
    // A pin that refuses to stop is closed all the same.
    sim::Faults faults;
    faults.failStateChange = sim::Faults::kAlways;
    ASSERT_NE(render->CreateRenderPin(&format, false), nullptr);
    controller->setFaults(faults);
    render.reset();
    EXPECT_EQ(controller->openPins(), 0u);
}

// Runs both pins through STOP, ACQUIRE, PAUSE (packets queued) and RUN.
class StreamingTest : public SimulatedFilterTest {
protected:
    explicit StreamingTest(sim::ClockMode mode = sim::ClockMode::Manual) : SimulatedFilterTest(mode) {}

    void SetUp() override {
        controller_ = Plug();
        ASSERT_NE(controller_, nullptr);
        HRESULT result;
        renderFilter_ = OpenFilter<CKsAudRenFilter>(*controller_, &result);
        ASSERT_EQ(result, S_OK);
        captureFilter_ = OpenFilter<CKsAudCapFilter>(*controller_, &result);
        ASSERT_EQ(result, S_OK);
        WAVEFORMATEX format = Format();
        renderPin_ = renderFilter_->CreateRenderPin(&format, false);
        capturePin_ = captureFilter_->CreateCapturePin(&format, false);
        ASSERT_NE(renderPin_, nullptr);
        ASSERT_NE(capturePin_, nullptr);
    }

    void Prepare(PinStream& stream, CKsAudPin* pin) {
        ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), S_OK);
        ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), S_OK);
        ASSERT_TRUE(stream.Prime()) << stream.Failure();
    }
    static void Stop(CKsAudPin* pin) {
        EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), S_OK);
        EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), S_OK);
        EXPECT_EQ(pin->SetState(KSSTATE_STOP), S_OK);
    }
    // Everything rendered is exactly the frames sent, in order.
    void ExpectRenderedFrames(uint64_t frames) {
        std::vector<uint8_t> rendered = controller_->renderedBytes();
        ASSERT_EQ(rendered.size(), frames * kBlockAlign);
        for (uint64_t f = 0; f < frames; ++f)
            for (uint32_t c = 0; c < kChannels; ++c) {
                int16_t got;
                std::memcpy(&got, rendered.data() + f * kBlockAlign + c * 2, 2);
                ASSERT_EQ(got, RenderSample(f, c)) << "frame " << f << " channel " << c;
            }
    }

    std::shared_ptr<sim::SimController> controller_;
    std::unique_ptr<CKsAudRenFilter> renderFilter_;
    std::unique_ptr<CKsAudCapFilter> captureFilter_;
    CKsAudPin* renderPin_ = nullptr;
    CKsAudPin* capturePin_ = nullptr;
};

TEST_F(StreamingTest, ManualClockMovesEveryFrameOnceInOrder) {
    constexpr uint32_t kPackets = 12;  // 1.2 s of audio per pin
    PinStream render(renderPin_, false, kPackets);
    PinStream capture(capturePin_, true, kPackets);
    Prepare(render, renderPin_);
    Prepare(capture, capturePin_);
    ASSERT_EQ(renderPin_->SetState(KSSTATE_RUN), S_OK);
    ASSERT_EQ(capturePin_->SetState(KSSTATE_RUN), S_OK);
    while (!render.Done() || !capture.Done()) {
        bus_.advanceFrames(kFramesPerPacket);
        for (PinStream* stream : {&render, &capture}) {
            if (stream->Done()) continue;
            ASSERT_EQ(os::waitForOne(stream->ExpectedEvent(), 0), os::kWaitObject0) << "no completion on time";
            ASSERT_TRUE(stream->Complete()) << stream->Failure();
        }
    }
    EXPECT_EQ(controller_->renderStats().framesLost, 0u);
    EXPECT_EQ(controller_->captureStats().framesLost, 0u);
    EXPECT_EQ(controller_->captureStats().packetsCompleted, kPackets);
    Stop(renderPin_);
    Stop(capturePin_);
    ExpectRenderedFrames(render.FramesCompleted());
}

class RealTimeStreamingTest : public StreamingTest {
protected:
    RealTimeStreamingTest() : StreamingTest(sim::ClockMode::RealTime) {}
};

TEST_F(RealTimeStreamingTest, CompletionsKeepPaceWithTheClockAndSkipOnlyLostFrames) {
    // 3 s per pin: a late wake-up at the end of the run costs the pace
    // figure little. Packets of 100 ms leave ample time to resubmit; a
    // machine loaded beyond that makes the device lose frames, which the
    // capture must skip exactly and the pace must count.
    constexpr uint32_t kPackets = 30;
    PinStream render(renderPin_, false, kPackets);
    PinStream capture(capturePin_, true, kPackets);
    Prepare(render, renderPin_);
    Prepare(capture, capturePin_);
    uint64_t renderStart = os::nanoseconds();
    ASSERT_EQ(renderPin_->SetState(KSSTATE_RUN), S_OK);
    uint64_t captureStart = os::nanoseconds();
    ASSERT_EQ(capturePin_->SetState(KSSTATE_RUN), S_OK);
    while (!render.Done() || !capture.Done()) {
        PinStream* streams[2];
        os::Handle events[2];
        uint32_t count = 0;
        for (PinStream* stream : {&render, &capture}) {
            if (stream->Done()) continue;
            streams[count] = stream;
            events[count++] = stream->ExpectedEvent();
        }
        uint32_t wait = os::waitForAny(events, count, 10000);
        ASSERT_LT(wait, os::kWaitObject0 + count) << "no completion within 10 s";
        ASSERT_TRUE(streams[wait - os::kWaitObject0]->Complete()) << streams[wait - os::kWaitObject0]->Failure();
    }
    Stop(renderPin_);
    Stop(capturePin_);
    ExpectRenderedFrames(render.FramesCompleted());

    // Frames completed against the time they took: the clock runs at the
    // hardware rate, and the pins may only fall behind by our own lateness.
    // No skip but over frames the device lost (it also loses some after the
    // last packet, before the stop).
    EXPECT_LE(capture.Skipped(), controller_->captureStats().framesLost);
    const uint64_t renderLost = controller_->renderStats().framesLost;
    const uint64_t captureLost = controller_->captureStats().framesLost;
    for (auto [stream, start, lost, name] : {std::make_tuple(&render, renderStart, renderLost, "render"),
                                             std::make_tuple(&capture, captureStart, captureLost, "capture")}) {
        double seconds = static_cast<double>(stream->LastCompletionNs() - start) / 1e9;
        double pace = static_cast<double>(stream->FramesCompleted() + lost) / kRate / seconds;
        std::printf("%s: %llu frames in %.3f s, pace %.4f of the clock\n", name,
                    static_cast<unsigned long long>(stream->FramesCompleted()), seconds, pace);
        EXPECT_GT(pace, 0.98) << name;
        EXPECT_LT(pace, 1.02) << name;
    }
}

}  // namespace
}  // namespace kstest
