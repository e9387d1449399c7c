// Clock-drift correction over long runs on the virtual clock: QELM units
// at 44.1 kHz and 89-frame buffers, the first on a perfect crystal (it
// paces), the others drifting, each wandering by 3 ppm, warming up by
// 1 ppm/s for 30 s, behind USB's 1 ms frames with completion jitter. For
// each scenario it prints what the stream lost (as the simulated devices
// and as the driver counted it), the realignments, each follower's lock
// and steady-state figures (engine/composite_drift_figures.h), and the
// streaming thread's own work per period.
//
//   engine_drift_bench [seconds] [jitter-us]    (defaults: 3600 and 100)
//
// Every scenario runs that many seconds of audio; an hour takes minutes in
// a release build.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "brands/asio_device_registry.h"
#include "brands/brand_vexa.h"
#include "brands/memory_settings_store.h"
#include "devices/vexa_device_models.h"
#include "engine/composite_drift_figures.h"
#include "engine/composite_ks_audio_device.h"
#include "engine/composite_virtual_clock.h"
#include "sim/bus.h"

namespace {

constexpr int32_t kFrames = 89;
constexpr double kRate = 44100.0;

void onSwitch(int32_t, ASIOBool) {}
int32_t onMessage(int32_t, int32_t, void*, double*) { return 0; }

struct Scenario {
    std::vector<int32_t> followerPpm;  // one controller each, after the pacing one
};

class DriftStream {
public:
    DriftStream(const Scenario& scenario, uint32_t jitterUs) : boundary_(bus_), clock_(bus_) {
        DeviceModelIf* models[] = {new VexaQelmDeviceModel};
        registry_ = std::make_unique<AsioDeviceRegistry>(1, models, store_);
        std::vector<int32_t> drifts{0};
        drifts.insert(drifts.end(), scenario.followerPpm.begin(), scenario.followerPpm.end());
        for (size_t i = 0; i < drifts.size(); ++i) {
            sim::ControllerConfig config;
            config.serial = sim::widen("DRIFT" + std::to_string(i) + "X");
            config.layout = sim::QelmLayout::EightTwo;
            config.faults.driftPpm = drifts[i];
            config.faults.wanderPpm = 3.0;
            config.faults.rampPpmPerSecond = i == 0 ? 0.0 : 1.0;
            config.faults.rampSeconds = 30;
            config.faults.jitterUs = jitterUs;
            config.faults.usbFrames = true;
            auto controller = bus_.plug(config);
            controller->setRenderedCap(1 << 12);
            controllers_.push_back(controller);
        }
        registry_->enumerateDevices();
        // Four outputs and two inputs of each unit are the host's.
        for (size_t r = 0; r < drifts.size(); ++r) {
            AsioDeviceConfigurationIf* configuration = registry_->getAsioDevice(r)->getActiveConfiguration();
            for (uint8_t c = 0; c < 8; ++c)
                configuration->setOutputAsioChannel(c, c < 4 ? static_cast<uint8_t>(4 * r + c) : 255);
            for (uint8_t c = 0; c < 2; ++c) configuration->setInputAsioChannel(c, static_cast<uint8_t>(2 * r + c));
        }
        HRESULT result = E_FAIL;
        device_ = std::make_unique<CompositeKsAudioDevice>(registry_.get(), &result, &clock_);
        const int32_t units = static_cast<int32_t>(drifts.size());
        for (int32_t n = 0; n < 2 * units; ++n) infos_.push_back({ASIOTrue, n, {nullptr, nullptr}});
        for (int32_t n = 0; n < 4 * units; ++n) infos_.push_back({ASIOFalse, n, {nullptr, nullptr}});
        std::vector<std::pair<const AsioDeviceInfo*, std::shared_ptr<sim::SimController>>> map;
        for (size_t i = 0; i < controllers_.size(); ++i) map.emplace_back(registry_->getAsioDevice(i), controllers_[i]);
        figures_ = std::make_unique<DriftFigures>(kRate, std::move(map));
        device_->setDriftObserver(figures_.get());
        callbacks_.bufferSwitch = onSwitch;
        callbacks_.asioMessage = onMessage;
        ok_ = result == S_OK && device_->setSampleRate(kRate) == ASE_OK &&
              device_->createBuffers(infos_.data(), static_cast<int32_t>(infos_.size()), kFrames, &callbacks_) ==
                  ASE_OK &&
              device_->start() == ASE_OK;
    }
    ~DriftStream() {
        device_->stop();
        device_->setDriftObserver(nullptr);
        device_->disposeBuffers();
        device_.reset();
        registry_.reset();
    }
    bool ok() const { return ok_; }
    VirtualCompositeClock& clock() { return clock_; }
    const DriftFigures& figures() const { return *figures_; }
    CompositeKsAudioDevice& device() { return *device_; }
    size_t controllers() const { return controllers_.size(); }
    const sim::SimController& controller(size_t i) const { return *controllers_[i]; }
    const AsioDeviceInfo* record(size_t i) const { return registry_->getAsioDevice(i); }

private:
    VexaAsioBrand brand_;
    sim::SimBus bus_{sim::ClockMode::Manual};
    sim::ScopedDeviceBoundary boundary_;
    MemorySettingsStore store_;
    VirtualCompositeClock clock_;
    std::unique_ptr<AsioDeviceRegistry> registry_;
    std::unique_ptr<CompositeKsAudioDevice> device_;
    std::vector<std::shared_ptr<sim::SimController>> controllers_;
    std::unique_ptr<DriftFigures> figures_;
    std::vector<ASIOBufferInfo> infos_;
    ASIOCallbacks callbacks_ = {};
    bool ok_ = false;
};

std::string describe(const Scenario& scenario) {
    std::string text = std::to_string(scenario.followerPpm.size() + 1) + " units, followers at";
    for (int32_t ppm : scenario.followerPpm) text += (ppm >= 0 ? " +" : " ") + std::to_string(ppm);
    return text + " ppm";
}

void run(const Scenario& scenario, uint64_t seconds, uint32_t jitterUs) {
    DriftStream stream(scenario, jitterUs);
    std::printf("%s, jitter %u us, %" PRIu64 " s of audio\n", describe(scenario).c_str(), jitterUs, seconds);
    if (!stream.ok()) {
        std::printf("  the stream did not start\n");
        return;
    }
    VirtualCompositeClock& clock = stream.clock();
    const uint64_t periodNs = static_cast<uint64_t>(kFrames / kRate * 1e9);
    const uint64_t busyBefore = clock.busyNs();
    for (uint64_t s = 0; s < seconds; ++s) clock.runFor(1000000000ull);
    const double busyPerPeriod = double(clock.busyNs() - busyBefore) / (double(seconds) * 1e9 / double(periodNs));
    uint64_t lost = 0, deviceGaps = 0, counted = 0;
    for (size_t i = 0; i < stream.controllers(); ++i) {
        const sim::SimController& c = stream.controller(i);
        lost += c.renderStats().framesLost + c.captureStats().framesLost;
        deviceGaps += c.renderStats().gaps + c.captureStats().gaps;
        for (const bool input : {false, true}) counted += stream.device().getUnitGaps(stream.record(i), input).gaps;
    }
    std::printf("  gaps: %" PRIu64 " as the devices saw them (%" PRIu64 " frames), %" PRIu64
                " counted by the driver, %" PRIu64 " realignments\n",
                deviceGaps, lost, counted, stream.device().driftRealignments());
    for (const DriftFigures::Unit& u : stream.figures()) {
        if (!u.converting) continue;  // the pacing controller's other unit
        std::printf("  %s follower: largest fill error before steady %.2f frames, steady rms %.3f (peak %.2f), "
                    "1 s ratio error %.2f ppm rms, largest ratio step %.3f ppm\n",
                    u.input ? "capture" : "render ", u.peakBeforeSteady, u.steadyRms(), u.steadyPeak, u.ratioErrorRmsPpm(),
                    u.largestRatioStep * 1e6);
    }
    std::printf("  streaming thread: %.1f us per period (%.2f %% of one)\n", busyPerPeriod * 1e-3,
                100.0 * busyPerPeriod / double(periodNs));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t seconds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 3600;
    const uint32_t jitterUs = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 100;
    const Scenario scenarios[] = {
        {{+100}}, {{-100}}, {{+1000}}, {{-1000}}, {{+100, -100, +50}}, {{+1000, -1000, +500}},
    };
    for (const Scenario& scenario : scenarios) run(scenario, seconds, jitterUs);
    return 0;
}
