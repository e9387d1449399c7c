// The composite device against simulated controllers: a test host that
// talks to AudioDeviceIf directly and records every buffer switch, a
// registry of simulated QELM units (or ORLO units), and a virtual clock that
// lets minutes of streaming pass in seconds.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brands/asio_device_registry.h"
#include "brands/brand_orlo.h"
#include "brands/brand_vexa.h"
#include "brands/memory_settings_store.h"
#include "brands/orlo_asio_device_info.h"
#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"
#include "engine/composite_ks_audio_device.h"
#include "engine/composite_virtual_clock.h"
#include "sim/bus.h"
#include "sim/capture_signal.h"

namespace comptest {

constexpr uint64_t kMs = 1000000ull;

// What the host writes into output channel `channel` for host frame `frame`
// (16-bit hosts use the low 16 bits, 24-bit hosts the low 24).
inline int32_t outputSignal(uint64_t frame, int32_t channel, uint32_t bits) {
    const uint32_t span = bits == 16 ? 65536u : 16777216u;
    const uint64_t v = (frame * 7 + uint64_t(channel) * 977 + 13) % span;
    return static_cast<int32_t>(v) - static_cast<int32_t>(span / 2);
}

inline int32_t readSample(const uint8_t* p, uint32_t bits) {
    if (bits == 16) return static_cast<int16_t>(p[0] | (p[1] << 8));
    const int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
    return (v ^ 0x800000) - 0x800000;
}

inline void writeSample(uint8_t* p, int32_t v, uint32_t bits) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    if (bits == 24) p[2] = static_cast<uint8_t>(v >> 16);
}

struct SwitchSeen {
    int32_t half;
    uint64_t position;
    uint64_t systemTime;
    bool timeInfo;
};

// An ASIO host: requests the channels given, writes outputSignal into every
// requested output at each switch and keeps what every requested input held.
class TestHost {
public:
    struct Options {
        std::vector<int32_t> inputs;
        std::vector<int32_t> outputs;
        int32_t timeInfoAnswer = 0;
        bool giveTimeInfoCallback = true;
        bool keepInputs = true;
        // The answers to kAsioSelectorSupported for kAsioOverload and
        // kAsioLatenciesChanged.
        bool takesOverloads = true;
        bool takesLatencyChanges = true;
        // Room kept in advance, so that a real-time host never stalls on a
        // growing record inside its buffer switch.
        size_t reserveSwitches = 0;
    };

    TestHost(AudioDeviceIf& device, uint32_t frames, uint32_t bits, Options options)
        : device_(device), frames_(frames), bits_(bits), options_(std::move(options)) {
        for (int32_t n : options_.inputs) infos_.push_back({ASIOTrue, n, {nullptr, nullptr}});
        for (int32_t n : options_.outputs) infos_.push_back({ASIOFalse, n, {nullptr, nullptr}});
        inputsSeen_.resize(options_.inputs.size());
        for (auto& seen : inputsSeen_) seen.reserve(options_.reserveSwitches * frames);
        seen_.reserve(options_.reserveSwitches);
        callbacks_.bufferSwitch = &TestHost::onBufferSwitch;
        callbacks_.sampleRateDidChange = &TestHost::onRateChange;
        callbacks_.asioMessage = &TestHost::onMessage;
        callbacks_.bufferSwitchTimeInfo = options_.giveTimeInfoCallback ? &TestHost::onTimeInfo : nullptr;
        current() = this;
    }
    ~TestHost() {
        if (current() == this) current() = nullptr;
    }

    ASIOError createBuffers() {
        return device_.createBuffers(infos_.data(), static_cast<int32_t>(infos_.size()),
                                     static_cast<int32_t>(frames_), &callbacks_);
    }
    ASIOCallbacks* callbacks() { return &callbacks_; }
    const std::vector<ASIOBufferInfo>& infos() const { return infos_; }

