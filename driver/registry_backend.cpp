// The shipped backend: the ASIO device registry over the hardware models of
// the build's brand, reading the user's settings.
#include <new>

#include "brands/asio_device_registry.h"
#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"
#include "driver/driver_backend.h"
#include "engine/audio_device.h"
#include "platform/trace.h"

namespace {

class RegistryBackend final : public DriverBackendIf {
public:
    ~RegistryBackend() override { delete registry_; }

    bool initialize() override {
#if defined(KSASIO_BRAND_VEXA)
        DeviceModelIf* models[] = {new (std::nothrow) VexaQelmDeviceModel()};
#else
        DeviceModelIf* models[] = {new (std::nothrow) OrloFenroDeviceModel(), new (std::nothrow) OrloDaltoDeviceModel(),
                                   new (std::nothrow) OrloTavioDeviceModel(),
                                   new (std::nothrow) OrloTavioRawProto2009DeviceModel(),
                                   new (std::nothrow) OrloTavioRawDeviceModel()};
#endif
        constexpr size_t count = sizeof(models) / sizeof(models[0]);
        bool complete = true;
        for (DeviceModelIf* model : models) complete = complete && model != nullptr;
        if (complete) registry_ = new (std::nothrow) AsioDeviceRegistry(count, models);
        if (registry_ == nullptr) {
            TRACE("Out of memory");
            for (DeviceModelIf* model : models) delete model;
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
