// Controllers plugged and pulled while the host streams, measured by the
// host's buffer switches and sample positions and by what each simulated
// controller played and captured. Time is virtual, so every run is the same.
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

TEST_F(CompositeHotplug, ADevicePluggedDuringTheStreamJoinsWithoutCostingASwitch) {
    makeDevice();
    plugQelm();
    enumerate();
    route(0, outputsFrom(0), {0, 1});
    auto late = prepareUnplugged(1, outputsFrom(8), {2, 3});
    TestHost& h = makeHost(kFrames, {{0, 1, 2, 3}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(20 * kPeriodNs + kPeriodNs / 2);
    const uint64_t before = h.switches();
    ASSERT_EQ(before, 20u);

    bus.replug(late);
    enumerate();  // the splice happens between two packets of the running stream
    EXPECT_EQ(device->getNumberOfUnits(), 4u);
    runFor(30 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    const std::vector<SwitchSeen> seen = h.seen();
    EXPECT_EQ(seen.size(), 50u);
    expectNoSwitchLost(seen);

    // Its first packet already carries host audio: the half the host wrote
    // two switches before the splice, then every block after it.
    expectPlaysBlocks(renderedChannel(*late, 0), before - 2, 8, 25);
    expectPlaysBlocks(renderedChannel(*late, 7), before - 2, 15, 25);
    // Its capture reaches the host at the third switch after the splice.
    const std::vector<int32_t> input2 = h.inputSeen(2);
    for (size_t s = before; s < seen.size(); ++s)
        for (uint32_t f = 0; f < kFrames; ++f) {
            const size_t i = s * kFrames + f;
            const int32_t expected = s < before + 3 ? 0 : sim::captureSignalSample((s - before - 3) * kFrames + f, 0, 16, 16);
            ASSERT_EQ(input2[i], expected) << "switch " << s << " frame " << f;
        }
    // The unit that streamed all along played on without a gap.
    const std::vector<int32_t> steady = renderedChannel(*controllers[0], 3);
    ASSERT_GE(steady.size(), 4 * kFrames);
    expectPlaysBlocks(std::vector<int32_t>(steady.begin() + 4 * kFrames, steady.end()), 0, 3, 45);
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
