// Controllers whose clocks disagree, on the virtual clock, with what USB
// does to completion times (1 ms frames, jitter) and crystals that wander
// and warm up: the short versions of what engine_drift_bench measures over
// an hour (docs/drift.md). The followers are steered to the pacing
// controller's clock: no unit runs dry, no capture frame is lost, nothing
// is realigned; a controller that joins is heard at once and locks; when the
// pacing controller leaves another takes over; controllers that share a
// clock stream bit for bit as they always did. Each prints its figures.
#include <cstdio>

#include "composite_fixture.h"
#include "engine/composite_drift_figures.h"

using namespace comptest;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
constexpr double kScale = 0.34;  // sanitizers and Wine make every simulated second dear
#else
constexpr double kScale = 1.0;
#endif
constexpr uint32_t kFrames = 89;
constexpr uint64_t kSecond = 1000 * kMs;

class CompositeDrift : public CompositeTest {
protected:
    // A QELM (8 outputs, 2 inputs) whose crystal drifts, wanders and warms
    // up as the bus file's keys say, behind USB frames with jitter.
    std::shared_ptr<sim::SimController> plugCrystal(int32_t ppm, double rampPpmPerSecond = 0.0,
                                                   uint32_t jitterUs = 100) {
        auto controller = plugQelm(ppm);
        sim::Faults faults = controller->faults();
        faults.wanderPpm = 3.0;
        faults.rampPpmPerSecond = rampPpmPerSecond;
        faults.rampSeconds = 30;
        faults.jitterUs = jitterUs;
        faults.usbFrames = true;
        controller->setFaults(faults);
        return controller;
    }
    // Routes controller i to outputs 8i.. and inputs 2i.. (i < 2).
    void routeAll() {
        for (size_t i = 0; i < controllers.size() && i < 2; ++i)
            route(i, channelsFrom(static_cast<uint8_t>(8 * i)), {static_cast<uint8_t>(2 * i), static_cast<uint8_t>(2 * i + 1)});
    }
    TestHost& startHost(std::vector<int32_t> inputs = {0, 1, 2, 3}) {
        TestHost::Options options{std::move(inputs), allOutputs()};
        options.keepInputs = false;
        TestHost& h = makeHost(kFrames, options);
        EXPECT_EQ(h.createBuffers(), ASE_OK);
        EXPECT_EQ(device->start(), ASE_OK);
        return h;
    }
    std::unique_ptr<DriftFigures> watch() {
        std::vector<std::pair<const AsioDeviceInfo*, std::shared_ptr<sim::SimController>>> map;
        for (size_t i = 0; i < controllers.size(); ++i) map.emplace_back(record(i), controllers[i]);
        auto figures = std::make_unique<DriftFigures>(44100.0, std::move(map));
        device->setDriftObserver(figures.get());
        return figures;
    }
    uint64_t framesLost(size_t i) const {
        return controllers[i]->renderStats().framesLost + controllers[i]->captureStats().framesLost;
    }
    // The gaps the driver counted in controller i's units (what the host
    // hears of as an overload).
    uint64_t gapsCounted(size_t i) {
        return device->getUnitGaps(record(i), false).gaps + device->getUnitGaps(record(i), true).gaps;
    }
    static void print(const char* what, const DriftFigures& figures) {
        for (const DriftFigures::Unit& u : figures)
            std::printf("[figures] %s, %s follower: peak %.2f frames until steady, steady rms "
                        "%.3f (peak %.2f), 1 s ratio error %.2f ppm rms, largest ratio step %.3f ppm\n",
                        what, u.input ? "capture" : "render", u.peakBeforeSteady, u.steadyRms(),
                        u.steadyPeak, u.ratioErrorRmsPpm(), u.largestRatioStep * 1e6);
    }
};

TEST_F(CompositeDrift, ControllersAThousandPpmEitherWayStreamWithoutAGap) {
    makeDevice();
    plugCrystal(0);
    plugCrystal(-1000, 1.0);  // plays and records
    plugCrystal(+1000, 1.0);  // records
    enumerate();
    routeAll();
    route(2, {}, {4, 5});
    auto figures = watch();
    TestHost& h = startHost({0, 1, 2, 3, 4, 5});
    const uint64_t seconds = static_cast<uint64_t>(60 * kScale);
    runFor(seconds * kSecond);
    ASSERT_EQ(device->stop(), ASE_OK);
    device->setDriftObserver(nullptr);
    expectNoSwitchLost(h.seen(), kFrames);
    print("+-1000 ppm", *figures);
    EXPECT_EQ(framesLost(0), 0u) << "the pacing controller never runs dry";
    EXPECT_EQ(framesLost(1) + framesLost(2), 0u) << "nor do the followers";
    EXPECT_EQ(gapsCounted(0) + gapsCounted(1) + gapsCounted(2), 0u);
    EXPECT_EQ(device->driftRealignments(), 0u) << "a slow follower is steered at the clamp's edge too";
    // The pacing controller's own capture unit shares its clock: it is
    // measured, never converted.
    for (const DriftFigures::Unit& u : *figures) EXPECT_EQ(u.converting, u.record != record(0));
    // The aim is 0.25 frame rms and 2 ppm; through the whole stream (both
    // units' completions, each on its own USB frames) the loop reaches about
    // 0.34 frame and 2.3 ppm over this minute, the warm-up included
    // (docs/drift.md): these bounds catch it getting worse. A shortened run
    // has too few seconds of steady state to judge.
    if (kScale == 1.0) {
        EXPECT_LE(figures->worstSteadyRms(), 0.4);
        EXPECT_LE(figures->worstRatioErrorPpm(), 3.0);
    }
    device->disposeBuffers();
}

