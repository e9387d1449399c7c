// Streaming through simulated pins: order of completion, the capture
// signal, what is rendered, faults, unplugging and the real-time clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "sim/capture_signal.h"
#include "sim_test_support.h"

using namespace simtest;

namespace {

constexpr uint32_t kChannels = 4;
constexpr uint32_t kBlockAlign = kChannels * 2;

struct Packet {
    Packet(uint32_t frames, bool write) : data(frames * kBlockAlign), write(write) {
        std::memset(&header, 0, sizeof(header));
        header.Size = sizeof(KSSTREAM_HEADER);
        header.PresentationTime.Numerator = 1;
        header.PresentationTime.Denominator = 1;
        header.Data = data.data();
        header.FrameExtent = static_cast<ULONG>(data.size());
        header.DataUsed = write ? header.FrameExtent : 0;
    }
    uint32_t frames() const { return static_cast<uint32_t>(data.size() / kBlockAlign); }

    KSSTREAM_HEADER header;
    Overlapped o;
    std::vector<uint8_t> data;
    bool write;
};

// Submits one packet; the simulator always queues stream requests.
void submit(os::DeviceBoundaryIf& bus, HANDLE pin, Packet& packet) {
    os::setLastError(0);
    const bool done = bus.deviceIoControl(pin, packet.write ? IOCTL_KS_WRITE_STREAM : IOCTL_KS_READ_STREAM, nullptr, 0,
                                          &packet.header, packet.header.Size, nullptr, &packet.o.ov);
    EXPECT_FALSE(done);
    EXPECT_EQ(os::lastError(), os::kErrorIoPending);
}

// Render test pattern: frame f, channel c of the whole stream.
int16_t renderSample(uint64_t frame, uint32_t channel) {
    return static_cast<int16_t>((frame * 7 + channel * 1000) & 0x7FFF);
}

void fillRender(Packet& packet, uint64_t firstFrame) {
    int16_t* samples = reinterpret_cast<int16_t*>(packet.data.data());
    for (uint32_t f = 0; f < packet.frames(); ++f)
        for (uint32_t c = 0; c < kChannels; ++c) samples[f * kChannels + c] = renderSample(firstFrame + f, c);
}

// Counts capture frames that break the per-channel counter.
uint32_t captureMismatches(const Packet& packet, uint64_t firstFrame) {
    uint32_t bad = 0;
    const uint32_t frames = packet.header.DataUsed / kBlockAlign;
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < kChannels; ++c)
            if (sim::readContainerSample(&packet.data[(f * kChannels + c) * 2], 16) !=
                sim::captureSignalSample(firstFrame + f, c, 16, 16))
                ++bad;
    return bad;
}

class Streaming : public ::testing::Test {
protected:
    explicit Streaming(sim::ClockMode mode = sim::ClockMode::Manual) : bus(mode) {}
    void SetUp() override {
        controller = bus.plug(qelm("STREAM001"));
        ASSERT_TRUE(controller);
        filter = openFilter(bus, controller->interfacePath());
        ASSERT_NE(filter, INVALID_HANDLE_VALUE);
        ConnectRequest renderRequest(0, kChannels, 16, 44100, true, 0x603);
        ConnectRequest captureRequest(3, kChannels, 16, 44100);
        ASSERT_EQ(bus.ksCreatePin(filter, renderRequest.connect(), 0, &render), 0u);
        ASSERT_EQ(bus.ksCreatePin(filter, captureRequest.connect(), 0, &capture), 0u);
    }
    // Closing cancels what is still queued; a test does so while its packets,
    // which the simulator writes into on completion, are still alive.
    void closePins() {
        if (render != nullptr) bus.closeDevice(render);
        if (capture != nullptr) bus.closeDevice(capture);
        render = capture = nullptr;
    }
    void TearDown() override {
        closePins();
        bus.closeDevice(filter);
    }

    sim::SimBus bus;
    std::shared_ptr<sim::SimController> controller;
    HANDLE filter = INVALID_HANDLE_VALUE;
    HANDLE render = nullptr;
    HANDLE capture = nullptr;
};

