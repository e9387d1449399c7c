// What real USB audio devices do to a running stream, one fault at a time
// on one of two streaming controllers: the faulty one leaves the stream
// (and comes back when it can), the other loses no buffer switch. Each test
// prints its figures: switches, sample positions and what the healthy unit
// lost on the hardware side. Time is virtual, so every run is the same.
#include <cstdio>
#include <string>

#include "composite_fixture.h"

using namespace comptest;

namespace {

constexpr uint32_t kFrames = 441;
constexpr uint64_t kPeriodNs = 10 * kMs;

class CompositeFaults : public CompositeTest {
protected:
    // Two QELM units in 8+2: the healthy one plays outputs 0-7 and captures
    // into inputs 0-1, the faulty one plays 8-15 and captures into 2-3. The
    // host has streamed `periods` periods when this returns.
    void startTwo(const sim::Faults& faultyFromStart = sim::Faults(), uint64_t periods = 10) {
        sim::ControllerConfig config;
        config.layout = sim::QelmLayout::EightTwo;
        config.faults = faultyFromStart;
        startTwo(config, periods);
    }
    // The same with the faulty unit described in full (its serial is set here).
    void startTwo(sim::ControllerConfig faultyConfig, uint64_t periods) {
        makeDevice();
        healthy = plugQelm();
        faultyConfig.serial = sim::widen("FAULTY" + std::to_string(serials++));
        faulty = bus.plug(faultyConfig);
        ASSERT_TRUE(faulty);
        controllers.push_back(faulty);
        enumerate();
        route(0, channelsFrom(0), {0, 1});
        route(1, channelsFrom(8), {2, 3});
        TestHost& h = makeHost(kFrames, {{0, 1, 2, 3}, allOutputs()});
        ASSERT_EQ(h.createBuffers(), ASE_OK);
        ASSERT_EQ(device->start(), ASE_OK);
        runFor(periods * kPeriodNs + kPeriodNs / 2);
    }
    void inject(const sim::Faults& faults) { faulty->setFaults(faults); }
    // Injects the faults and lets `periods` pass: the faulty unit has left,
    // the healthy one streams.
    void injectUntilItLeaves(const sim::Faults& faults, uint64_t periods) {
        inject(faults);
        runFor(periods * kPeriodNs);
        EXPECT_FALSE(streams(faulty));
        EXPECT_TRUE(streams(healthy));
    }
    bool streams(const std::shared_ptr<sim::SimController>& unit) const {
        return unit->pinState(false) == KSSTATE_RUN && unit->pinState(true) == KSSTATE_RUN;
    }

