// Every gap a unit's device goes through is counted by the driver from what
// it sees of its packets (when they go out and come back), and the host
// hears of it: the simulated controllers' own counters are the truth the
// counts are held to. Time is virtual; the host stalls in its buffer switch
// as a host on a loaded machine would.
#include <cstdio>
#include <map>

#include "composite_fixture.h"

using namespace comptest;

namespace {

constexpr uint32_t kFrames = 441;
constexpr uint64_t kPeriodNs = 10 * kMs;
constexpr double kFramesPerStep = 44100.0 * VirtualCompositeClock::kDefaultStepNs / 1e9;

class CompositeGaps : public CompositeTest {
protected:
    // Two QELM units in 8+2 streaming outputs 0-15 and inputs 0-3; the host
    // stalls for stalls[n] at switch n.
    TestHost& startTwo(std::map<uint64_t, uint64_t> stalls, bool takesOverloads = true) {
        makeDevice();
        plugQelm();
        plugQelm();
        enumerate();
        route(0, channelsFrom(0), {0, 1});
        route(1, channelsFrom(8), {2, 3});
        TestHost::Options options{{0, 1, 2, 3}, allOutputs()};
        options.takesOverloads = takesOverloads;
        TestHost& h = makeHost(kFrames, options);
        h.onSwitch = [this, stalls](uint64_t number) {
            const auto stall = stalls.find(number);
            if (stall != stalls.end()) clock->stall(stall->second);
        };
        EXPECT_EQ(h.createBuffers(), ASE_OK);
        EXPECT_EQ(device->start(), ASE_OK);
        return h;
    }

    // The driver's count of each unit is the simulator's, gap for gap, and
    // its frames are within what the completion times tell: the virtual
    // clock sees a completion at the end of its 50 us step, up to two frames
    // after it came. Returns the gaps of all units.
    uint64_t expectCountsAsTheDevicesSay() {
        uint64_t all = 0;
        for (size_t u = 0; u < controllers.size(); ++u)
            for (const bool input : {false, true}) {
                const sim::StreamStats truth = input ? controllers[u]->captureStats() : controllers[u]->renderStats();
                const UnitGaps counted = device->getUnitGaps(record(u), input);
                EXPECT_EQ(counted.gaps, truth.gaps) << "unit " << u << (input ? " capture" : " render");
                EXPECT_NEAR(double(counted.frames), double(truth.framesLost), kFramesPerStep * double(truth.gaps))
                    << "unit " << u << (input ? " capture" : " render");
                std::printf("[figures] unit %zu %-7s: device lost %llu frames in %llu gaps; driver counted %llu in %llu\n",
                            u, input ? "capture" : "render", static_cast<unsigned long long>(truth.framesLost),
                            static_cast<unsigned long long>(truth.gaps), static_cast<unsigned long long>(counted.frames),
                            static_cast<unsigned long long>(counted.gaps));
                all += counted.gaps;
            }
        return all;
    }
};

TEST_F(CompositeGaps, AHostLateByMoreThanAPeriodCostsEveryUnitFramesAndEachGapIsCountedAndReported) {
    // The packets queued when the host is called cover two periods: a stall
    // of 1.5 periods costs nothing, of 2.5 and 3.5 every device runs out.
    TestHost& h = startTwo({{10, 15 * kMs}, {20, 25 * kMs}, {40, 35 * kMs}});
    runFor(60 * kPeriodNs + kPeriodNs / 2);
    ASSERT_EQ(device->stop(), ASE_OK);
    expectNoSwitchLost(h.seen(), kFrames);
    EXPECT_EQ(expectCountsAsTheDevicesSay(), 8u) << "each of the four units once per stall beyond a period";
    for (auto& c : controllers) EXPECT_EQ(c->renderStats().gaps, 2u);
    // The host hears of each at the switch after the one it stalled in, on
    // the streaming thread, right before that switch.
    EXPECT_EQ(h.overloads(), (std::vector<uint64_t>{21, 41}));
    EXPECT_EQ(h.misplacedOverloads(), 0u);
    device->disposeBuffers();
}

TEST_F(CompositeGaps, AHostThatDoesNotTakeOverloadMessagesGetsNoneButTheGapsAreCounted) {
    TestHost& h = startTwo({{5, 25 * kMs}}, false);
    runFor(20 * kPeriodNs + kPeriodNs / 2);
    ASSERT_EQ(device->stop(), ASE_OK);
    EXPECT_EQ(expectCountsAsTheDevicesSay(), 4u);
    EXPECT_TRUE(h.overloads().empty());
    device->disposeBuffers();
}

TEST_F(CompositeGaps, AUnitKeptWaitingByAStalledOneLosesWhatTheDeviceSaysAndNoMore) {
    TestHost& h = startTwo({});
    runFor(10 * kPeriodNs + kPeriodNs / 2);
    sim::Faults faults;
    faults.stallPackets = sim::Faults::kAlways;
    controllers[1]->setFaults(faults);
    runFor(30 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    // The healthy unit ran dry while the half waited for the stalled one to
    // be given up: one gap per direction, as long as the wait.
    const sim::StreamStats render = controllers[0]->renderStats();
    const UnitGaps counted = device->getUnitGaps(record(0), false);
    EXPECT_EQ(counted.gaps, 1u);
    EXPECT_EQ(counted.gaps, render.gaps);
    EXPECT_NEAR(double(counted.frames), double(render.framesLost), kFramesPerStep);
    EXPECT_NEAR(double(device->getUnitGaps(record(0), true).frames),
                double(controllers[0]->captureStats().framesLost), kFramesPerStep);
    EXPECT_EQ(h.overloads().size(), 1u);
    device->disposeBuffers();
}

TEST_F(CompositeGaps, ACaptureThatComesBackShortCountsAsAGapOfWhatItLacks) {
    TestHost& h = startTwo({});
    runFor(5 * kPeriodNs + kPeriodNs / 2);
    sim::Faults faults;
    faults.shortReads = 3;
    controllers[0]->setFaults(faults);
    runFor(20 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    EXPECT_EQ(controllers[0]->captureStats().shortPackets, 3u);
    const UnitGaps counted = device->getUnitGaps(record(0), true);
    EXPECT_EQ(counted.gaps, 3u);
    EXPECT_EQ(counted.frames, 3u * (kFrames - kFrames / 2));
    EXPECT_EQ(device->getUnitGaps(record(0), false).gaps, 0u);
    EXPECT_EQ(h.overloads().size(), 3u);
    device->disposeBuffers();
}

TEST_F(CompositeGaps, NothingIsCountedWhileTheHostKeepsUp) {
    TestHost& h = startTwo({});
    runFor(200 * kPeriodNs);
    ASSERT_EQ(device->stop(), ASE_OK);
    EXPECT_EQ(expectCountsAsTheDevicesSay(), 0u);
    EXPECT_TRUE(h.overloads().empty());
    device->disposeBuffers();
}

}  // namespace