TEST_F(Streaming, TwoPacketsInFlightCompleteInOrderForOverOneSecond) {
    constexpr uint32_t kFrames = 441;  // 10 ms
    constexpr uint32_t kRounds = 150;  // 1.5 s
    Packet renders[2] = {{kFrames, true}, {kFrames, true}};
    Packet captures[2] = {{kFrames, false}, {kFrames, false}};
    std::vector<uint8_t> written;
    uint64_t renderFrame = 0;
    for (Packet& p : renders) {
        fillRender(p, renderFrame);
        renderFrame += kFrames;
        written.insert(written.end(), p.data.begin(), p.data.end());
        submit(bus, render, p);
    }
    for (Packet& p : captures) submit(bus, capture, p);
    ASSERT_TRUE(runPin(bus, render));
    ASSERT_TRUE(runPin(bus, capture));

    uint64_t captureFrame = 0;
    uint32_t mismatches = 0;
    for (uint32_t round = 0; round < kRounds; ++round) {
        const uint32_t due = round % 2;
        bus.advanceFrames(kFrames - 1);
        EXPECT_FALSE(captures[due].o.signalled()) << "completed early in round " << round;
        bus.advanceFrames(1);
        ASSERT_TRUE(renders[due].o.signalled()) << round;
        ASSERT_TRUE(captures[due].o.signalled()) << round;
        EXPECT_FALSE(renders[1 - due].o.signalled()) << round;
        EXPECT_FALSE(captures[1 - due].o.signalled()) << round;
        DWORD bytes = 0;
        EXPECT_TRUE(bus.getOverlappedResult(capture, &captures[due].o.ov, &bytes, false));
        EXPECT_EQ(bytes, sizeof(KSSTREAM_HEADER));

        ASSERT_EQ(captures[due].header.DataUsed, kFrames * kBlockAlign);
        mismatches += captureMismatches(captures[due], captureFrame);
        captureFrame += kFrames;
        submit(bus, capture, captures[due]);

        fillRender(renders[due], renderFrame);
        renderFrame += kFrames;
        written.insert(written.end(), renders[due].data.begin(), renders[due].data.end());
        submit(bus, render, renders[due]);
    }
    EXPECT_EQ(mismatches, 0u);
    const sim::StreamStats captureStats = controller->captureStats();
    const sim::StreamStats renderStats = controller->renderStats();
    EXPECT_EQ(captureStats.framesLost, 0u);
    EXPECT_EQ(renderStats.framesLost, 0u);
    EXPECT_EQ(captureStats.packetsCompleted, kRounds);
    EXPECT_EQ(captureStats.framesTransferred, uint64_t{kRounds} * kFrames);

    // Exactly what was written for the completed packets, in order.
    written.resize(static_cast<size_t>(kRounds) * kFrames * kBlockAlign);
    EXPECT_EQ(controller->renderedBytes(), written);
    EXPECT_EQ(controller->renderedFormat().channels, kChannels);
    EXPECT_EQ(controller->renderedFormat().channelMask, 0x603u);
    closePins();
}

TEST_F(Streaming, ShortReadsAndLatePacketsShowInTheSignal) {
    constexpr uint32_t kFrames = 400;
    sim::Faults faults;
    faults.shortReads = 1;
    controller->setFaults(faults);
    Packet first(kFrames, false), second(kFrames, false);
    submit(bus, capture, first);
    submit(bus, capture, second);
    ASSERT_TRUE(runPin(bus, capture));

    bus.advanceFrames(kFrames);
    ASSERT_TRUE(first.o.signalled());
    EXPECT_EQ(first.header.DataUsed, kFrames / 2 * kBlockAlign);
    EXPECT_EQ(captureMismatches(first, 0), 0u);
    // The short packet gave back half its frames, so the next starts there.
    bus.advanceFrames(kFrames / 2 - 1);
    EXPECT_FALSE(second.o.signalled());
    bus.advanceFrames(1);
    ASSERT_TRUE(second.o.signalled());
    EXPECT_EQ(captureMismatches(second, kFrames / 2), 0u);
    EXPECT_EQ(controller->captureStats().shortPackets, 1u);

    // Nothing queued for 100 frames: those are lost, and the signal says so.
    bus.advanceFrames(100);
    submit(bus, capture, first);
    bus.advanceFrames(kFrames);
    ASSERT_TRUE(first.o.signalled());
    EXPECT_EQ(controller->captureStats().framesLost, 100u);
    EXPECT_EQ(captureMismatches(first, kFrames / 2 + kFrames + 100), 0u);
}

TEST_F(Streaming, CrcErrorsOnWritesAreCounted) {
    sim::Faults faults;
    faults.crcWrites = 2;
    controller->setFaults(faults);
    Packet packet(100, true);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(bus.deviceIoControl(render, IOCTL_KS_WRITE_STREAM, nullptr, 0, &packet.header,
                                         packet.header.Size, nullptr, &packet.o.ov));
        EXPECT_EQ(os::lastError(), os::kErrorCrc);
    }
    submit(bus, render, packet);
    // Reading on a render pin or writing on a capture pin is refused.
    Packet wrong(100, false);
    EXPECT_FALSE(bus.deviceIoControl(render, IOCTL_KS_READ_STREAM, nullptr, 0, &wrong.header, wrong.header.Size,
                                     nullptr, &wrong.o.ov));
    EXPECT_EQ(os::lastError(), os::kErrorInvalidFunction);
    wrong.header.DataUsed = wrong.header.FrameExtent + 2;
    EXPECT_FALSE(bus.deviceIoControl(capture, IOCTL_KS_READ_STREAM, nullptr, 0, &wrong.header, wrong.header.Size,
                                     nullptr, &wrong.o.ov));
    EXPECT_EQ(os::lastError(), os::kErrorInvalidParameter);
    closePins();
}