    // Stops the stream and checks what the healthy unit and the host saw:
    // every switch in order, every host block played by the healthy unit,
    // and every block of an input the faulty unit fed either its signal or
    // silence, never anything else. Prints the figures.
    void finish(const char* fault, uint64_t expectedSwitches, bool faultyEverFed = true) {
        ASSERT_EQ(device->stop(), ASE_OK);
        const std::vector<SwitchSeen> seen = host->seen();
        expectNoSwitchLost(seen, kFrames);
        EXPECT_EQ(seen.size(), expectedSwitches);
        const std::vector<int32_t> played = renderedChannel(*healthy, 5);
        ASSERT_GE(played.size(), 4 * kFrames);
        // Four packets go out before the host's first block: two primed ones
        // and two converted from halves the host had not written yet.
        expectPlaysBlocks(std::vector<int32_t>(played.begin() + 4 * kFrames, played.end()), 0, 5,
                          expectedSwitches - 6, kFrames);
        expectSignalOrSilence(host->inputSeen(2), faultyEverFed);
        const sim::StreamStats render = healthy->renderStats();
        // What the healthy unit lost, the driver counted.
        const UnitGaps counted = device->getUnitGaps(record(0), false);
        EXPECT_EQ(counted.gaps, render.gaps);
        EXPECT_NEAR(double(counted.frames), double(render.framesLost), 3.0 * double(render.gaps));
        std::printf("[figures] %-26s switches %llu of %llu, positions continuous; healthy unit: %llu packets, "
                    "%llu hardware frames without a packet (driver counted %llu in %llu gaps)\n",
                    fault, static_cast<unsigned long long>(seen.size()),
                    static_cast<unsigned long long>(expectedSwitches),
                    static_cast<unsigned long long>(render.packetsCompleted),
                    static_cast<unsigned long long>(render.framesLost),
                    static_cast<unsigned long long>(counted.frames), static_cast<unsigned long long>(counted.gaps));
        device->disposeBuffers();
    }
    // Every host input block is silence or a run of the capture signal (each
    // sample one more than the one before), never anything else.
    static void expectSignalOrSilence(const std::vector<int32_t>& input, bool someSignal) {
        uint64_t signalBlocks = 0;
        for (size_t block = 0; block < input.size() / kFrames; ++block) {
            const int32_t* samples = input.data() + block * kFrames;
            bool silent = true, counting = true;
            for (uint32_t f = 0; f < kFrames; ++f) {
                silent = silent && samples[f] == 0;
                counting = counting && static_cast<int16_t>(samples[f] - samples[0]) == static_cast<int16_t>(f);
            }
            ASSERT_TRUE(silent || counting) << "block " << block << " holds neither the signal nor silence";
            signalBlocks += counting ? 1 : 0;
        }
        if (someSignal) {
            EXPECT_GT(signalBlocks, 0u);
        }
    }

