// Two controllers whose clocks disagree by 200 ppm (one 100 ppm fast, one
// 100 ppm slow) stream for three minutes of virtual time. The slow one paces
// the host; the fast one's two packets in flight give it some slack, which
// the drift eats up, after which it runs dry for a frame whenever it has
// gained one. No
// correction exists for this; the test measures and prints how often it
// happens and what the host sees and the listener hears, and holds the
// stream to what must still be true.
#include <cstdio>

#include "composite_fixture.h"

using namespace comptest;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
constexpr uint64_t kSeconds = 30;  // sanitizers and Wine make every simulated second dear
#else
constexpr uint64_t kSeconds = 180;
#endif
constexpr uint32_t kFrames = 89;
constexpr uint64_t kStepNs = 100 * kMs;

struct DryRuns {
    uint64_t events = 0;
    uint64_t frames = 0;
};

class CompositeDrift : public CompositeTest {};

TEST_F(CompositeDrift, TwoHundredPpmApartTheFastUnitRunsDryAndTheSlowOnePaces) {
    makeDevice();
    auto fast = plugQelm(+100);
    auto slow = plugQelm(-100);
    enumerate();
    route(0, {0, 1}, {0});
    route(1, {2, 3}, {1});
    TestHost::Options options{{0, 1}, {0, 1, 2, 3}};
    options.keepInputs = true;
    TestHost& h = makeHost(kFrames, options);
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);

    DryRuns render[2], capture[2];
    uint64_t lastRender[2] = {}, lastCapture[2] = {};
    uint64_t firstDryNs = 0;
    for (uint64_t t = kStepNs; t <= kSeconds * 1000 * kMs; t += kStepNs) {
        ASSERT_TRUE(clock->runUntil(t));
        for (int u = 0; u < 2; ++u) {
            const uint64_t r = controllers[u]->renderStats().framesLost;
            const uint64_t c = controllers[u]->captureStats().framesLost;
            if (r > lastRender[u]) ++render[u].events;
            if (r > 0 && firstDryNs == 0) firstDryNs = t;
            if (c > lastCapture[u]) ++capture[u].events;
            render[u].frames = lastRender[u] = r;
            capture[u].frames = lastCapture[u] = c;
        }
    }
    ASSERT_EQ(device->stop(), ASE_OK);
    const std::vector<SwitchSeen> seen = h.seen();
    for (size_t s = 0; s < seen.size(); ++s) ASSERT_EQ(seen[s].position, (s + 1) * kFrames);

    // What the host's inputs show: a jump in a channel's counter is a
    // stretch of capture the hardware took while no packet was queued.
    uint64_t jumps[2] = {};
    for (int input = 0; input < 2; ++input) {
        const std::vector<int32_t> samples = h.inputSeen(input);
        for (size_t i = 2 * kFrames; i < samples.size(); ++i)
            if (static_cast<uint16_t>(samples[i] - samples[i - 1]) != 1) ++jumps[input];
    }
    const double slowPace = kSeconds * 44100.0 * (1.0 - 100e-6) / kFrames;
    std::printf("drift over %llu s at %u frames: %zu switches (slow unit's pace %.1f)\n",
                static_cast<unsigned long long>(kSeconds), kFrames, seen.size(), slowPace);
    const char* names[2] = {"fast (+100 ppm)", "slow (-100 ppm)"};
    for (int u = 0; u < 2; ++u)
        std::printf("  %s: render ran dry %llu times (%llu frames unplayed), capture %llu times (%llu frames "
                    "lost), host input shows %llu jumps\n",
                    names[u], static_cast<unsigned long long>(render[u].events),
                    static_cast<unsigned long long>(render[u].frames),
                    static_cast<unsigned long long>(capture[u].events),
                    static_cast<unsigned long long>(capture[u].frames), static_cast<unsigned long long>(jumps[u]));

    // The slow unit paces the host and never starves.
    EXPECT_NEAR(double(seen.size()), slowPace, 2.0);
    EXPECT_EQ(controllers[1]->renderStats().framesLost, 0u);
    EXPECT_EQ(controllers[1]->captureStats().framesLost, 0u);
    EXPECT_EQ(jumps[1], 0u);
    // The fast one's slack of two queued packets lasts about 5000 periods
    // (two periods at 200 ppm); from then on it runs dry by a frame or so
    // whenever its lead has grown by one more frame: every excess frame is
    // lost, a frame at a time.
    const double excess = 200e-6 * 44100.0 * double(kSeconds);
    const double lost = double(render[0].frames);
    std::printf("  first dry spell after %.1f s; excess frames of the fast unit %.1f, lost %.0f (%.2f a second)\n",
                double(firstDryNs) / 1e9, excess, lost, 200e-6 * 44100.0);
    EXPECT_NEAR(lost, excess - 2.0 * kFrames, double(kFrames));
    EXPECT_EQ(capture[0].frames, render[0].frames);
    EXPECT_GE(render[0].events * 2, render[0].frames) << "dry spells are one or two frames long";
    EXPECT_LE(jumps[0], capture[0].frames);
    EXPECT_GE(jumps[0], capture[0].events) << "each dry spell shows as a jump in the host's input";
    // The driver counts them from its packets' completion times, every one
    // but the few that just reach a frame: it turns times into frames at
    // the nominal rate, which the fast unit beats by 100 ppm.
    for (int u = 0; u < 2; ++u)
        for (const bool input : {false, true}) {
            const sim::StreamStats truth = input ? controllers[u]->captureStats() : controllers[u]->renderStats();
            const UnitGaps counted = device->getUnitGaps(record(u), input);
            EXPECT_LE(counted.gaps, truth.gaps);
            EXPECT_GE(double(counted.gaps), 0.99 * double(truth.gaps));
            EXPECT_EQ(counted.frames, counted.gaps) << "one frame each";
            std::printf("  %s %s: the device lost %llu frames in %llu gaps, the driver counted %llu in %llu\n",
                        names[u], input ? "capture" : "render", static_cast<unsigned long long>(truth.framesLost),
                        static_cast<unsigned long long>(truth.gaps), static_cast<unsigned long long>(counted.frames),
                        static_cast<unsigned long long>(counted.gaps));
        }
    device->disposeBuffers();
}

}  // namespace