TEST_F(Streaming, UnplugFailsPacketsInFlightAndRemovesTheInterface) {
    Packet renders[2] = {{256, true}, {256, true}};
    Packet captures[2] = {{256, false}, {256, false}};
    for (Packet& p : renders) submit(bus, render, p);
    for (Packet& p : captures) submit(bus, capture, p);
    ASSERT_TRUE(runPin(bus, render));
    ASSERT_TRUE(runPin(bus, capture));
    bus.advanceFrames(100);

    ASSERT_TRUE(bus.unplug(controller));
    for (Packet* p : {&renders[0], &renders[1], &captures[0], &captures[1]}) {
        ASSERT_TRUE(p->o.signalled());
        DWORD bytes = 1;
        EXPECT_FALSE(bus.getOverlappedResult(p->write ? render : capture, &p->o.ov, &bytes, true));
        EXPECT_EQ(os::lastError(), os::kErrorDeviceNotConnected);
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(p->header.DataUsed, p->write ? 256u * kBlockAlign : 0u);
    }
    std::vector<os::AudioInterfaceInfo> interfaces;
    ASSERT_TRUE(bus.listAudioInterfaces(interfaces));
    EXPECT_TRUE(interfaces.empty());
    EXPECT_FALSE(bus.deviceIoControl(capture, IOCTL_KS_READ_STREAM, nullptr, 0, &captures[0].header,
                                     captures[0].header.Size, nullptr, &captures[0].o.ov));
    EXPECT_EQ(os::lastError(), os::kErrorDeviceNotConnected);
    EXPECT_EQ(controller->captureStats().packetsFailed, 2u);
    EXPECT_EQ(controller->openPins(), 0u);
}

TEST_F(Streaming, StopAndCancelIoCancelQueuedPackets) {
    Packet a(128, false), b(128, true);
    submit(bus, capture, a);
    submit(bus, render, b);
    ASSERT_TRUE(runPin(bus, capture));
    ASSERT_TRUE(setState(bus, capture, KSSTATE_PAUSE).ok);
    ASSERT_TRUE(setState(bus, capture, KSSTATE_ACQUIRE).ok);
    ASSERT_TRUE(setState(bus, capture, KSSTATE_STOP).ok);
    ASSERT_TRUE(a.o.signalled());
    DWORD bytes = 0;
    EXPECT_FALSE(bus.getOverlappedResult(capture, &a.o.ov, &bytes, false));
    EXPECT_EQ(os::lastError(), os::kErrorOperationAborted);

    EXPECT_FALSE(b.o.signalled());
    EXPECT_FALSE(bus.getOverlappedResult(render, &b.o.ov, &bytes, false));
    EXPECT_EQ(os::lastError(), os::kErrorIoIncomplete);
    EXPECT_TRUE(bus.cancelIo(render));
    EXPECT_TRUE(b.o.signalled());
    EXPECT_FALSE(bus.getOverlappedResult(render, &b.o.ov, &bytes, true));
    EXPECT_EQ(os::lastError(), os::kErrorOperationAborted);
}

TEST_F(Streaming, ClockDriftMovesTheHardwareAhead) {
    sim::Faults faults;
    faults.driftPpm = 1000;
    controller->setFaults(faults);
    Packet packet(44100, false);
    submit(bus, capture, packet);
    ASSERT_TRUE(runPin(bus, capture));
    bus.advanceFrames(44055);  // 44099.06 hardware frames at +1000 ppm
    EXPECT_FALSE(packet.o.signalled());
    bus.advanceFrames(1);
    EXPECT_TRUE(packet.o.signalled());
}

// What a driver sees of a USB controller's clock: a packet completes with
// the 1 ms USB frame that carried its last sample, and the driver hears of
// it a little later again (up to the jitter), always in order; the same
// controller gives the same sequence in every run.
std::vector<uint64_t> completionTimes(sim::SimBus& bus, HANDLE pin, uint32_t rounds) {
    constexpr uint32_t kFrames = 89;
    Packet packets[2] = {{kFrames, false}, {kFrames, false}};
    for (Packet& p : packets) submit(bus, pin, p);
    EXPECT_TRUE(runPin(bus, pin));
    const uint64_t start = bus.timeNs();
    std::vector<uint64_t> heard;
    for (uint32_t round = 0; round < rounds; ++round) {
        Packet& due = packets[round % 2];
        const uint64_t wait = bus.nanosecondsToNextCompletion();
        EXPECT_NE(wait, sim::SimBus::kNoCompletion);
        if (wait == sim::SimBus::kNoCompletion) break;
        if (wait > 0) {
            bus.advanceTime(wait - 1);
            EXPECT_FALSE(due.o.signalled()) << "heard early in round " << round;
            bus.advanceTime(1);
        }
        EXPECT_TRUE(due.o.signalled()) << round;
        heard.push_back(bus.timeNs() - start);
        EXPECT_EQ(due.header.DataUsed, kFrames * kBlockAlign);
        submit(bus, pin, due);
    }
    bus.closeDevice(pin);  // cancels the last two while they are alive
    return heard;
}