// Switched off, the corrector leaves every unit as it was: the faster
// controller runs dry once its slack is spent, and the driver counts it.
TEST_F(CompositeDrift, SwitchedOffNothingIsConvertedAndTheGapsAreCounted) {
    makeDevice();
    device->setDriftCorrection(false);
    plugCrystal(-1000);
    plugCrystal(+1000);
    enumerate();
    routeAll();
    auto figures = watch();
    TestHost& h = startHost();
    runFor(static_cast<uint64_t>(8 * kScale) * kSecond + 2 * kSecond);
    ASSERT_EQ(device->stop(), ASE_OK);
    device->setDriftObserver(nullptr);
    expectNoSwitchLost(h.seen(), kFrames);
    for (const DriftFigures::Unit& u : *figures) EXPECT_FALSE(u.converting);
    EXPECT_GT(framesLost(1), 0u) << "2000 ppm apart, the fast controller's slack lasts about 2 s";
    EXPECT_GT(gapsCounted(1), 0u);
    EXPECT_EQ(device->driftRealignments(), 0u);
    device->disposeBuffers();
}

// Units that share a clock (here: two perfect crystals) never convert:
// every sample played is the host's, as without correction.
TEST_F(CompositeDrift, ControllersThatShareAClockStreamBitForBit) {
    makeDevice();
    plugCrystal(0, 0.0, 20);
    plugCrystal(0, 0.0, 20);
    for (auto& c : controllers) {
        sim::Faults faults = c->faults();
        faults.wanderPpm = 0.0;
        c->setFaults(faults);
        c->setRenderedCap(64u << 20);
    }
    enumerate();
    routeAll();
    auto figures = watch();
    TestHost& h = startHost();
    runFor(static_cast<uint64_t>(20 * kScale) * kSecond);
    ASSERT_EQ(device->stop(), ASE_OK);
    device->setDriftObserver(nullptr);
    const size_t switches = h.seen().size();
    for (size_t i = 0; i < 2; ++i) {
        const std::vector<int32_t> played = renderedChannel(*controllers[i], 3);
        ASSERT_EQ(controllers[i]->renderedByteTotal(), controllers[i]->renderedBytes().size()) << "all kept";
        ASSERT_GE(played.size(), 4 * kFrames);
        expectPlaysBlocks(std::vector<int32_t>(played.begin() + 4 * kFrames, played.end()), 0,
                          static_cast<int32_t>(8 * i + 3), switches - 4, kFrames);
    }
    for (const DriftFigures::Unit& u : *figures) EXPECT_FALSE(u.converting);
    EXPECT_EQ(device->driftRealignments(), 0u);
    device->disposeBuffers();
}

// A controller 1000 ppm off joins the running stream: heard from its first
// packet, unconverted until its drift shows, then switched in and pulled
// into place without a gap or a realignment. (Its largest fill error, the
// converter's delay its switch-in adds and the pull-in glides away, is a
// figure printed here and in docs/drift.md.)
TEST_F(CompositeDrift, AControllerThatJoinsIsHeardAtOnceAndLocksWithoutAGap) {
    makeDevice();
    plugCrystal(0);
    auto late = plugCrystal(+1000);
    enumerate();
    routeAll();
    bus.unplug(late);
    enumerate();
    TestHost& h = startHost();
    runFor(2 * kSecond);
    bus.replug(late);
    auto figures = watch();
    enumerate();
    runFor(static_cast<uint64_t>(12 * kScale) * kSecond);
    ASSERT_EQ(device->stop(), ASE_OK);
    device->setDriftObserver(nullptr);
    expectNoSwitchLost(h.seen(), kFrames);
    print("joined at +1000 ppm", *figures);
    for (const DriftFigures::Unit& u : *figures)
        if (u.record == record(1)) {
            EXPECT_TRUE(u.converting) << "switched in once its drift showed";
            EXPECT_LT(std::fabs(u.lastError), 1.0) << "locked";
        }
    EXPECT_EQ(framesLost(0), 0u);
    EXPECT_EQ(framesLost(1), 0u) << "the joining controller locks without a gap";
    EXPECT_EQ(gapsCounted(0) + gapsCounted(1), 0u);
    EXPECT_EQ(device->driftRealignments(), 0u);
    device->disposeBuffers();
}

