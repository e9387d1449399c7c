// The shipped backend: the ASIO device registry over the hardware models of
// the build's brand, reading the user's settings.
#include <new>

#include "brands/asio_device_registry.h"
#include "devices/build_device_models.h"
#include "driver/driver_backend.h"
#include "engine/audio_device.h"
#include "platform/trace.h"

namespace {

class RegistryBackend final : public DriverBackendIf {
public:
    ~RegistryBackend() override { delete registry_; }

    bool initialize() override {
        DeviceModelIf* models[kMaxBuildDeviceModels];
        const size_t count = createBuildDeviceModels(models, kMaxBuildDeviceModels);
        if (count != 0) registry_ = new (std::nothrow) AsioDeviceRegistry(count, models);
        if (registry_ == nullptr) {
            TRACE("Out of memory");
            for (size_t i = 0; i < count; ++i) delete models[i];
            return false;
        }
        // A failed first enumeration or polling start still leaves a usable
        // registry: units show up at a later pass.
        if (!registry_->initialize()) TRACE("Device registry initialization incomplete");
        return true;
    }

    AudioDeviceIf* createAudioDevice() override {
        return registry_ != nullptr ? registry_->createAudioDevice() : nullptr;
    }

    void releaseAudioDevice(AudioDeviceIf* device) override {
        if (registry_ != nullptr) registry_->releaseAudioDevice(device);
    }

private:
    AsioDeviceRegistry* registry_ = nullptr;
};

}  // namespace

DriverBackendIf* createRegistryBackend() { return new (std::nothrow) RegistryBackend(); }