TEST_F(Streaming, CompletionsComeOnUsbFramesWithJitterAndInOrder) {
    sim::Faults faults;
    faults.usbFrames = true;
    faults.jitterUs = 100;
    controller->setFaults(faults);
    const std::vector<uint64_t> heard = completionTimes(bus, capture, 400);
    capture = nullptr;
    ASSERT_EQ(heard.size(), 400u);
    std::vector<uint64_t> offsets;
    for (size_t k = 0; k < heard.size(); ++k) {
        // The hardware is through with packet k at frame 89 (k + 1).
        const uint64_t end = ((k + 1) * 89 * 1000000000ull + 44099) / 44100;
        const uint64_t usbFrame = (end + 999999) / 1000000 * 1000000;
        ASSERT_GE(heard[k], usbFrame) << k;
        ASSERT_LT(heard[k], usbFrame + 100000) << k;
        if (k > 0) {
            ASSERT_GT(heard[k], heard[k - 1]);
        }
        offsets.push_back(heard[k] - usbFrame);
    }
    std::sort(offsets.begin(), offsets.end());
    EXPECT_LT(offsets[40], 20000u) << "the jitter spreads over its whole range";
    EXPECT_GT(offsets[360], 80000u);
    EXPECT_EQ(controller->captureStats().framesLost, 0u);

    sim::SimBus again;
    auto twin = again.plug(qelm("STREAM001"));
    twin->setFaults(faults);
    HANDLE twinFilter = openFilter(again, twin->interfacePath());
    HANDLE twinCapture = nullptr;
    ConnectRequest request(3, kChannels, 16, 44100);
    ASSERT_EQ(again.ksCreatePin(twinFilter, request.connect(), 0, &twinCapture), 0u);
    EXPECT_EQ(completionTimes(again, twinCapture, 400), heard) << "the same controller, the same run";
    again.closeDevice(twinFilter);
}

// A crystal warming up: the drift climbs by the ramp for ramp-time seconds
// after the plug-in and then holds; the hardware's frames follow.
TEST_F(Streaming, AWarmingCrystalRampsTheHardwareClock) {
    sim::Faults faults;
    faults.driftPpm = 50;
    faults.rampPpmPerSecond = 1.0;
    faults.rampSeconds = 10;
    controller->setFaults(faults);
    EXPECT_NEAR(controller->driftPpmAt(0), 50.0, 1e-9);
    EXPECT_NEAR(controller->driftPpmAt(5000000000ull), 55.0, 1e-9);
    EXPECT_NEAR(controller->driftPpmAt(30000000000ull), 60.0, 1e-9);

    constexpr uint32_t kFrames = 882000;  // 20 s at the nominal rate
    Packet packet(kFrames, false);
    submit(bus, capture, packet);
    ASSERT_TRUE(runPin(bus, capture));
    // 44100 (t + 1e-6 (50 t + 50 + 10 (t - 10))) frames have passed at t > 10 s.
    const double due = (20.0 + 50e-6) / (1.0 + 60e-6);
    uint64_t t = 0;
    while (!packet.o.signalled() && t < 25000000000ull) {
        bus.advanceTime(1000000);
        t += 1000000;
    }
    EXPECT_GE(double(t) * 1e-9, due);
    EXPECT_LT(double(t) * 1e-9, due + 0.001);
    closePins();
}

// The slow wander stays within its size, moves by about that much, and
// moves smoothly.
TEST_F(Streaming, AWanderingCrystalStaysWithinItsWander) {
    sim::Faults faults;
    faults.wanderPpm = 3.0;
    controller->setFaults(faults);
    double low = 0.0, high = 0.0, steepest = 0.0, last = controller->driftPpmAt(0);
    for (uint64_t ms = 500; ms <= 300000; ms += 500) {
        const double ppm = controller->driftPpmAt(ms * 1000000ull);
        low = std::min(low, ppm);
        high = std::max(high, ppm);
        steepest = std::max(steepest, std::fabs(ppm - last) * 2.0);
        last = ppm;
    }
    EXPECT_GE(low, -3.0);
    EXPECT_LE(high, 3.0);
    EXPECT_GT(high - low, 2.0);
    EXPECT_LT(steepest, 0.3) << "ppm per second";
}