    std::shared_ptr<sim::SimController> healthy;
    std::shared_ptr<sim::SimController> faulty;
};

TEST_F(CompositeFaults, AUnitWhosePacketsFailLeavesTheStream) {
    startTwo();
    sim::Faults faults;
    faults.failPackets = sim::Faults::kAlways;
    injectUntilItLeaves(faults, 20);
    // Its inputs are silent from then on, never fed from a failed packet.
    const std::vector<int32_t> input2 = host->inputSeen(2);
    for (size_t i = input2.size() - 10 * kFrames; i < input2.size(); ++i) ASSERT_EQ(input2[i], 0) << i;
    finish("fail-packets=always", 30);
}

// Across a sleep and resume a device fails every request for a while, then
// works again without being unplugged: one enumeration pass brings it back.
TEST_F(CompositeFaults, AUnitWhosePacketsFailedForAWhileStreamsAgainWithinOnePass) {
    startTwo();
    sim::Faults faults;
    faults.failPackets = sim::Faults::kAlways;
    injectUntilItLeaves(faults, 10);
    enumerate();  // still failing: it tries, fails and leaves again
    runFor(5 * kPeriodNs);
    EXPECT_FALSE(streams(faulty));
    inject(sim::Faults());
    faulty->clearRendered();
    enumerate();
    runFor(10 * kPeriodNs);
    EXPECT_TRUE(streams(faulty));
    // In step with the healthy unit from its second packet on, which plays
    // host frame i - 4 periods at its frame i (see finish); halfway through
    // a period both have completed the same packets.
    expectJoinedInStep(renderedChannel(*faulty, 2), renderedChannel(*healthy, 5), 4 * kFrames, 10, kFrames);
    finish("fail-packets, then works", 35);
}

TEST_F(CompositeFaults, ACaptureThatComesBackEmptyLeavesTheStream) {
    startTwo();
    sim::Faults faults;
    faults.emptyReads = sim::Faults::kAlways;
    inject(faults);
    runFor(20 * kPeriodNs);
    EXPECT_NE(faulty->pinState(true), KSSTATE_RUN);
    EXPECT_EQ(faulty->captureStats().emptyPackets, 1u) << "one empty packet, not one per period";
    finish("empty-reads=always", 30);
}

// The wait for a half is limited to 16 periods (at least 100 ms): 160 ms at
// 441 frames and 44.1 kHz. A unit that has not completed by then leaves.
TEST_F(CompositeFaults, AStalledUnitLeavesAndTheOtherGoesOn) {
    startTwo();
    sim::Faults faults;
    faults.stallPackets = sim::Faults::kAlways;
    injectUntilItLeaves(faults, 40);
    // The first packet the faulty unit submits after the fault never comes
    // back: the half that waits for it, due at period 12, ends at the limit
    // (period 28), when the unit leaves. The healthy unit's two packets
    // have completed long before and switch two halves at once; then it
    // paces again. In 50.5 periods: 12 + 2 + 23 switches, none lost.
    finish("stall=always", 37);
}

TEST_F(CompositeFaults, WhenTheOnlyUnitStallsTheSimulatedClockTakesOver) {
    makeDevice();
    faulty = plugQelm();
    enumerate();
    route(0, channelsFrom(0), {0, 1});
    TestHost& h = makeHost(kFrames, {{0, 1}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(10 * kPeriodNs + kPeriodNs / 2);
    sim::Faults faults;
    faults.stallPackets = sim::Faults::kAlways;
    inject(faults);
    runFor(40 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    EXPECT_FALSE(streams(faulty));
    expectNoSwitchLost(h.seen(), kFrames);
    EXPECT_GE(h.switches(), 34u) << "the host was called again after the limit";
    device->disposeBuffers();
}

// Another program holds the controller's pins: the host is told so in the
// error text, and the unit joins at the next enumeration pass once they are
// free, without the host starting again.
TEST_F(CompositeFaults, AUnitHeldByAnotherProgramIsReportedAndJoinsOnceFree) {
    sim::Faults faults;
    faults.inUse = true;
    startTwo(faults);
    EXPECT_EQ(device->getNumberOfUnits(), 2u) << "only the healthy unit's";
    char text[kDeviceProblemTextSize] = {};
    ASSERT_TRUE(device->getUnitProblem(text, sizeof(text)));
    EXPECT_NE(std::string(text).find("in use by another program"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("QELM " + sim::narrow(faulty->serial())), std::string::npos) << text;
    runFor(5 * kPeriodNs);
    EXPECT_FALSE(streams(faulty));

    inject(sim::Faults());  // the other program lets go
    enumerate();
    runFor(10 * kPeriodNs);
    EXPECT_TRUE(streams(faulty));
    EXPECT_FALSE(device->getUnitProblem(text, sizeof(text))) << text;
    // The unit that joined plays the host's audio.
    const std::vector<int32_t> played = renderedChannel(*faulty, 0);
    EXPECT_GE(played.size(), 8u * kFrames);
    finish("in-use, then free", 25);
}

TEST_F(CompositeFaults, ABusyUnitIsTriedAgainWhenTheHostCreatesBuffers) {
    makeDevice();
    faulty = plugQelm();
    sim::Faults faults;
    faults.inUse = true;
    faulty->setFaults(faults);
    enumerate();
    route(0, channelsFrom(0), {0, 1});
    EXPECT_EQ(device->getNumberOfUnits(), 0u);
    faulty->setFaults(sim::Faults());
    TestHost& h = makeHost(kFrames, {{0, 1}, allOutputs()});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    EXPECT_EQ(device->getNumberOfUnits(), 2u);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(5 * kPeriodNs);
    EXPECT_TRUE(streams(faulty));
    ASSERT_EQ(device->stop(), ASE_OK);
    device->disposeBuffers();
}

// Disabling a controller or updating its driver asks every program to close
// its handles first; one that keeps them open makes the removal fail.
TEST_F(CompositeFaults, ARemovalTheSystemAsksForIsGranted) {
    startTwo();
    EXPECT_TRUE(bus.requestRemoval(faulty));
    EXPECT_EQ(faulty->removalVetoes(), 0u);
    EXPECT_EQ(device->getNumberOfUnits(), 2u);
    runFor(10 * kPeriodNs);
    enumerate();  // the registry sees it gone
    runFor(10 * kPeriodNs);
    EXPECT_TRUE(streams(healthy));
    finish("query-remove, granted", 30);
}

TEST_F(CompositeFaults, ARemovalCalledOffBringsTheUnitBack) {
    startTwo();
    // Another program keeps a handle to the controller: the removal fails.
    HANDLE other = bus.openDevice(faulty->interfacePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(bus.requestRemoval(faulty));
    EXPECT_EQ(faulty->removalVetoes(), 1u);
    EXPECT_GT(faulty->renderStats().packetsFailed, 0u) << "its pins were closed for the query";
    bus.closeDevice(other);
    runFor(10 * kPeriodNs);
    EXPECT_TRUE(streams(faulty)) << "reopened when the removal was called off";
    EXPECT_EQ(device->getNumberOfUnits(), 4u);
    finish("query-remove, refused", 20);
}

// A device whose allocator framing asks for larger packets than the host's
// buffer gives never streams what it cannot take; the host is told why.
TEST_F(CompositeFaults, AUnitThatNeedsLargerPacketsStaysOutAndSaysSo) {
    sim::Faults faults;
    faults.framingBytes = 600 * 16;  // 600 frames of its 8-channel render pin
    startTwo(faults);
    EXPECT_FALSE(streams(faulty));
    EXPECT_EQ(faulty->renderStats().packetsFailed + faulty->captureStats().packetsFailed, 0u)
        << "packets the device cannot take were sent to it";
    char text[kDeviceProblemTextSize] = {};
    ASSERT_TRUE(device->getUnitProblem(text, sizeof(text)));
    EXPECT_NE(std::string(text).find("needs buffers of at least"), std::string::npos) << text;
    runFor(10 * kPeriodNs);
    finish("framing above the buffer", 20, false);

    // A buffer that is large enough streams.
    faulty->setFaults(faults);
    TestHost& larger = makeHost(2400, {{0, 1, 2, 3}, allOutputs()});
    ASSERT_EQ(larger.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(200 * kMs);
    EXPECT_TRUE(streams(faulty));
    EXPECT_FALSE(device->getUnitProblem(text, sizeof(text))) << text;
    ASSERT_EQ(device->stop(), ASE_OK);
    device->disposeBuffers();
}

// What only touches finding and opening a unit: it streams beside the other.
TEST_F(CompositeFaults, UnitsTheSystemListsOddlyOrThatWantOtherFormatsStream) {
    struct Case {
        const char* name;
        void (*shape)(sim::ControllerConfig&);
    };
    const Case cases[] = {
        {"alias-less-first", [](sim::ControllerConfig& c) { c.faults.aliasLessFirst = true; }},
        {"hid-collections=2", [](sim::ControllerConfig& c) { c.hidCollections = 2; }},
        {"extensible-only, mask 0", [](sim::ControllerConfig& c) {
             c.faults.extensibleOnly = true;
             c.faults.channelMask = 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ControllerConfig config;
        config.layout = sim::QelmLayout::EightTwo;
        c.shape(config);
        startTwo(config, 10);
        EXPECT_TRUE(streams(faulty));
        runFor(10 * kPeriodNs);
        finish(c.name, 20);
        host.reset();
        device.reset();
        bus.unplug(healthy);
        bus.unplug(faulty);
        enumerate();
        registry->removeDevice(record(1));
        registry->removeDevice(record(0));
        controllers.clear();
    }
}

TEST_F(CompositeFaults, AUnitRemovedWithPacketsPendingLetsGoOfThemBeforeItsMemory) {
    sim::Faults faults;
    faults.lateCancel = true;  // cancelled packets come back after the cancel
    startTwo(faults);
    device->removeDevice(record(1)->getRenderFilter());
    device->removeDevice(record(1)->getCaptureFilter());
    EXPECT_EQ(device->getNumberOfUnits(), 2u);
    runFor(20 * kPeriodNs);
    EXPECT_EQ(bus.completionsAfterClose(), 0u) << "a completion landed in a unit's freed packets";
    EXPECT_EQ(faulty->pinsClosedUnstopped(), 0u);
    finish("late-cancel, removed", 30);
}

}  // namespace