    uint64_t switches() const { return switches_.load(); }
    // The number of the switch that came next after each kAsioOverload.
    std::vector<uint64_t> overloads() const {
        std::lock_guard<std::mutex> hold(lock_);
        return overloads_;
    }
    // The number of the switch that came next after each kAsioLatenciesChanged.
    std::vector<uint64_t> latencyChanges() const {
        std::lock_guard<std::mutex> hold(lock_);
        return latencyChanges_;
    }
    // kAsioOverload messages that came on another thread than the buffer
    // switches, or not right before one.
    uint32_t misplacedOverloads() const { return misplacedOverloads_.load(); }
    uint32_t rateChanges() const { return rateChanges_.load(); }
    std::vector<SwitchSeen> seen() const {
        std::lock_guard<std::mutex> hold(lock_);
        return seen_;
    }
    // Samples input channel options.inputs[i] held at each switch, in order.
    std::vector<int32_t> inputSeen(size_t i) const {
        std::lock_guard<std::mutex> hold(lock_);
        return inputsSeen_[i];
    }
    // Called by the host at the switch of that number (0-based) before it
    // reads and writes, on the streaming thread.
    std::function<void(uint64_t)> onSwitch;

private:
    static TestHost*& current() {
        static TestHost* host = nullptr;
        return host;
    }
    static void onBufferSwitch(int32_t half, ASIOBool) { current()->handleSwitch(half, false); }
    static ASIOTime* onTimeInfo(ASIOTime* time, int32_t half, ASIOBool) {
        current()->lastTimeInfo_ = *time;
        current()->handleSwitch(half, true);
        return time;
    }
    static void onRateChange(ASIOSampleRate) { ++current()->rateChanges_; }
    static int32_t onMessage(int32_t selector, int32_t value, void*, double*) {
        TestHost& host = *current();
        if (selector == kAsioSupportsTimeInfo) return host.options_.timeInfoAnswer;
        if (selector == kAsioSelectorSupported)
            return (value == kAsioOverload && host.options_.takesOverloads) ||
                           (value == kAsioLatenciesChanged && host.options_.takesLatencyChanges)
                       ? 1
                       : 0;
        if (selector == kAsioLatenciesChanged) {
            std::lock_guard<std::mutex> hold(host.lock_);
            host.latencyChanges_.push_back(host.switches_.load());
        }
        if (selector == kAsioOverload) {
            std::lock_guard<std::mutex> hold(host.lock_);
            host.overloads_.push_back(host.switches_.load());
            host.overloadThread_ = os::currentThreadId();
        }
        return 0;
    }

    void handleSwitch(int32_t half, bool timeInfo) {
        const uint64_t number = switches_.load();
        {
            std::lock_guard<std::mutex> hold(lock_);
            // A message belongs right before the switch, on its thread.
            if (overloadThread_ != 0 && (overloadThread_ != os::currentThreadId() || overloads_.back() != number))
                ++misplacedOverloads_;
            overloadThread_ = 0;
        }
        if (onSwitch) onSwitch(number);
        ASIOSamples position;
        ASIOTimeStamp stamp;
        device_.getSamplePosition(&position, &stamp);
        const uint32_t bytes = bits_ / 8;
        std::lock_guard<std::mutex> hold(lock_);
        seen_.push_back({half, (uint64_t(position.hi) << 32) | position.lo, (uint64_t(stamp.hi) << 32) | stamp.lo,
                         timeInfo});
        for (size_t i = 0; i < infos_.size(); ++i) {
            uint8_t* buffer = static_cast<uint8_t*>(infos_[i].buffers[half]);
            if (infos_[i].isInput) {
                if (!options_.keepInputs) continue;
                for (uint32_t f = 0; f < frames_; ++f) inputsSeen_[i].push_back(readSample(buffer + f * bytes, bits_));
            } else {
                for (uint32_t f = 0; f < frames_; ++f)
                    writeSample(buffer + f * bytes, outputSignal(number * frames_ + f, infos_[i].channelNum, bits_),
                                bits_);
            }
        }
        switches_.store(number + 1);
    }

public:
    ASIOTime lastTimeInfo_ = {};

private:
    AudioDeviceIf& device_;
    const uint32_t frames_;
    const uint32_t bits_;
    Options options_;
    std::vector<ASIOBufferInfo> infos_;
    ASIOCallbacks callbacks_ = {};
    std::atomic<uint64_t> switches_{0};
    std::atomic<uint32_t> rateChanges_{0};
    mutable std::mutex lock_;
    std::vector<SwitchSeen> seen_;
    std::vector<std::vector<int32_t>> inputsSeen_;
    std::vector<uint64_t> overloads_;
    std::vector<uint64_t> latencyChanges_;
    uint32_t overloadThread_ = 0;
    std::atomic<uint32_t> misplacedOverloads_{0};
};

