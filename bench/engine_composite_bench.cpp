// CPU cost of one buffer period of the composite device: two QELM units
// (8 outputs and 2 inputs each) at 89 frames, at the hardware's rate and at
// rates that need the integer and the variable-rate converters. The stream
// runs on the virtual clock; the time measured is what the streaming thread
// spends between its waits (the simulated hardware's own work is inside the
// wait and not counted). "share" is that time as a part of one period.
// The host's callback does nothing; its output buffers hold noise, written
// once, so that the converters have sound to convert (silence after
// silence costs them next to nothing).
#include <benchmark/benchmark.h>

#include <memory>

#include "brands/asio_device_registry.h"
#include "brands/brand_vexa.h"
#include "brands/memory_settings_store.h"
#include "devices/vexa_device_models.h"
#include "engine/composite_ks_audio_device.h"
#include "engine/composite_virtual_clock.h"
#include "sim/bus.h"

namespace {

constexpr int32_t kFrames = 89;

void onSwitch(int32_t, ASIOBool) {}
int32_t onMessage(int32_t, int32_t, void*, double*) { return 0; }

class TwoUnitStream {
public:
    explicit TwoUnitStream(double rate) : boundary_(bus_), clock_(bus_) {
        DeviceModelIf* models[] = {new VexaQelmDeviceModel};
        registry_ = std::make_unique<AsioDeviceRegistry>(1, models, store_);
        for (int i = 0; i < 2; ++i) {
            sim::ControllerConfig config;
            config.serial = sim::widen("BENCH" + std::to_string(i) + "X");
            config.layout = sim::QelmLayout::EightTwo;
            bus_.plug(config)->setRenderedCap(1 << 16);
        }
        registry_->enumerateDevices();
        for (size_t r = 0; r < 2; ++r) {
            AsioDeviceConfigurationIf* configuration = registry_->getAsioDevice(r)->getActiveConfiguration();
            for (uint8_t c = 0; c < 8; ++c) configuration->setOutputAsioChannel(c, static_cast<uint8_t>(8 * r + c));
            for (uint8_t c = 0; c < 2; ++c) configuration->setInputAsioChannel(c, static_cast<uint8_t>(2 * r + c));
        }
        HRESULT result = E_FAIL;
        device_ = std::make_unique<CompositeKsAudioDevice>(registry_.get(), &result, &clock_);
        for (int32_t n = 0; n < 4; ++n) infos_.push_back({ASIOTrue, n, {nullptr, nullptr}});
        for (int32_t n = 0; n < 16; ++n) infos_.push_back({ASIOFalse, n, {nullptr, nullptr}});
        callbacks_.bufferSwitch = onSwitch;
        callbacks_.asioMessage = onMessage;
        ok_ = result == S_OK && device_->setSampleRate(rate) == ASE_OK &&
              device_->createBuffers(infos_.data(), static_cast<int32_t>(infos_.size()), kFrames, &callbacks_) ==
                  ASE_OK &&
              device_->start() == ASE_OK;
        if (ok_) fillOutputsWithNoise();
        periodNs_ = static_cast<uint64_t>(kFrames / rate * 1e9);
    }
    ~TwoUnitStream() {
        device_->stop();
        device_->disposeBuffers();
        device_.reset();
        registry_.reset();
    }
    bool ok() const { return ok_; }
    uint64_t periodNs() const { return periodNs_; }
    VirtualCompositeClock& clock() { return clock_; }

private:
    void fillOutputsWithNoise() {
        ASIOChannelInfo channel = {};
        channel.isInput = ASIOFalse;
        if (device_->getChannelInfo(&channel) != ASE_OK) return;
        const size_t bytes = channel.type == ASIOSTInt16LSB ? 2 : channel.type == ASIOSTInt24LSB ? 3 : 4;
        uint32_t state = 12345;
        for (ASIOBufferInfo& info : infos_)
            for (void* buffer : info.buffers)
                if (!info.isInput && buffer != nullptr)
                    for (size_t b = 0; b < kFrames * bytes; ++b) {
                        state = state * 1664525u + 1013904223u;
                        static_cast<uint8_t*>(buffer)[b] = static_cast<uint8_t>(state >> 24);
                    }
    }

    VexaAsioBrand brand_;
    sim::SimBus bus_{sim::ClockMode::Manual};
    sim::ScopedDeviceBoundary boundary_;
    MemorySettingsStore store_;
    VirtualCompositeClock clock_;
    std::unique_ptr<AsioDeviceRegistry> registry_;
    std::unique_ptr<CompositeKsAudioDevice> device_;
    std::vector<ASIOBufferInfo> infos_;
    ASIOCallbacks callbacks_ = {};
    uint64_t periodNs_ = 0;
    bool ok_ = false;
};

void BM_CompositePeriod(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0));
    TwoUnitStream stream(rate);
    if (!stream.ok()) {
        state.SkipWithError("the stream did not start");
        return;
    }
    VirtualCompositeClock& clock = stream.clock();
    clock.runFor(100 * stream.periodNs());  // past the start and the converters' warm-up
    uint64_t busy = 0;
    for (auto _ : state) {
        const uint64_t before = clock.busyNs();
        clock.runFor(stream.periodNs());
        const uint64_t spent = clock.busyNs() - before;
        busy += spent;
        state.SetIterationTime(double(spent) * 1e-9);
    }
    const double perPeriod = double(busy) / double(state.iterations());
    state.counters["ns_per_period"] = perPeriod;
    state.counters["share_of_period_pct"] = 100.0 * perPeriod / double(stream.periodNs());
}

// 44100: no conversion; 88200: integer converters; 48000: variable rate.
BENCHMARK(BM_CompositePeriod)->Arg(44100)->Arg(88200)->Arg(48000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
