// The round trip of an impulse through the composite device: written into an
// ASIO output, played by a simulated QELM unit in loopback (its capture side
// records what it plays, a hardware delay later) and read back from an ASIO
// input. What the device reports as input plus output latency must be that
// round trip less the hardware delay, at every buffer size and with every
// kind of rate conversion. Time is virtual; the figures are printed.
#include <cstdio>
#include <cstdlib>

#include "composite_fixture.h"
#include "src/adapter_factory.h"

using namespace comptest;

namespace {

// Without conversion the figures are exact. A converter moves a sample by
// a fraction of a frame, and the variable-rate one, whose packets vary in
// length, holds back a few frames more or less between packets depending on
// the buffer size.
constexpr double kToleranceFrames = 5.0;
constexpr uint32_t kLoopbackDelay = 37;
// Switches before the impulse, so that the stream has settled.
constexpr uint64_t kImpulseSwitch = 12;

// An ASIO host with one output and one input: an impulse on the output at
// the first frame of one switch, silence elsewhere; keeps what the input
// held at every switch.
class ImpulseHost {
public:
    ImpulseHost(AudioDeviceIf& device, uint32_t frames, uint32_t bits, size_t switches)
        : device_(device), frames_(frames), bits_(bits) {
        infos_[0] = {ASIOTrue, 0, {nullptr, nullptr}};
        infos_[1] = {ASIOFalse, 0, {nullptr, nullptr}};
        input_.reserve(switches * frames);
        current() = this;
    }
    ~ImpulseHost() { current() = nullptr; }

    ASIOError createBuffers() {
        return device_.createBuffers(infos_, 2, static_cast<int32_t>(frames_), &callbacks_);
    }
    // Host frames from the impulse at the output to its middle at the
    // input: the centre of its energy around the peak, since a converter
    // spreads it over a few frames (symmetrically: its filter has linear
    // phase); -1 when nothing came back.
    double roundTrip() const {
        size_t peak = 0;
        int64_t height = 0;
        for (size_t i = 0; i < input_.size(); ++i)
            if (std::llabs(input_[i]) > height) {
                height = std::llabs(input_[i]);
                peak = i;
            }
        if (height < impulse() / 16) return -1;
        double weight = 0.0, moment = 0.0;
        for (size_t i = peak > 48 ? peak - 48 : 0; i < input_.size() && i <= peak + 48; ++i) {
            const double energy = double(input_[i]) * double(input_[i]);
            weight += energy;
            moment += energy * double(i);
        }
        return moment / weight - double(kImpulseSwitch * frames_);
    }
    uint64_t switches() const { return switches_; }

private:
    static ImpulseHost*& current() {
        static ImpulseHost* host = nullptr;
        return host;
    }
    static void onSwitch(int32_t half, ASIOBool) { current()->handleSwitch(half); }
    static void onRate(ASIOSampleRate) {}
    static int32_t onMessage(int32_t, int32_t, void*, double*) { return 0; }

    int32_t impulse() const { return bits_ == 16 ? 24000 : 6000000; }
    void handleSwitch(int32_t half) {
        const uint32_t bytes = bits_ / 8;
        const auto* in = static_cast<const uint8_t*>(infos_[0].buffers[half]);
        for (uint32_t f = 0; f < frames_; ++f) input_.push_back(readSample(in + f * bytes, bits_));
        auto* out = static_cast<uint8_t*>(infos_[1].buffers[half]);
        for (uint32_t f = 0; f < frames_; ++f)
            writeSample(out + f * bytes, switches_ == kImpulseSwitch && f == 0 ? impulse() : 0, bits_);
        ++switches_;
    }