// The ASIO registry with the second brand's DALTO records too, routed
// output 0 to ASIO output 0 and output 1 to ASIO output 1.
class MixedAsioRegistry final : public AsioDeviceRegistry {
public:
    using AsioDeviceRegistry::AsioDeviceRegistry;
    DeviceInfo* createDeviceInfo(CKsAudRenFilter* render, CKsAudCapFilter* capture, const char* hidId,
                                 const char* audioId, uint64_t index, const char* serial,
                                 DeviceModelIf* model) override {
        if (model->getType() != static_cast<uint32_t>(sim::Model::Dalto))
            return AsioDeviceRegistry::createDeviceInfo(render, capture, hidId, audioId, index, serial, model);
        auto* record = new OrloDaltoAsioDeviceInfo(render, capture, hidId, audioId, index, serial, model);
        record->getActiveConfiguration()->setOutputAsioChannel(0, 0);
        record->getActiveConfiguration()->setOutputAsioChannel(1, 1);
        return record;
    }
};

// Simulated controllers behind a registry that the test enumerates by hand
// (no polling thread), and a composite device over it.
template <class Brand>
class CompositeFixtureOf : public ::testing::Test {
protected:
    explicit CompositeFixtureOf(sim::ClockMode mode = sim::ClockMode::Manual) : bus(mode), boundary(bus) {
        DeviceModelIf* models[] = {new VexaQelmDeviceModel, new OrloDaltoDeviceModel};
        registry = std::make_unique<MixedAsioRegistry>(2, models, store);
        if (mode == sim::ClockMode::Manual) clock = std::make_unique<VirtualCompositeClock>(bus);
    }
    ~CompositeFixtureOf() override {
        host.reset();
        device.reset();
        registry.reset();
    }

    CompositeKsAudioDevice& makeDevice() {
        HRESULT result = E_FAIL;
        device = std::make_unique<CompositeKsAudioDevice>(registry.get(), &result, clock.get());
        EXPECT_EQ(result, S_OK);
        return *device;
    }
    TestHost& makeHost(uint32_t frames, TestHost::Options options) {
        host.reset();
        host = std::make_unique<TestHost>(*device, frames, brand.getBitsPerSample(), std::move(options));
        return *host;
    }

    std::shared_ptr<sim::SimController> plug(sim::Model model, sim::QelmLayout layout = sim::QelmLayout::EightTwo,
                                             int32_t driftPpm = 0) {
        sim::ControllerConfig config;
        config.model = model;
        config.serial = sim::widen("COMP" + std::to_string(serials++) + "X");
        config.layout = layout;
        config.faults.driftPpm = driftPpm;
        auto controller = bus.plug(config);
        EXPECT_TRUE(controller);
        controllers.push_back(controller);
        return controller;
    }
    std::shared_ptr<sim::SimController> plugQelm(int32_t driftPpm = 0,
                                                 sim::QelmLayout layout = sim::QelmLayout::EightTwo) {
        return plug(sim::Model::Qelm, layout, driftPpm);
    }
    void enumerate() { EXPECT_TRUE(registry->enumerateDevices()); }

    AsioDeviceInfo* record(size_t index) { return registry->getAsioDevice(index); }
    // Routes every hardware channel of a record: entry c of each table is
    // the ASIO channel of hardware channel c (255: none).
    void route(size_t index, std::vector<uint8_t> outputs, std::vector<uint8_t> inputs) {
        AsioDeviceConfigurationIf* configuration = record(index)->getActiveConfiguration();
        ASSERT_NE(configuration, nullptr);
        for (uint8_t c = 0; c < configuration->getNumberOfOutputs(); ++c)
            configuration->setOutputAsioChannel(c, c < outputs.size() ? outputs[c] : 255);
        for (uint8_t c = 0; c < configuration->getNumberOfInputs(); ++c)
            configuration->setInputAsioChannel(c, c < inputs.size() ? inputs[c] : 255);
    }

