#include "devices/build_device_models.h"

#include <new>

#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"

size_t createBuildDeviceModels(DeviceModelIf** models, size_t capacity) {
#if defined(KSASIO_BRAND_VEXA)
    DeviceModelIf* created[] = {new (std::nothrow) VexaQelmDeviceModel()};
#else
    DeviceModelIf* created[] = {new (std::nothrow) OrloFenroDeviceModel(), new (std::nothrow) OrloDaltoDeviceModel(),
                                new (std::nothrow) OrloTavioDeviceModel(),
                                new (std::nothrow) OrloTavioRawProto2009DeviceModel(),
                                new (std::nothrow) OrloTavioRawDeviceModel()};
#endif
    constexpr size_t count = sizeof(created) / sizeof(created[0]);
    static_assert(count <= kMaxBuildDeviceModels, "kMaxBuildDeviceModels is too small");
    bool complete = models != nullptr && capacity >= count;
    for (DeviceModelIf* model : created) complete = complete && model != nullptr;
    if (!complete) {
        for (DeviceModelIf* model : created) delete model;
        return 0;
    }
    for (size_t i = 0; i < count; ++i) models[i] = created[i];
    return count;
}
