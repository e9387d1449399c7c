// The ASIO device registry makes the composite device over its records; it
// is defined here because the audio engine is built on top of the registry.
#include <new>

#include "brands/asio_device_registry.h"
#include "engine/composite_ks_audio_device.h"
#include "platform/trace.h"

namespace {

// Set by nothing; cleared on every record when the device is released.
constexpr int32_t kReleasedDeviceFlag = 8;

}  // namespace

AudioDeviceIf* AsioDeviceRegistry::createAudioDevice() {
    HRESULT result = E_FAIL;
    CompositeKsAudioDevice* device = new (std::nothrow) CompositeKsAudioDevice(this, &result);
    if (device == nullptr || result < 0) {
        TRACE("Device init failed");
        delete device;
        return nullptr;
    }
    TRACE("Using composite device");
    return device;
}

void AsioDeviceRegistry::releaseAudioDevice(AudioDeviceIf* device) {
    delete device;
    Guard guard(*this);
    for (size_t i = 0; i < records().size(); ++i) records()[i]->clearStateFlags(kReleasedDeviceFlag, eventHandlers());
}