// What real USB devices do to stream requests: fail them for a while, hand
// back empty captures, stop completing, and complete cancellations late.
TEST_F(Streaming, FaultsOfRealDevicesShowInTheCompletions) {
    sim::Faults faults;
    faults.failPackets = 1;
    faults.emptyReads = 1;
    controller->setFaults(faults);
    Packet captures[3] = {{100, false}, {100, false}, {100, false}};
    for (Packet& p : captures) submit(bus, capture, p);
    ASSERT_TRUE(runPin(bus, capture));
    bus.advanceFrames(300);
    DWORD bytes = 0;
    // A failed packet: its event is set, its outcome is an error.
    ASSERT_TRUE(captures[0].o.signalled());
    EXPECT_FALSE(bus.getOverlappedResult(capture, &captures[0].o.ov, &bytes, false));
    EXPECT_EQ(os::lastError(), os::kErrorGenFailure);
    // An empty one succeeds with nothing in it.
    ASSERT_TRUE(captures[1].o.signalled());
    EXPECT_TRUE(bus.getOverlappedResult(capture, &captures[1].o.ov, &bytes, false));
    EXPECT_EQ(captures[1].header.DataUsed, 0u);
    // Then the device works again: the third packet holds its own frames.
    ASSERT_TRUE(bus.getOverlappedResult(capture, &captures[2].o.ov, &bytes, false));
    EXPECT_EQ(captures[2].header.DataUsed, 100 * kBlockAlign);
    EXPECT_EQ(captureMismatches(captures[2], 200), 0u);
    EXPECT_EQ(controller->captureStats().packetsFailed, 1u);
    EXPECT_EQ(controller->captureStats().emptyPackets, 1u);

    // A stalled request holds up the ones behind it until it is cancelled.
    faults = sim::Faults();
    faults.stallPackets = 1;
    controller->setFaults(faults);
    Packet stuck(100, true), behind(100, true);
    submit(bus, render, stuck);
    submit(bus, render, behind);
    ASSERT_TRUE(runPin(bus, render));
    bus.advanceFrames(1000);
    EXPECT_FALSE(stuck.o.signalled());
    EXPECT_FALSE(behind.o.signalled());
    EXPECT_TRUE(bus.cancelIo(render));
    EXPECT_FALSE(bus.getOverlappedResult(render, &stuck.o.ov, &bytes, false));
    EXPECT_EQ(os::lastError(), os::kErrorOperationAborted);
    EXPECT_TRUE(behind.o.signalled());
    closePins();
}

TEST_F(Streaming, LateCancellationsCompleteAfterTheCancellingCall) {
    sim::Faults faults;
    faults.lateCancel = true;
    controller->setFaults(faults);
    Packet a(128, true), b(128, true);
    submit(bus, render, a);
    submit(bus, render, b);
    ASSERT_TRUE(bus.cancelIo(render));
    // Still the device's: nothing written, nothing signalled.
    EXPECT_FALSE(a.o.signalled());
    EXPECT_EQ(a.o.ov.Internal, ksabi::kStatusPending);
    // Once their owner waits for them they come, as cancelled.
    DWORD bytes = 0;
    EXPECT_FALSE(bus.getOverlappedResult(render, &a.o.ov, &bytes, true));
    EXPECT_EQ(os::lastError(), os::kErrorOperationAborted);
    EXPECT_TRUE(b.o.signalled());
    EXPECT_EQ(bus.completionsAfterClose(), 0u);

    // Closed before they came back: the completions land afterwards, in
    // memory the closer may already have given away.
    submit(bus, render, a);
    closePins();
    EXPECT_EQ(a.o.ov.Internal, ksabi::kStatusPending);
    bus.advanceFrames(1);
    EXPECT_EQ(a.o.ov.Internal, ksabi::kStatusCancelled);
    EXPECT_EQ(bus.completionsAfterClose(), 1u);
}

TEST_F(Streaming, PacketsBelowTheDevicesFramingFail) {
    sim::Faults faults;
    faults.framingBytes = 200 * kBlockAlign;
    controller->setFaults(faults);
    KSPROPERTY request = propertyRequest(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING);
    KSALLOCATOR_FRAMING framing{};
    ASSERT_TRUE(ioctl(bus, render, &request, sizeof(request), &framing, sizeof(framing)).ok);
    EXPECT_EQ(framing.FrameSize, 200 * kBlockAlign);
    Packet small(100, true), large(200, true);
    submit(bus, render, small);
    submit(bus, render, large);
    ASSERT_TRUE(runPin(bus, render));
    bus.advanceFrames(300);
    DWORD bytes = 0;
    EXPECT_FALSE(bus.getOverlappedResult(render, &small.o.ov, &bytes, false));
    EXPECT_EQ(os::lastError(), os::kErrorInsufficientBuffer);
    EXPECT_TRUE(bus.getOverlappedResult(render, &large.o.ov, &bytes, false));
    // Without the fault the pin has no framing to tell.
    controller->setFaults(sim::Faults());
    EXPECT_EQ(ioctl(bus, render, &request, sizeof(request), &framing, sizeof(framing)).error, os::kErrorNotFound);
    closePins();
}

