// The composite device's contract with its host: channels and buffers, the
// simulated clock with no controller attached, rates, time info, and what
// happens after the streaming thread has failed.
#include <algorithm>
#include <cmath>
#include <limits>

#include "composite_fixture.h"

using namespace comptest;

namespace {

constexpr uint32_t kFrames = 441;  // 10 ms at 44100 Hz
constexpr uint64_t kPeriodNs = 10 * kMs;

// A clock whose wait fails once armed: the streaming thread then ends.
class FailingClock final : public CompositeClockIf {
public:
    explicit FailingClock(CompositeClockIf& inner) : inner_(inner) {}
    uint32_t tickMs() override { return inner_.tickMs(); }
    uint64_t nanoseconds() override { return inner_.nanoseconds(); }
    uint32_t waitForAny(const os::Handle* handles, uint32_t count, uint32_t timeoutMs) override {
        if (fail.load()) return os::kWaitFailed;
        return inner_.waitForAny(handles, count, timeoutMs);
    }
    uint64_t blockedWaitNs() const override { return inner_.blockedWaitNs(); }
    std::atomic<bool> fail{false};

private:
    CompositeClockIf& inner_;
};

TEST_F(CompositeTest, ReportsSixteenChannelsEachWayAndTheBrandsSampleType) {
    makeDevice();
    int32_t inputs = 0, outputs = 0;
    EXPECT_EQ(device->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 16);
    EXPECT_EQ(outputs, 16);
    ASIOChannelInfo info = {};
    info.channel = 15;
    info.isInput = ASIOTrue;
    EXPECT_EQ(device->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTInt16LSB);
    EXPECT_EQ(info.isActive, ASIOFalse);
    info.channel = 16;
    EXPECT_EQ(device->getChannelInfo(&info), ASE_InvalidParameter);
    EXPECT_EQ(device->outputReady(), ASE_NotPresent);
}

TEST_F(CompositeTest, RefusesBadBufferRequestsWithNothingLeftBehind) {
    makeDevice();
    TestHost& h = makeHost(kFrames, {{3}, {3}});
    EXPECT_EQ(device->start(), ASE_NotPresent);
    ASIOCallbacks* callbacks = h.callbacks();
    std::vector<ASIOBufferInfo> infos(33, ASIOBufferInfo{ASIOFalse, 0, {nullptr, nullptr}});
    for (int32_t i = 0; i < 33; ++i) infos[i] = {i < 16 ? ASIOTrue : ASIOFalse, i % 16, {nullptr, nullptr}};
    EXPECT_EQ(device->createBuffers(infos.data(), 33, kFrames, callbacks), ASE_InvalidParameter);
    ASIOBufferInfo sixteen[] = {{ASIOTrue, 16, {nullptr, nullptr}}};
    EXPECT_EQ(device->createBuffers(sixteen, 1, kFrames, callbacks), ASE_InvalidParameter);
    ASIOBufferInfo negative[] = {{ASIOFalse, -1, {nullptr, nullptr}}};
    EXPECT_EQ(device->createBuffers(negative, 1, kFrames, callbacks), ASE_InvalidParameter);
    ASIOBufferInfo twice[] = {{ASIOTrue, 3, {nullptr, nullptr}}, {ASIOTrue, 3, {nullptr, nullptr}}};
    EXPECT_EQ(device->createBuffers(twice, 2, kFrames, callbacks), ASE_InvalidParameter);
    EXPECT_EQ(twice[0].buffers[0], nullptr);
    ASIOBufferInfo one[] = {{ASIOTrue, 3, {nullptr, nullptr}}};
    EXPECT_EQ(device->createBuffers(one, 1, 0, callbacks), ASE_InvalidParameter);
    EXPECT_EQ(device->createBuffers(one, 1, kFrames, nullptr), ASE_InvalidParameter);
    EXPECT_FALSE(device->hasStream());
    EXPECT_EQ(device->getCallbacks(), nullptr);

    // Input 3 and output 3 are two distinct pairs.
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    EXPECT_TRUE(device->hasStream());
    EXPECT_EQ(device->getCallbacks(), callbacks);
    const auto& made = h.infos();
    std::vector<void*> pointers = {made[0].buffers[0], made[0].buffers[1], made[1].buffers[0], made[1].buffers[1]};
    std::sort(pointers.begin(), pointers.end());
    EXPECT_EQ(std::unique(pointers.begin(), pointers.end()), pointers.end());
    EXPECT_NE(pointers[0], nullptr);
    EXPECT_EQ(h.createBuffers(), ASE_InvalidMode);  // buffers exist already
    EXPECT_EQ(device->disposeBuffers(), ASE_OK);
    EXPECT_FALSE(device->hasStream());
    EXPECT_EQ(device->getCallbacks(), nullptr);
}

TEST_F(CompositeTest, SimulatedClockSwitchesOnlyWhileRunningAtTheHostsPace) {
    makeDevice();
    TestHost& h = makeHost(kFrames, {{0}, {0}});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    runFor(10 * kPeriodNs);
    EXPECT_EQ(h.switches(), 0u) << "no buffer switch before start";

    const uint64_t started = clock->now();
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(50 * kPeriodNs + kPeriodNs / 2);
    ASSERT_EQ(device->stop(), ASE_OK);
    const std::vector<SwitchSeen> seen = h.seen();
    ASSERT_EQ(seen.size(), 50u);
    for (size_t s = 0; s < seen.size(); ++s) {
        EXPECT_EQ(seen[s].half, static_cast<int32_t>(s % 2));
        EXPECT_EQ(seen[s].position, (s + 1) * kFrames);
        EXPECT_FALSE(seen[s].timeInfo);
    }
    // Every buffer-size / rate seconds, to the millisecond the clock counts in.
    const uint64_t epoch = clock->nanoseconds() - clock->now();
    for (size_t s = 0; s < seen.size(); ++s) {
        const int64_t expected = static_cast<int64_t>(epoch + started + (s + 1) * kPeriodNs);
        EXPECT_LE(std::llabs(static_cast<int64_t>(seen[s].systemTime) - expected), static_cast<int64_t>(kMs)) << s;
    }

    runFor(20 * kPeriodNs);
    EXPECT_EQ(h.switches(), 50u) << "no buffer switch after stop";
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(3 * kPeriodNs + kPeriodNs / 2);
    const std::vector<SwitchSeen> again = h.seen();
    ASSERT_EQ(again.size(), 53u);
    EXPECT_EQ(again[50].position, kFrames) << "start begins the count again";
    EXPECT_EQ(device->disposeBuffers(), ASE_OK);
}

TEST_F(CompositeTest, SimulatedClockCatchesUpAfterAStallWithOneSwitch) {
    makeDevice();
    TestHost& h = makeHost(kFrames, {{}, {0}});
    // The host stalls for five periods inside its tenth switch.
    h.onSwitch = [this](uint64_t number) {
        if (number == 9) clock->stall(5 * kPeriodNs);
    };
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(30 * kPeriodNs + kPeriodNs / 2);
    device->stop();
    const std::vector<SwitchSeen> seen = h.seen();
    // 30 periods with five of them lost in the stall: one switch at once to
    // resynchronise, no burst of the missed ones.
    ASSERT_EQ(seen.size(), 26u);
    // The tenth switch is stamped before the host stalled in it.
    const int64_t afterStall = static_cast<int64_t>(seen[10].systemTime - seen[9].systemTime);
    EXPECT_GE(afterStall, static_cast<int64_t>(5 * kPeriodNs));
    EXPECT_LE(afterStall, static_cast<int64_t>(5 * kPeriodNs + kMs)) << "the switch after the stall comes at once";
    for (size_t s = 11; s < seen.size(); ++s)
        EXPECT_NEAR(double(seen[s].systemTime - seen[s - 1].systemTime), double(kPeriodNs), double(kMs)) << s;
    device->disposeBuffers();
}

// A host may stop from inside its buffer switch, with a unit streaming and
// on the simulated clock alike: that switch is the last one, and a later
// start streams again. What waits for the stream cannot come from there.
TEST_F(CompositeTest, StopFromInsideTheBufferSwitchMakesThatSwitchTheLast) {
    for (const bool withUnit : {true, false}) {
        SCOPED_TRACE(withUnit ? "a unit streams" : "simulated clock");
        makeDevice();
        if (withUnit && controllers.empty()) {
            plugQelm();
            enumerate();
            route(0, {0, 1}, {0, 1});
        }
        TestHost& h = makeHost(kFrames, {{0}, {0}});
        ASIOError insideStop = ASE_NotPresent;
        ASIOError insideDispose = ASE_OK;
        h.onSwitch = [&](uint64_t number) {
            if (number != 4) return;
            insideStop = device->stop();
            insideDispose = device->disposeBuffers();
        };
        ASSERT_EQ(h.createBuffers(), ASE_OK);
        ASSERT_EQ(device->start(), ASE_OK);
        runFor(20 * kPeriodNs);
        EXPECT_EQ(insideStop, ASE_OK);
        EXPECT_EQ(insideDispose, ASE_InvalidMode);
        EXPECT_EQ(h.switches(), 5u);
        h.onSwitch = nullptr;
        ASSERT_EQ(device->stop(), ASE_OK);
        ASSERT_EQ(device->start(), ASE_OK);
        runFor(3 * kPeriodNs + kPeriodNs / 2);
        EXPECT_GE(h.switches(), 7u);
        EXPECT_EQ(device->disposeBuffers(), ASE_OK);
        host.reset();
        device.reset();
    }
}

TEST_F(CompositeTest, TimeInfoOnlyWhenTheHostSaidYesAndGaveTheCallback) {
    makeDevice();
    struct Case {
        int32_t answer;
        bool callback;
        bool expectTimeInfo;
    };
    for (const Case c : {Case{1, true, true}, Case{0, true, false}, Case{1, false, false}}) {
        TestHost& h = makeHost(kFrames, {{}, {0}, c.answer, c.callback});
        ASSERT_EQ(h.createBuffers(), ASE_OK);
        ASSERT_EQ(device->start(), ASE_OK);
        runFor(3 * kPeriodNs + kPeriodNs / 2);
        device->stop();
        const std::vector<SwitchSeen> seen = h.seen();
        ASSERT_EQ(seen.size(), 3u);
        for (const SwitchSeen& s : seen) EXPECT_EQ(s.timeInfo, c.expectTimeInfo);
        if (c.expectTimeInfo) {
            const AsioTimeInfo& info = h.lastTimeInfo_.timeInfo;
            EXPECT_EQ((uint64_t(info.samplePosition.hi) << 32) | info.samplePosition.lo, 3u * kFrames);
            EXPECT_EQ(info.sampleRate, 44100.0);
            EXPECT_EQ(info.flags & 7u, 7u);
            EXPECT_EQ(h.lastTimeInfo_.timeCode.flags, kAsioTimeCodeValid | kAsioTimeCodeRunning);
        }
        device->disposeBuffers();
    }
}

TEST_F(CompositeTest, RatesThatAreNoFiniteNumberAboveZeroAreRefused) {
    makeDevice();
    plugQelm();
    enumerate();
    ASSERT_EQ(device->getNumberOfUnits(), 2u);
    const double bad[] = {0.0, -44100.0, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    for (double rate : bad) {
        EXPECT_EQ(device->canSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(device->setSampleRate(rate), ASE_NoClock) << rate;
    }
    ASIOSampleRate rate = 0.0;
    EXPECT_EQ(device->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.0);
    EXPECT_EQ(device->canSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(device->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(device->setSampleRate(44100.0), ASE_OK);
}

TEST_F(CompositeTest, ARateChangeWithoutUnitsTellsTheHostOnceAndRepacesTheClock) {
    makeDevice();
    TestHost& h = makeHost(480, {{}, {0}, 1, true});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    EXPECT_EQ(device->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(device->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(h.rateChanges(), 1u);
    runFor(20 * kPeriodNs + kPeriodNs / 2);  // 480 frames at 48000 Hz: 10 ms
    device->stop();
    EXPECT_EQ(h.switches(), 20u);
    EXPECT_EQ(h.lastTimeInfo_.timeInfo.sampleRate, 48000.0);
    device->disposeBuffers();
}

TEST_F(CompositeTest, AFailedWaitEndsTheStreamWithoutHangingLaterCommands) {
    FailingClock failing(*clock);
    HRESULT result = E_FAIL;
    device = std::make_unique<CompositeKsAudioDevice>(registry.get(), &result, &failing);
    ASSERT_EQ(result, S_OK);
    TestHost& h = makeHost(kFrames, {{0}, {0}});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(5 * kPeriodNs + kPeriodNs / 2);
    EXPECT_EQ(h.switches(), 5u);
    failing.fail = true;
    // The thread's next wait fails and ends it; nothing may wait for it.
    EXPECT_EQ(device->stop(), ASE_OK);
    for (int i = 0; i < 10000 && device->hasStream(); ++i) os::sleepMs(1);
    ASSERT_FALSE(device->hasStream());
    EXPECT_EQ(device->start(), ASE_HWMalfunction);
    EXPECT_EQ(device->stop(), ASE_OK);
    plugQelm();
    enumerate();  // a device event for a stream that has ended
    EXPECT_EQ(device->getNumberOfUnits(), 2u);
    EXPECT_EQ(device->disposeBuffers(), ASE_OK);
    EXPECT_EQ(device->disposeBuffers(), ASE_OK);

    // The next stream starts cleanly.
    failing.fail = false;
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(3 * kPeriodNs + kPeriodNs / 2);
    EXPECT_EQ(device->stop(), ASE_OK);
    EXPECT_GE(h.switches(), 8u);
    EXPECT_EQ(device->disposeBuffers(), ASE_OK);
}

TEST_F(CompositeTest, TheRegistryMakesTheDeviceOverItsConnectedUnitsAndReleasesIt) {
    plugQelm();
    enumerate();
    AudioDeviceIf* made = registry->createAudioDevice();
    ASSERT_NE(made, nullptr);
    auto* composite = dynamic_cast<CompositeKsAudioDevice*>(made);
    ASSERT_NE(composite, nullptr);
    EXPECT_EQ(composite->getNumberOfUnits(), 2u) << "registration replays the connected unit";
    plugQelm();
    enumerate();
    EXPECT_EQ(composite->getNumberOfUnits(), 4u);
    registry->releaseAudioDevice(made);
    registry->releaseAudioDevice(nullptr);
    bus.unplug(controllers[0]);
    enumerate();  // nobody is told any more
    EXPECT_EQ(registry->getNumberOfDevices(), 2u);
}

// Buffers longer than the 16-bit path's stage of 64 frames: every frame
// lands in its place, clamped, whatever stage it went through.
TEST(CompositeBuffersTest, LongSixteenBitBuffersAreConvertedFrameForFrame) {
    for (const uint32_t frames : {63u, 64u, 65u, 150u, 1024u}) {
        CompositeBuffers buffers;
        bool requested[kAsioChannelTableSize] = {};
        requested[asioChannelTableIndex(1, true)] = true;
        ASSERT_TRUE(buffers.allocate(frames, 16, requested));
        int32_t* sums = buffers.accumulator(1);
        ASSERT_NE(sums, nullptr);
        buffers.feed(1);
        std::vector<int32_t> values(frames);
        for (uint32_t f = 0; f < frames; ++f) values[f] = int32_t(f * 997 % 90001) - 45000;
        std::copy(values.begin(), values.end(), sums);
        buffers.convertInputs(1);
        const uint8_t* out = static_cast<const uint8_t*>(buffers.input(1, 0));
        for (uint32_t f = 0; f < frames; ++f)
            ASSERT_EQ(readSample(out + 2 * f, 16), std::clamp(values[f], -32768, 32767)) << frames << " frames, frame " << f;
        for (uint32_t f = 0; f < frames; ++f) ASSERT_EQ(sums[f], 0);
    }
}

TEST(CompositeBuffersTest, SumsAreClampedToTheSampleWidthAndStartAgainFromZero) {
    for (const uint32_t bits : {16u, 24u}) {
        CompositeBuffers buffers;
        bool requested[kAsioChannelTableSize] = {};
        requested[asioChannelTableIndex(2, true)] = true;
        ASSERT_TRUE(buffers.allocate(4, bits, requested));
        EXPECT_EQ(buffers.accumulator(0), nullptr) << "accumulators only for requested inputs";
        int32_t* sums = buffers.accumulator(2);
        ASSERT_NE(sums, nullptr);
        const int32_t values[4] = {40000, -9000000, 1234, -40000};
        std::copy(values, values + 4, sums);
        buffers.convertInputs(0);
        EXPECT_EQ(readSample(static_cast<uint8_t*>(buffers.input(2, 1)), bits), 0) << "not fed: left as it was";

        buffers.feed(2);
        std::copy(values, values + 4, sums);
        buffers.convertInputs(0);
        const uint8_t* out = static_cast<const uint8_t*>(buffers.input(2, 1));
        const uint32_t bytes = bits / 8;
        if (bits == 16) {
            EXPECT_EQ(readSample(out, bits), 32767);
            EXPECT_EQ(readSample(out + bytes, bits), -32768);
            EXPECT_EQ(readSample(out + 3 * bytes, bits), -32768);
        } else {
            EXPECT_EQ(readSample(out, bits), 40000);
            EXPECT_EQ(readSample(out + bytes, bits), -8388608);
            EXPECT_EQ(readSample(out + 3 * bytes, bits), -40000);
        }
        EXPECT_EQ(readSample(out + 2 * bytes, bits), 1234);
        EXPECT_EQ(readSample(static_cast<uint8_t*>(buffers.input(2, 0)), bits), 0) << "only the other half";
        for (int i = 0; i < 4; ++i) EXPECT_EQ(sums[i], 0);
        buffers.silenceInput(2);
        EXPECT_FALSE(buffers.isFed(2));
        EXPECT_EQ(readSample(out, bits), 0);
    }
}

}  // namespace