    AudioDeviceIf& device_;
    const uint32_t frames_;
    const uint32_t bits_;
    ASIOBufferInfo infos_[2];
    ASIOCallbacks callbacks_ = {&ImpulseHost::onSwitch, &ImpulseHost::onRate, &ImpulseHost::onMessage, nullptr};
    std::vector<int32_t> input_;
    uint64_t switches_ = 0;
};

// The QELM hardware runs at 44100 Hz only; its delay is in its own frames.
constexpr double kHardwareRate = 44100.0;

struct Measured {
    double roundTrip;
    double hardwareDelay;  // the loopback delay in host frames
    int32_t input;
    int32_t output;
};

template <class Brand>
class LoopbackLatency : public CompositeFixtureOf<Brand> {
protected:
    // A QELM unit in loopback, 4 in / 4 out, hardware channel c on ASIO
    // channel c both ways.
    void plugLoopbackUnit() {
        sim::ControllerConfig config;
        config.serial = sim::widen("LOOP0001");
        config.layout = sim::QelmLayout::FourFour;
        config.loopback = true;
        config.loopbackDelayFrames = kLoopbackDelay;
        auto unit = this->bus.plug(config);
        ASSERT_TRUE(unit);
        this->controllers.push_back(unit);
        this->enumerate();
        this->route(0, {0, 1, 2, 3}, {0, 1, 2, 3});
    }

    Measured measure(double rate, uint32_t frames) {
        this->makeDevice();
        if (this->controllers.empty()) plugLoopbackUnit();
        EXPECT_EQ(this->device->setSampleRate(rate), ASE_OK);
        const size_t switches = kImpulseSwitch + 12;
        Measured measured{-1, kLoopbackDelay * rate / kHardwareRate, 0, 0};
        {
            ImpulseHost host(*this->device, frames, this->brand.getBitsPerSample(), switches);
            EXPECT_EQ(host.createBuffers(), ASE_OK);
            EXPECT_EQ(this->device->getLatencies(static_cast<int32_t>(frames), &measured.input, &measured.output),
                      ASE_OK);
            EXPECT_EQ(this->device->start(), ASE_OK);
            this->runFor(static_cast<uint64_t>(switches * frames / rate * 1e9));
            EXPECT_EQ(this->device->stop(), ASE_OK);
            EXPECT_EQ(this->device->disposeBuffers(), ASE_OK);
            EXPECT_GE(host.switches(), switches - 1);
            measured.roundTrip = host.roundTrip();
        }
        this->device.reset();
        std::printf("  %-9s %6.0f Hz %5u frames: round trip %7.1f - delay %5.1f = %7.1f; reported in %5d + out %5d = %5d\n",
                    this->brand.getAsioDriverName(), rate, frames, measured.roundTrip,
                    measured.hardwareDelay, measured.roundTrip - measured.hardwareDelay, measured.input,
                    measured.output, measured.input + measured.output);
        return measured;
    }