TEST_F(Streaming, PinsClosedWhileRunningAreCounted) {
    ASSERT_TRUE(runPin(bus, render));
    closePins();
    EXPECT_EQ(controller->pinsClosedUnstopped(), 1u);
}

// In loopback the capture side records what played a delay before, on the
// same clock: silence before anything played, then the render stream frame
// by frame, and silence again for frames that found no render packet.
TEST_F(Streaming, LoopbackCapturesWhatPlayedADelayEarlier) {
    constexpr uint32_t kFrames = 441;
    constexpr uint32_t kDelay = 100;
    constexpr uint32_t kRounds = 20;
    // The render side gets no packet in two rounds: the packet still queued
    // plays through the first, nothing plays during the second.
    constexpr uint32_t kDryRound = 10;
    controller->setLoopback(true, kDelay);
    Packet renders[2] = {{kFrames, true}, {kFrames, true}};
    Packet captures[2] = {{kFrames, false}, {kFrames, false}};
    // What each render frame played: its pattern frame, or -1 for silence.
    std::vector<int64_t> played;
    uint64_t renderFrame = 0;
    for (Packet& p : renders) {
        fillRender(p, renderFrame);
        for (uint32_t f = 0; f < kFrames; ++f) played.push_back(static_cast<int64_t>(renderFrame + f));
        renderFrame += kFrames;
        submit(bus, render, p);
    }
    for (Packet& p : captures) submit(bus, capture, p);
    ASSERT_TRUE(runPin(bus, render));
    ASSERT_TRUE(runPin(bus, capture));

    uint64_t captureFrame = 0;
    for (uint32_t round = 0; round < kRounds; ++round) {
        const uint32_t due = round % 2;
        bus.advanceFrames(kFrames);
        ASSERT_TRUE(captures[due].o.signalled()) << round;
        for (uint32_t f = 0; f < kFrames; ++f) {
            const int64_t source = static_cast<int64_t>(captureFrame + f) - kDelay;
            const int64_t pattern = source < 0 || source >= static_cast<int64_t>(played.size()) ? -1 : played[source];
            for (uint32_t c = 0; c < kChannels; ++c) {
                const int32_t got = sim::readContainerSample(&captures[due].data[(f * kChannels + c) * 2], 16);
                ASSERT_EQ(got, pattern < 0 ? 0 : renderSample(static_cast<uint64_t>(pattern), c))
                    << "capture frame " << captureFrame + f << " channel " << c;
            }
        }
        captureFrame += kFrames;
        submit(bus, capture, captures[due]);
        if (round == kDryRound) continue;
        if (round == kDryRound + 1) {
            played.insert(played.end(), kFrames, -1);
            continue;
        }
        fillRender(renders[due], renderFrame);
        for (uint32_t f = 0; f < kFrames; ++f) played.push_back(static_cast<int64_t>(renderFrame + f));
        renderFrame += kFrames;
        submit(bus, render, renders[due]);
    }
    EXPECT_EQ(controller->renderStats().framesLost, kFrames);
    closePins();
}

class RealTimeStreaming : public Streaming {
protected:
    RealTimeStreaming() : Streaming(sim::ClockMode::RealTime) {}
};