    void runFor(uint64_t ns) { ASSERT_TRUE(clock->runFor(ns)) << "the streaming thread never waited"; }

    Brand brand;
    sim::SimBus bus;
    sim::ScopedDeviceBoundary boundary;
    MemorySettingsStore store;
    std::unique_ptr<MixedAsioRegistry> registry;
    std::unique_ptr<VirtualCompositeClock> clock;
    std::unique_ptr<CompositeKsAudioDevice> device;
    std::unique_ptr<TestHost> host;
    std::vector<std::shared_ptr<sim::SimController>> controllers;
    uint32_t serials = 0;
};

using CompositeTest = CompositeFixtureOf<VexaAsioBrand>;

inline std::vector<int32_t> allOutputs() {
    std::vector<int32_t> outputs;
    for (int32_t n = 0; n < 16; ++n) outputs.push_back(n);
    return outputs;
}

// Eight consecutive ASIO channels from `first`: a whole 8-channel layout.
inline std::vector<uint8_t> channelsFrom(uint8_t first) {
    std::vector<uint8_t> map;
    for (uint8_t c = 0; c < 8; ++c) map.push_back(static_cast<uint8_t>(first + c));
    return map;
}

// Every switch came, in order: halves alternate and each advanced the
// position by one buffer of `frames`.
inline void expectNoSwitchLost(const std::vector<SwitchSeen>& seen, uint32_t frames) {
    for (size_t s = 0; s < seen.size(); ++s) {
        ASSERT_EQ(seen[s].half, static_cast<int32_t>(s % 2)) << s;
        ASSERT_EQ(seen[s].position, (s + 1) * frames) << s;
    }
}

// The host's output channel as a controller should play it from host
// block `firstBlock` on, at least `atLeastBlocks` blocks of `frames`.
inline void expectPlaysBlocks(const std::vector<int32_t>& played, uint64_t firstBlock, int32_t asioChannel,
                              size_t atLeastBlocks, uint32_t frames) {
    ASSERT_GE(played.size(), atLeastBlocks * frames);
    for (size_t i = 0; i < played.size(); ++i)
        ASSERT_EQ(played[i], outputSignal(firstBlock * frames + i, asioChannel, 16)) << "frame " << i;
}

// A unit that joined a running stream plays in step with one that streamed
// all along (steady index i plays host frame i - steadyLead): its first
// packet is silence, then every frame is the host frame the steady unit
// plays at that moment. Both recordings end where the stream stopped.
inline void expectJoinedInStep(const std::vector<int32_t>& joined, const std::vector<int32_t>& steady,
                               uint64_t steadyLead, int32_t joinedChannel, uint32_t frames) {
    ASSERT_GT(joined.size(), 2u * frames);
    ASSERT_GE(steady.size(), joined.size());
    const uint64_t offset = steady.size() - joined.size();
    for (size_t j = 0; j < joined.size(); ++j) {
        const int32_t expected = j < frames ? 0 : outputSignal(offset + j - steadyLead, joinedChannel, 16);
        ASSERT_EQ(joined[j], expected) << "frame " << j << " of the joined unit";
    }
}

// Interleaved samples of one hardware channel of a render record.
inline std::vector<int32_t> renderedChannel(const sim::SimController& controller, uint32_t channel) {
    const std::vector<uint8_t> bytes = controller.renderedBytes();
    const sim::StreamFormat format = controller.renderedFormat();
    const uint32_t container = format.containerBits / 8;
    const uint32_t block = format.blockAlign;
    std::vector<int32_t> samples;
    for (size_t offset = size_t(channel) * container; offset + container <= bytes.size(); offset += block)
        samples.push_back(sim::readContainerSample(bytes.data() + offset, format.containerBits));
    return samples;
}

}  // namespace comptest
