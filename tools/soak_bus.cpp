#include "tools/soak_bus.h"

#include <memory>
#include <new>
#include <set>

#include "brands/asio_device_registry.h"
#include "brands/memory_settings_store.h"
#include "devices/build_device_models.h"
#include "driver/driver_backend.h"
#include "engine/composite_ks_audio_device.h"
#include "platform/device.h"
#include "sim/bus.h"

namespace soak {

// The registry as the shipped backend makes it, over a settings store of
// its own, keeping the device it made so that its units can be asked.
class SoakBackend final : public DriverBackendIf {
public:
    explicit SoakBackend(uint32_t pollingIntervalMs) : pollingIntervalMs_(pollingIntervalMs) {}
    ~SoakBackend() override { delete registry_; }

    bool initialize() override {
        DeviceModelIf* models[kMaxBuildDeviceModels];
        const size_t count = createBuildDeviceModels(models, kMaxBuildDeviceModels);
        if (count != 0) registry_ = new (std::nothrow) AsioDeviceRegistry(count, models, settings_, pollingIntervalMs_);
        if (registry_ == nullptr) {
            for (size_t i = 0; i < count; ++i) delete models[i];
            return false;
        }
        registry_->initialize();
        return true;
    }

    AudioDeviceIf* createAudioDevice() override {
        AudioDeviceIf* device = registry_ != nullptr ? registry_->createAudioDevice() : nullptr;
        os::ScopedLock hold(lock_);
        device_ = dynamic_cast<CompositeKsAudioDevice*>(device);
        return device;
    }

    void releaseAudioDevice(AudioDeviceIf* device) override {
        {
            os::ScopedLock hold(lock_);
            if (device == device_) device_ = nullptr;
        }
        if (registry_ != nullptr) registry_->releaseAudioDevice(device);
    }

    UnitGaps unitGaps(const std::string& serial, bool input) {
        if (registry_ == nullptr) return UnitGaps();
        // The registry's lock before the device's, in the order its passes take them.
        DeviceRegistry::Guard records(*registry_);
        os::ScopedLock hold(lock_);
        const DeviceInfo* record = registry_->getDeviceWithSerialNumber(serial.c_str());
        return record != nullptr && device_ != nullptr ? device_->getUnitGaps(record, input) : UnitGaps();
    }

private:
    const uint32_t pollingIntervalMs_;
    MemorySettingsStore settings_;
    AsioDeviceRegistry* registry_ = nullptr;
    os::RecursiveMutex lock_;
    CompositeKsAudioDevice* device_ = nullptr;
};

DriverBackendIf* createBackend(uint32_t pollingIntervalMs, SoakBackend** backend) {
    *backend = new (std::nothrow) SoakBackend(pollingIntervalMs);
    return *backend;
}

UnitGaps backendUnitGaps(SoakBackend* backend, const std::string& serial, bool input) {
    return backend != nullptr ? backend->unitGaps(serial, input) : UnitGaps();
}

void useBusFile(const std::string& path) { os::setEnvironmentVariable(os::kSimulatedBusVariable, path.c_str()); }

namespace {

sim::SimBus* processBus() { return dynamic_cast<sim::SimBus*>(&os::deviceBoundary()); }

}  // namespace

HardwareLoss hardwareLoss(const std::string& serial, bool input) {
    HardwareLoss loss;
    sim::SimBus* bus = processBus();
    if (bus == nullptr) return loss;
    for (const std::shared_ptr<sim::SimController>& controller : bus->controllers()) {
        const std::u16string name = controller->serial();
        if (std::string(name.begin(), name.end()) != serial) continue;
        const sim::StreamStats stats = input ? controller->captureStats() : controller->renderStats();
        loss.gaps += stats.gaps;
        loss.frames += stats.framesLost;
    }
    return loss;
}

void limitRecordings() {
    constexpr size_t kRecordingCap = 64u << 10;
    // Held until the next call, so that no new controller takes the place
    // of one seen here.
    static std::set<std::shared_ptr<sim::SimController>> limited;
    sim::SimBus* bus = processBus();
    if (bus == nullptr) return;
    std::set<std::shared_ptr<sim::SimController>> present;
    for (const std::shared_ptr<sim::SimController>& controller : bus->controllers()) {
        if (limited.count(controller) == 0) controller->setRenderedCap(kRecordingCap);
        present.insert(controller);
    }
    limited.swap(present);
}

}  // namespace soak