TEST_F(RealTimeStreaming, CompletionsKeepPaceWithTheClock) {
    constexpr uint32_t kFrames = 882;  // 20 ms
    constexpr uint32_t kDepth = 4;     // generous slack for a loaded machine
    std::vector<std::unique_ptr<Packet>> packets;
    std::vector<os::Handle> events;
    for (uint32_t i = 0; i < 2 * kDepth; ++i) {
        const bool write = i >= kDepth;
        packets.push_back(std::make_unique<Packet>(kFrames, write));
        events.push_back(packets.back()->o.event);
        submit(bus, write ? render : capture, *packets.back());
    }
    ASSERT_TRUE(runPin(bus, capture));
    ASSERT_TRUE(runPin(bus, render));

    uint64_t firstNs = 0, lastNs = 0, framesAfterFirst = 0, captureFrame = 0;
    uint32_t completions = 0, mismatches = 0, outOfOrder = 0, expectedCapture = 0;
    // Each capture completion as this thread saw it: when, and the hardware
    // frame its packet ended at (frames captured and lost so far).
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    const uint64_t startNs = os::nanoseconds();
    while (framesAfterFirst < 44100 * 3 / 2 && os::nanoseconds() - startNs < 20ull * 1000000000) {
        const uint32_t result = os::waitForAny(events.data(), static_cast<uint32_t>(events.size()), 5000);
        ASSERT_LT(result, os::kWaitObject0 + events.size()) << "no completion within 5 s";
        const uint32_t index = result - os::kWaitObject0;
        Packet& p = *packets[index];
        if (!p.write) {
            const uint64_t t = os::nanoseconds();
            if (index != expectedCapture) ++outOfOrder;
            expectedCapture = (index + 1) % kDepth;
            if (completions++ == 0) {
                firstNs = t;
            } else {
                framesAfterFirst += p.header.DataUsed / kBlockAlign;
                lastNs = t;
            }
            const sim::StreamStats stats = controller->captureStats();
            // Frames lost under load are skipped in the signal, not repeated.
            if (stats.framesLost == 0) mismatches += captureMismatches(p, captureFrame);
            captureFrame += kFrames;
            seen.push_back({t, stats.framesTransferred + stats.framesLost});
            submit(bus, capture, p);
        } else {
            submit(bus, render, p);
        }
    }
    const sim::StreamStats stats = controller->captureStats();
    const double elapsedFrames = static_cast<double>(lastNs - firstNs) * 44100.0 / 1e9;
    const double measured = static_cast<double>(framesAfterFirst + stats.framesLost);
    std::printf("real-time capture: %.0f frames in %.0f frames of time (ratio %.4f), %llu lost\n", measured,
                elapsedFrames, measured / elapsedFrames, static_cast<unsigned long long>(stats.framesLost));
    EXPECT_EQ(outOfOrder, 0u);
    // A frame lost under load is skipped in the signal; a packet that
    // arrives just as the loss is counted may be checked against the frames
    // it would have had. Without a loss every frame must be there.
    if (stats.framesLost == 0) {
        EXPECT_EQ(mismatches, 0u);
    }
    // The pace, judged so that this thread's own lateness does not count: a
    // completion is seen at its hardware time plus some lateness, and the
    // least late of a run of completions shows the clock. The least late of
    // the first third and of the last third lie apart by what the clock
    // gained or lost over the frames between them.
    ASSERT_GE(seen.size(), 9u);
    const size_t third = seen.size() / 3;
    auto leastLate = [&](size_t from, size_t to) {
        double best = 1e300;
        for (size_t i = from; i < to; ++i)
            best = std::min(best, static_cast<double>(seen[i].first) - static_cast<double>(seen[i].second) * 1e9 / 44100);
        return best;
    };
    const double span = static_cast<double>(seen[seen.size() - 1].second - seen[0].second) * 1e9 / 44100;
    const double clockError = (leastLate(0, third) - leastLate(seen.size() - third, seen.size())) / span;
    std::printf("real-time capture: the clock ran %.4f of the nominal rate\n", 1.0 + clockError);
    EXPECT_NEAR(clockError, 0.0, 0.02);
    closePins();
}

}  // namespace

