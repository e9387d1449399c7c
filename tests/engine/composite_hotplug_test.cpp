// Controllers plugged and pulled while the host streams, measured by the
// host's buffer switches and sample positions and by what each simulated
// controller played and captured. Time is virtual, so every run is the same.
#include <atomic>
#include <thread>

#include "composite_fixture.h"

using namespace comptest;

namespace {

constexpr uint32_t kFrames = 441;
constexpr uint64_t kPeriodNs = 10 * kMs;

void expectNoSwitchLost(const std::vector<SwitchSeen>& seen) { comptest::expectNoSwitchLost(seen, kFrames); }

void expectPlaysBlocks(const std::vector<int32_t>& played, uint64_t firstBlock, int32_t asioChannel,
                       size_t atLeastBlocks) {
    comptest::expectPlaysBlocks(played, firstBlock, asioChannel, atLeastBlocks, kFrames);
}

std::vector<uint8_t> outputsFrom(uint8_t first) { return channelsFrom(first); }

class CompositeHotplug : public CompositeTest {
protected:
    // Plugs a QELM unit and gives it its routing, then pulls it again, so
    // that it can be plugged in later with that routing in place.
    std::shared_ptr<sim::SimController> prepareUnplugged(size_t index, std::vector<uint8_t> outputs,
                                                         std::vector<uint8_t> inputs) {
        auto controller = plugQelm();
        enumerate();
        route(index, std::move(outputs), std::move(inputs));
        bus.unplug(controller);
        enumerate();
        return controller;
    }
    size_t runningPins() const {
        size_t running = 0;
        for (const auto& c : controllers) running += (c->pinState(false) == KSSTATE_RUN) + (c->pinState(true) == KSSTATE_RUN);
        return running;
    }
};

TEST_F(CompositeHotplug, AConnectedDeviceAddsItsUnitsAtOnceOutsideAStream) {
    makeDevice();
    plugQelm();
    enumerate();
    EXPECT_EQ(device->getNumberOfUnits(), 2u);
    route(0, {5, 6}, {9});
    ASIOChannelInfo info = {};
    info.channel = 6;
    info.isInput = ASIOFalse;
    ASSERT_EQ(device->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOTrue);
    info.isInput = ASIOTrue;
    ASSERT_EQ(device->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
    info.channel = 9;
    ASSERT_EQ(device->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOTrue);

    // Routed to outputs only: the controller comes back as a render unit alone.
    route(0, {5, 6}, {});
    bus.unplug(controllers[0]);
    enumerate();
    EXPECT_EQ(device->getNumberOfUnits(), 0u);
    bus.replug(controllers[0]);
    enumerate();
    EXPECT_EQ(device->getNumberOfUnits(), 1u);
    ASSERT_EQ(device->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
}

TEST_F(CompositeHotplug, ADevicePluggedDuringTheStreamJoinsInStepWithoutAGap) {
    makeDevice();
    plugQelm();
    enumerate();
    route(0, outputsFrom(0), {0, 1});
    // The late unit mirrors outputs 0-7 and records into inputs 2 and 3.
    auto late = prepareUnplugged(1, outputsFrom(0), {2, 3});
    TestHost& h = makeHost(kFrames, {{0, 1, 2, 3}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(20 * kPeriodNs + kPeriodNs / 2);
    const uint64_t before = h.switches();
    ASSERT_EQ(before, 20u);

    bus.replug(late);
    enumerate();  // made ready here; spliced in just before the next switch
    EXPECT_EQ(device->getNumberOfUnits(), 4u);
    runFor(30 * kPeriodNs);
    const std::vector<int32_t> steady = renderedChannel(*controllers[0], 3);
    const std::vector<int32_t> mirrored = renderedChannel(*late, 3);
    ASSERT_EQ(device->stop(), ASE_OK);
    const std::vector<SwitchSeen> seen = h.seen();
    EXPECT_EQ(seen.size(), 50u);
    expectNoSwitchLost(seen);
    for (size_t s = 1; s < seen.size(); ++s)
        ASSERT_EQ(seen[s].systemTime - seen[s - 1].systemTime, kPeriodNs) << "switch " << s << " off its cadence";

    // It plays exactly what the other unit plays, at the same moments (the
    // other played four periods of silence before the host's first block).
    expectJoinedInStep(mirrored, steady, 4 * kFrames, 3, kFrames);
    // It records from its first frame on, without a gap: its first packet
    // ends with the first switch after the splice and reaches the host at
    // the switch after that (the 23rd, index 22), as the other's do.
    const std::vector<int32_t> input2 = h.inputSeen(2);
    for (size_t s = before; s < seen.size(); ++s)
        for (uint32_t f = 0; f < kFrames; ++f) {
            const size_t i = s * kFrames + f;
            const int32_t expected = s < before + 2 ? 0 : sim::captureSignalSample((s - before - 2) * kFrames + f, 0, 16, 16);
            ASSERT_EQ(input2[i], expected) << "switch " << s << " frame " << f;
        }
    for (const auto& c : controllers) {
        EXPECT_EQ(c->renderStats().framesLost, 0u);
        EXPECT_EQ(c->captureStats().framesLost, 0u);
    }
    device->disposeBuffers();
}

// The stream runs on the simulated clock when a controller is plugged in
// (as after the only one was pulled and comes back): the unit takes the
// cadence over without a gap in what it plays or records, and the host's
// switches come one period apart throughout.
TEST_F(CompositeHotplug, AUnitJoiningTheSimulatedClockTakesItsCadenceOverWithoutAGap) {
    makeDevice();
    auto unit = prepareUnplugged(0, outputsFrom(0), {0, 1});
    TestHost& h = makeHost(kFrames, {{0, 1}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(10 * kPeriodNs + kPeriodNs / 3);
    ASSERT_EQ(h.switches(), 10u);
    bus.replug(unit);
    enumerate();
    runFor(120 * kPeriodNs);
    const uint64_t atStop = h.switches();
    ASSERT_EQ(device->stop(), ASE_OK);
    const std::vector<SwitchSeen> seen = h.seen();
    expectNoSwitchLost(seen);
    EXPECT_EQ(atStop, 130u);
    // The simulated clock keeps time in milliseconds: a switch after a
    // command may come up to one late, never two at once.
    for (size_t s = 1; s < seen.size(); ++s)
        ASSERT_NEAR(double(seen[s].systemTime - seen[s - 1].systemTime), double(kPeriodNs), double(kMs))
            << "switch " << s << " off its cadence";
    const sim::StreamStats render = unit->renderStats();
    const sim::StreamStats capture = unit->captureStats();
    EXPECT_EQ(render.framesLost, 0u);
    EXPECT_EQ(capture.framesLost, 0u);
    EXPECT_EQ(capture.gaps, 0u);
    // Its capture is whole from its first frame: silence until the switch
    // two after the splice, then the signal without a frame missing.
    const std::vector<int32_t> input1 = h.inputSeen(1);
    for (size_t i = 0; i < input1.size(); ++i) {
        const size_t first = 12 * kFrames;
        const int32_t expected = i < first ? 0 : sim::captureSignalSample(i - first, 1, 16, 16);
        ASSERT_EQ(input1[i], expected) << "frame " << i;
    }
    // It plays the host's blocks in order after one period of silence, at
    // the output latency of three periods: the block the host writes at
    // switch n (n + 1 periods into the stream) starts playing at n + 4
    // periods; the unit started at 11, so its second packet holds block 8.
    const std::vector<int32_t> played = renderedChannel(*unit, 0);
    ASSERT_GE(played.size(), 100u * kFrames);
    for (size_t j = 0; j < played.size(); ++j) {
        const int32_t expected = j < kFrames ? 0 : outputSignal(8 * kFrames + (j - kFrames), 0, 16);
        ASSERT_EQ(played[j], expected) << "frame " << j;
    }
    device->disposeBuffers();
}

// Real devices may take a while to open a pin: longer than the two packets
// the streaming units have queued. A joining unit is made ready on the
// thread that adds it, so the others play on. (The second brand's DALTO
// opens at 48000 Hz and must open again at the host's 44100.)
TEST_F(CompositeHotplug, APinThatTakesFiftyMillisecondsToOpenCostsTheOthersNothing) {
    makeDevice();
    auto steady = plugQelm();
    enumerate();
    route(0, outputsFrom(0), {0, 1});
    auto slow = plug(sim::Model::Dalto);
    enumerate();
    bus.unplug(slow);
    enumerate();
    TestHost& h = makeHost(kFrames, {{0, 1}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(10 * kPeriodNs + kPeriodNs / 2);

    sim::Faults faults;
    faults.pinCreateDelayMs = 50;
    slow->setFaults(faults);
    bus.replug(slow);
    // The pass that finds it runs on its own thread, as the registry's
    // polling does, while the stream's time goes on.
    std::atomic<bool> added{false};
    std::thread pass([&] {
        enumerate();
        added = true;
    });
    const uint64_t from = clock->now();
    while (!added.load()) runFor(kPeriodNs / 4);
    pass.join();
    EXPECT_GE(clock->now() - from, 100 * kMs) << "a pin for the trial and one at the host's rate, 50 ms each";
    runFor(20 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    expectNoSwitchLost(h.seen());
    EXPECT_EQ(slow->pinState(false), KSSTATE_PAUSE) << "it joined";
    EXPECT_EQ(slow->renderStats().framesLost, 0u);
    EXPECT_EQ(steady->renderStats().framesLost, 0u);
    EXPECT_EQ(steady->captureStats().framesLost, 0u);
    EXPECT_EQ(device->getUnitGaps(record(0), false).gaps, 0u);
    device->disposeBuffers();
}

TEST_F(CompositeHotplug, PullingTheOnlyStreamingDeviceLeavesTheClockRunningAndItsInputsSilent) {
    makeDevice();
    auto only = plugQelm();
    enumerate();
    route(0, outputsFrom(0), {0, 1});
    TestHost& h = makeHost(kFrames, {{0, 1}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(10 * kPeriodNs + kPeriodNs / 2);
    ASSERT_EQ(h.switches(), 10u);
    EXPECT_NE(h.inputSeen(0).back(), 0);

    bus.unplug(only);
    runFor(kPeriodNs);  // the failed packets take the units out of the stream
    enumerate();        // and the disconnection deletes them
    EXPECT_EQ(device->getNumberOfUnits(), 0u);
    const uint64_t pulled = h.switches();
    runFor(20 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    const std::vector<SwitchSeen> seen = h.seen();
    expectNoSwitchLost(seen);
    EXPECT_GE(seen.size(), pulled + 19) << "the simulated clock keeps the host going";
    EXPECT_LE(seen.size(), pulled + 21);
    const std::vector<int32_t> input0 = h.inputSeen(0);
    for (size_t i = (pulled + 1) * kFrames; i < input0.size(); ++i) ASSERT_EQ(input0[i], 0) << i;
    device->disposeBuffers();
}

TEST_F(CompositeHotplug, PullingOneOfTwoDevicesThatFeedAnInputKeepsItFedByTheOther) {
    makeDevice();
    plugQelm();
    auto second = plugQelm();
    enumerate();
    route(0, {}, {0});
    route(1, {}, {0});
    TestHost& h = makeHost(kFrames, {{0}, {}});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(10 * kPeriodNs + kPeriodNs / 2);
    const std::vector<int32_t> summed = h.inputSeen(0);
    for (uint32_t f = 0; f < kFrames; ++f)
        ASSERT_EQ(summed[5 * kFrames + f], 2 * sim::captureSignalSample(4 * kFrames + f, 0, 16, 16));

    bus.unplug(second);
    enumerate();
    const uint64_t pulled = h.switches();
    runFor(10 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    expectNoSwitchLost(h.seen());
    // From the next switch on, the input holds the first device's signal
    // alone, never silence.
    const std::vector<int32_t> input0 = h.inputSeen(0);
    ASSERT_GT(input0.size(), (pulled + 5) * kFrames);
    for (size_t s = pulled + 1; s < input0.size() / kFrames; ++s)
        for (uint32_t f = 0; f < kFrames; ++f)
            ASSERT_EQ(input0[s * kFrames + f], sim::captureSignalSample((s - 1) * kFrames + f, 0, 16, 16))
                << "switch " << s;
    device->disposeBuffers();
}

TEST_F(CompositeHotplug, RemovingTheFirstOfThreeKeepsTheOthersOnTheirOwnPackets) {
    makeDevice();
    auto first = plugQelm();
    plugQelm();
    plugQelm();
    enumerate();
    route(0, outputsFrom(0), {});
    route(1, outputsFrom(8), {});
    route(2, {4, 5, 6, 7, 8, 9, 10, 11}, {});
    TestHost& h = makeHost(kFrames, {{}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(10 * kPeriodNs + kPeriodNs / 2);
    bus.unplug(first);
    enumerate();
    runFor(20 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    expectNoSwitchLost(h.seen());
    EXPECT_EQ(h.switches(), 30u);
    for (size_t unit = 1; unit < 3; ++unit) {
        const std::vector<int32_t> played = renderedChannel(*controllers[unit], 0);
        ASSERT_GE(played.size(), 4 * kFrames);
        expectPlaysBlocks(std::vector<int32_t>(played.begin() + 4 * kFrames, played.end()), 0, unit == 1 ? 8 : 4,
                          25);
    }
    device->disposeBuffers();
}

TEST_F(CompositeHotplug, RemovingTheLastAwaitedUnitSwitchesAtOnce) {
    makeDevice();
    plugQelm(-5000);  // its packets complete late; it paces the stream
    plugQelm();
    enumerate();
    route(0, outputsFrom(0), {});
    route(1, outputsFrom(8), {});
    TestHost& h = makeHost(kFrames, {{}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    // The punctual unit has completed its tenth packet, the slow one not yet.
    runFor(10 * kPeriodNs + kPeriodNs / 40);
    const uint64_t waiting = h.switches();
    EXPECT_EQ(waiting, 9u);
    const uint64_t heldAt = clock->now();
    device->removeDevice(record(0)->getRenderFilter());
    EXPECT_EQ(h.switches(), waiting + 1) << "the half was complete once the slow unit had gone";
    EXPECT_EQ(clock->now(), heldAt);
    runFor(5 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    expectNoSwitchLost(h.seen());
    device->disposeBuffers();
}

TEST_F(CompositeHotplug, MoreRequestingUnitsThanCanStreamLeaveTheRestWaiting) {
    makeDevice();
    for (int i = 0; i < 9; ++i) plugQelm();
    enumerate();
    ASSERT_EQ(device->getNumberOfUnits(), 18u);
    for (size_t i = 0; i < 9; ++i) route(i, {0}, {0});
    TestHost& h = makeHost(kFrames, {{0}, {0}});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(10 * kPeriodNs + kPeriodNs / 2);
    EXPECT_EQ(runningPins(), CompositeKsAudioDevice::kMaxActiveUnits);
    // And one more while streaming stays out too.
    plugQelm();
    enumerate();
    route(9, {0}, {0});
    runFor(5 * kPeriodNs);
    EXPECT_EQ(runningPins(), CompositeKsAudioDevice::kMaxActiveUnits);
    ASSERT_EQ(device->stop(), ASE_OK);
    expectNoSwitchLost(h.seen());
    EXPECT_EQ(h.switches(), 15u);
    device->disposeBuffers();
    EXPECT_EQ(device->getNumberOfUnits(), 20u);
}

TEST_F(CompositeHotplug, AUnitThatLeftAStreamAfterAFailureStreamsAgainInTheNext) {
    makeDevice();
    auto flaky = plugQelm();
    enumerate();
    route(0, outputsFrom(0), {0, 1});
    sim::Faults faults = flaky->faults();
    faults.failStateChange = 1;  // one refused state change, then it works again
    flaky->setFaults(faults);
    TestHost& h = makeHost(kFrames, {{0, 1}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(5 * kPeriodNs + kPeriodNs / 2);
    EXPECT_EQ(runningPins(), 1u) << "the unit whose state change failed is out of this stream";
    ASSERT_EQ(device->stop(), ASE_OK);
    ASSERT_EQ(device->disposeBuffers(), ASE_OK);

    // The host starts again (as after a reset request): both units are back.
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(5 * kPeriodNs + kPeriodNs / 2);
    EXPECT_EQ(runningPins(), 2u);
    ASSERT_EQ(device->stop(), ASE_OK);
    ASSERT_EQ(device->disposeBuffers(), ASE_OK);
}

TEST_F(CompositeHotplug, ADeviceEventDuringTearDownIsNeitherLostNorLeftWaiting) {
    makeDevice();
    for (int round = 0; round < 12; ++round) {
        TestHost& h = makeHost(kFrames, {{0}, {0}});
        ASSERT_EQ(h.createBuffers(), ASE_OK);
        ASSERT_EQ(device->start(), ASE_OK);
        runFor(3 * kPeriodNs);
        auto controller = plugQelm();
        const size_t units = device->getNumberOfUnits();
        std::thread poller([this] { enumerate(); });
        if (round % 3 == 1) os::sleepMs(1);
        device->stop();
        EXPECT_EQ(device->disposeBuffers(), ASE_OK);
        poller.join();
        EXPECT_EQ(device->getNumberOfUnits(), units + 2) << "round " << round;
        EXPECT_FALSE(device->hasStream());
    }
}

}  // namespace