// A follower 1000 ppm off is pulled and plugged back, as happens mid-set:
// the driver remembers its crystal, so it comes back converting at the
// ratio it had, heard from its first packet, and never strays by more than
// two frames from where its hardware started, where a controller seen for
// the first time drifts until its drift shows (50 to 70 frames).
TEST_F(CompositeDrift, AControllerPluggedBackStartsAtItsRatioAndStaysWithinTwoFrames) {
    makeDevice();
    plugCrystal(0);
    auto follower = plugCrystal(+1000);
    enumerate();
    routeAll();
    TestHost& h = startHost();
    runFor(10 * kSecond);  // long enough to read its crystal, also where the rest is scaled
    bus.unplug(follower);
    enumerate();
    runFor(kSecond);
    bus.replug(follower);
    auto figures = watch();
    enumerate();
    runFor(static_cast<uint64_t>(8 * kScale) * kSecond);
    ASSERT_EQ(device->stop(), ASE_OK);
    device->setDriftObserver(nullptr);
    expectNoSwitchLost(h.seen(), kFrames);
    print("plugged back at +1000 ppm", *figures);
    size_t rejoined = 0;
    for (const DriftFigures::Unit& u : *figures) {
        if (u.record != record(1)) continue;
        ++rejoined;
        std::printf("[figures] plugged back, %s: held %.2f frames from the others, where its hardware started\n",
                    u.input ? "capture" : "render", u.place);
        EXPECT_TRUE(u.converting);
        EXPECT_LT(std::fabs(u.place), 44.1) << "started within a USB frame of the others";
        EXPECT_LE(u.peakBeforeSteady, 2.0) << (u.input ? "capture" : "render");
        EXPECT_LT(std::fabs(u.lastError), 1.0) << (u.input ? "capture" : "render");
    }
    EXPECT_EQ(rejoined, 2u) << "both of its units measured";
    EXPECT_EQ(framesLost(0), 0u);
    EXPECT_EQ(gapsCounted(0), 0u);
    EXPECT_EQ(device->driftRealignments(), 0u);
    device->disposeBuffers();
}

// The pacing controller is pulled: a follower takes over in the same period
// and the other follower goes on without a step or a gap.
TEST_F(CompositeDrift, WhenThePacingControllerLeavesAnotherTakesOver) {
    makeDevice();
    plugCrystal(0);
    plugCrystal(+500);
    plugCrystal(-300);
    enumerate();
    routeAll();
    route(2, {}, {4, 5});
    TestHost::Options options{{0, 1, 2, 3, 4, 5}, allOutputs()};
    options.keepInputs = false;
    TestHost& h = makeHost(kFrames, options);
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    auto figures = watch();
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(static_cast<uint64_t>(15 * kScale) * kSecond);
    const uint64_t lostBefore = framesLost(1) + framesLost(2);
    bus.unplug(controllers[0]);
    enumerate();
    runFor(static_cast<uint64_t>(10 * kScale) * kSecond);
    ASSERT_EQ(device->stop(), ASE_OK);
    device->setDriftObserver(nullptr);
    expectNoSwitchLost(h.seen(), kFrames);
    print("after a takeover", *figures);
    EXPECT_EQ(framesLost(1) + framesLost(2), lostBefore) << "no follower ran dry";
    EXPECT_EQ(device->driftRealignments(), 0u);
    // The third controller followed the first, then the second, and never
    // strayed by a frame.
    for (const DriftFigures::Unit& u : *figures)
        if (u.record == record(2)) {
            EXPECT_LT(std::fabs(u.lastError), 1.0);
        }
    device->disposeBuffers();
}

// A follower's capture comes back with half its frames (a USB glitch): its
// time line jumps by half a packet, far more than its ratio should make up;
// it is realigned by whole frames, counted, and the stream goes on.
TEST_F(CompositeDrift, AFollowerThatSkipsIsRealignedAndTheStreamGoesOn) {
    makeDevice();
    plugCrystal(0);
    auto follower = plugCrystal(+200);
    enumerate();
    routeAll();
    auto figures = watch();
    TestHost& h = startHost();
    runFor(12 * kSecond);
    sim::Faults faults = follower->faults();
    faults.shortReads = 1;
    follower->setFaults(faults);
    runFor(3 * kSecond);
    ASSERT_EQ(device->stop(), ASE_OK);
    device->setDriftObserver(nullptr);
    expectNoSwitchLost(h.seen(), kFrames);
    EXPECT_EQ(follower->captureStats().shortPackets, 1u);
    EXPECT_EQ(device->driftRealignments(), 1u);
    EXPECT_TRUE(device->hasStream());
    device->disposeBuffers();
}

}  // namespace