    void expectReportedRoundTrip(double rate, uint32_t frames) {
        SCOPED_TRACE(testing::Message() << rate << " Hz, " << frames << " frames");
        const Measured m = measure(rate, frames);
        ASSERT_GE(m.roundTrip, 0) << "the impulse never came back";
        EXPECT_NEAR(m.input + m.output, m.roundTrip - m.hardwareDelay, kToleranceFrames);
        // Each direction holds at least its own buffer.
        EXPECT_GE(m.input, static_cast<int32_t>(frames));
        EXPECT_GE(m.output, static_cast<int32_t>(frames));
    }
};

using VexaLoopbackLatency = LoopbackLatency<VexaAsioBrand>;
using OrloLoopbackLatency = LoopbackLatency<OrloAsioBrand>;

TEST_F(VexaLoopbackLatency, ReportedLatenciesAreTheRoundTripAtEveryBufferSize) {
    for (const uint32_t frames : {89u, 265u, 1764u}) expectReportedRoundTrip(44100.0, frames);
}

TEST_F(OrloLoopbackLatency, ReportedLatenciesAreTheRoundTripWithEveryKindOfConversion) {
    struct Case {
        double rate;
        SamplerateAdapterKind render;
    };
    // The QELM hardware runs at 44100 Hz only.
    const Case cases[] = {{44100.0, SamplerateAdapterKind::None},
                          {88200.0, SamplerateAdapterKind::IntegerDown},
                          {22050.0, SamplerateAdapterKind::IntegerUp},
                          {48000.0, SamplerateAdapterKind::VariableRate},
                          {32000.0, SamplerateAdapterKind::VariableRate},
                          {96000.0, SamplerateAdapterKind::VariableRate},
                          {192000.0, SamplerateAdapterKind::VariableRate}};
    for (const Case& c : cases) {
        ASSERT_EQ(planRenderAdapter(44100, c.rate).kind, c.render) << c.rate;
        for (const uint32_t frames : {64u, 256u, 1000u, 1500u}) expectReportedRoundTrip(c.rate, frames);
    }
}

// Without loopback the unit still captures its counter: loopback is for the
// units that ask for it, and switching it on later takes effect at once.
TEST_F(VexaLoopbackLatency, LoopbackIsPerUnitAndCanBeSwitchedWhileStreaming) {
    sim::ControllerConfig config;
    config.serial = sim::widen("PLAIN001");
    config.layout = sim::QelmLayout::FourFour;
    auto unit = bus.plug(config);
    ASSERT_TRUE(unit);
    controllers.push_back(unit);
    makeDevice();
    enumerate();
    route(0, {0, 1, 2, 3}, {0, 1, 2, 3});
    TestHost& h = makeHost(100, {{0, 1}, {0, 1}});
    ASSERT_EQ(h.createBuffers(), ASE_OK);
    ASSERT_EQ(device->start(), ASE_OK);
    runFor(50 * kMs);
    unit->setLoopback(true, 0);
    runFor(50 * kMs);
    ASSERT_EQ(device->stop(), ASE_OK);
    int32_t input = 0, output = 0;
    ASSERT_EQ(device->getLatencies(100, &input, &output), ASE_OK);
    const std::vector<int32_t> heard = h.inputSeen(1);
    ASSERT_GT(heard.size(), 4000u);
    // The counter at first (input 1 starts at 4096), then exactly what the
    // host wrote to output 1 a round trip earlier.
    for (size_t i = 100; i < 1000; ++i) ASSERT_EQ(heard[i], sim::captureSignalSample(i - 100, 1, 16, 16)) << i;
    const size_t roundTrip = static_cast<size_t>(input + output);
    for (size_t i = heard.size() - 1000; i < heard.size(); ++i)
        ASSERT_EQ(heard[i], outputSignal(i - roundTrip, 1, 16)) << i;
    device->disposeBuffers();
}

// A unit that converts its capture at a variable rate adds the converter's
// delay to what getLatencies reports. When one joins or leaves a running
// stream, a host that takes the message hears at a switch that the
// latencies changed, and asks again; one that does not hears nothing.
TEST_F(OrloLoopbackLatency, AHostHearsWhenAConvertingUnitComesAndGoes) {
    constexpr int32_t kFrames = 256;
    for (const bool takes : {true, false}) {
        SCOPED_TRACE(takes ? "a host that takes the message" : "a host that does not");
        makeDevice();
        ASSERT_EQ(device->setSampleRate(48000.0), ASE_OK);
        TestHost::Options options{{0, 1}, {0, 1}};
        options.takesLatencyChanges = takes;
        TestHost& h = makeHost(kFrames, options);
        ASSERT_EQ(h.createBuffers(), ASE_OK);
        int32_t alone[2] = {0, 0}, joined[2] = {0, 0}, left[2] = {0, 0};
        ASSERT_EQ(device->getLatencies(kFrames, &alone[0], &alone[1]), ASE_OK);
        ASSERT_EQ(device->start(), ASE_OK);
        runFor(50 * kMs);
        if (controllers.empty()) {
            plugLoopbackUnit();
        } else {
            bus.replug(controllers[0]);
            enumerate();
        }
        runFor(100 * kMs);
        ASSERT_EQ(device->getLatencies(kFrames, &joined[0], &joined[1]), ASE_OK);
        EXPECT_GT(joined[0], alone[0]) << "the capture converter's delay";
        EXPECT_EQ(joined[1], alone[1]);
        const uint64_t switchesJoined = h.switches();
        bus.unplug(controllers[0]);
        enumerate();
        runFor(100 * kMs);
        ASSERT_EQ(device->getLatencies(kFrames, &left[0], &left[1]), ASE_OK);
        EXPECT_EQ(left[0], alone[0]);
        ASSERT_EQ(device->stop(), ASE_OK);
        const std::vector<uint64_t> heard = h.latencyChanges();
        if (takes) {
            ASSERT_EQ(heard.size(), 2u);
            // Each before the switch that came next (numbered from 0).
            EXPECT_LT(heard[0], switchesJoined);
            EXPECT_GE(heard[1], switchesJoined);
        } else {
            EXPECT_TRUE(heard.empty());
        }
        device->disposeBuffers();
        host.reset();
        device.reset();
    }
}

}  // namespace