namespace {

// A streaming thread like the driver's: two capture packets in flight,
// resubmitted on completion, until the device fails them.
// A loaded machine can hold the clock thread up for many periods; the
// hardware it stands for plays on. Whatever the driver asks of a pin finds
// what the time did: packets finished by now are back, and one queued after
// the queue ran out leaves a gap as long as it came late.
TEST_F(RealTimeStreaming, AHeldUpClockThreadDoesNotHoldTheHardwareUp) {
    constexpr uint32_t kFrames = 441;  // 10 ms
    Packet first(kFrames, true), second(kFrames, true), late(kFrames, true);
    submit(bus, render, first);
    submit(bus, render, second);
    bus.holdClockThread(true);
    const uint64_t beforeRun = os::nanoseconds();
    ASSERT_TRUE(runPin(bus, render));
    const uint64_t runAt = os::nanoseconds();
    os::sleepMs(45);
    for (Packet* p : {&first, &second}) {
        DWORD bytes = 0;
        EXPECT_TRUE(bus.getOverlappedResult(render, &p->o.ov, &bytes, false)) << "finished 20 ms after the start";
        EXPECT_TRUE(p->o.signalled());
    }
    const uint64_t lateAt = os::nanoseconds();
    submit(bus, render, late);
    const uint64_t queuedAt = os::nanoseconds();
    bus.holdClockThread(false);
    const sim::StreamStats stats = controller->renderStats();
    EXPECT_EQ(stats.gaps, 1u);
    // Between the moments just before and just after the late packet went in.
    const double dryFrom = 2.0 * kFrames;
    EXPECT_GE(double(stats.framesLost) + 1.0, double(lateAt - runAt) * 44100e-9 - dryFrom);
    EXPECT_LE(double(stats.framesLost), double(queuedAt - beforeRun) * 44100e-9 - dryFrom + 1.0);
    closePins();
}

struct StreamingThread {
    StreamingThread(sim::SimBus& bus, HANDLE pin) : bus(bus), pin(pin) {}
    static uint32_t main(void* self) {
        static_cast<StreamingThread*>(self)->run();
        return 0;
    }
    void run() {
        Packet packets[2] = {{256, false}, {256, false}};
        for (Packet& p : packets) submit(bus, pin, p);
        os::Handle events[2] = {packets[0].o.event, packets[1].o.event};
        bool alive = true;
        while (alive) {
            const uint32_t result = os::waitForAny(events, 2, 5000);
            if (result >= os::kWaitObject0 + 2) {
                stalled = true;
                break;
            }
            Packet& p = packets[result - os::kWaitObject0];
            DWORD bytes = 0;
            if (!bus.getOverlappedResult(pin, &p.o.ov, &bytes, false)) {
                lastError = os::lastError();
                ++failed;
                alive = failed < 2;
                continue;
            }
            ++completed;
            if (!bus.deviceIoControl(pin, IOCTL_KS_READ_STREAM, nullptr, 0, &p.header, p.header.Size, nullptr,
                                     &p.o.ov) &&
                os::lastError() != os::kErrorIoPending) {
                // The unit went away between completion and resubmission.
                lastError = os::lastError();
                ++failed;
                alive = false;
            }
        }
        // Nothing of ours may stay queued once the packets go away.
        bus.cancelIo(pin);
    }
    sim::SimBus& bus;
    HANDLE pin;
    uint32_t completed = 0;
    uint32_t failed = 0;
    bool stalled = false;
    DWORD lastError = 0;
};

// A polling thread like the device registry's: listing, tree walk, serial.
struct PollingThread {
    explicit PollingThread(sim::SimBus& bus) : bus(bus) { stop = os::createEvent(true, false); }
    ~PollingThread() { os::closeHandle(stop); }
    static uint32_t main(void* self) {
        PollingThread& t = *static_cast<PollingThread*>(self);
        while (os::waitForOne(t.stop, 1) == os::kWaitTimeout) {
            std::vector<os::AudioInterfaceInfo> interfaces;
            t.bus.listAudioInterfaces(interfaces);
            for (const os::AudioInterfaceInfo& info : interfaces) {
                DEVINST parent = 0, child = 0;
                if (t.bus.cmGetParent(&parent, info.deviceInstance, 0) == CR_SUCCESS)
                    t.bus.cmGetChild(&child, parent, 0);
                ++t.passes;
            }
        }
        return 0;
    }
    sim::SimBus& bus;
    os::Handle stop;
    uint32_t passes = 0;
};

TEST_F(RealTimeStreaming, ThreadsMeetOnOneBusAndUnplugEndsTheClock) {
    ASSERT_TRUE(runPin(bus, capture));
    StreamingThread streaming(bus, capture);
    PollingThread polling(bus);
    os::Handle threads[2] = {os::createThread(&StreamingThread::main, &streaming, false),
                             os::createThread(&PollingThread::main, &polling, false)};
    ASSERT_NE(threads[0], nullptr);
    ASSERT_NE(threads[1], nullptr);
    // Host-side traffic while both run: faults, listing, properties.
    for (int i = 0; i < 50; ++i) {
        sim::Faults faults;
        faults.driftPpm = i;
        controller->setFaults(faults);
        KSP_PIN request = pinRequest(3, KSPROPERTY_PIN_CINSTANCES);
        KSPIN_CINSTANCES counts{};
        ioctl(bus, filter, &request, sizeof(request), &counts, sizeof(counts));
        os::sleepMs(4);
    }
    EXPECT_TRUE(bus.clockRunning());
    ASSERT_TRUE(bus.unplug(controller));
    EXPECT_EQ(os::waitForOne(threads[0], 10000), os::kWaitObject0);
    os::setEvent(polling.stop);
    EXPECT_EQ(os::waitForOne(threads[1], 10000), os::kWaitObject0);
    for (os::Handle t : threads) os::closeHandle(t);

    EXPECT_GT(streaming.completed, 0u);
    EXPECT_FALSE(streaming.stalled);
    // Both packets fail, or one had just completed and its resubmission fails.
    EXPECT_GE(streaming.failed, 1u);
    EXPECT_EQ(streaming.lastError, os::kErrorDeviceNotConnected);
    EXPECT_GT(polling.passes, 0u);
    // With no pin left running the clock thread ends by itself.
    const uint64_t start = os::nanoseconds();
    while (bus.clockRunning() && os::nanoseconds() - start < 10ull * 1000000000) os::sleepMs(10);
    EXPECT_FALSE(bus.clockRunning());
}

}  // namespace
