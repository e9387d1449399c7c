// The records of the ORLO models: each has the one configuration of its
// model, active from the start.
#pragma once

#include <new>

#include "brands/asio_device_configurations.h"
#include "brands/asio_device_info.h"

template <class Configuration>
class OrloAsioDeviceInfoOf : public AsioDeviceInfo {
public:
    OrloAsioDeviceInfoOf(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter, const char* hidDeviceId,
                         const char* audioDeviceId, uint64_t index, const char* serialNumber, DeviceModelIf* model)
        : AsioDeviceInfo(renderFilter, captureFilter, hidDeviceId, audioDeviceId, index, serialNumber, model) {
        addConfiguration(new (std::nothrow) Configuration);
        setActiveConfiguration(0);
    }
};

class OrloFenroAsioDeviceInfo final : public OrloAsioDeviceInfoOf<OrloFenroAsioDeviceConfiguration> {
public:
    using OrloAsioDeviceInfoOf::OrloAsioDeviceInfoOf;
};
class OrloDaltoAsioDeviceInfo final : public OrloAsioDeviceInfoOf<OrloDaltoAsioDeviceConfiguration> {
public:
    using OrloAsioDeviceInfoOf::OrloAsioDeviceInfoOf;
};
// TAVIO and both TAVIO RAW models, which share its channel layout.
class OrloTavioAsioDeviceInfo final : public OrloAsioDeviceInfoOf<OrloTavioAsioDeviceConfiguration> {
public:
    using OrloAsioDeviceInfoOf::OrloAsioDeviceInfoOf;
};
