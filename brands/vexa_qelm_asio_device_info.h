// The record of a QELM unit. The unit's audio interface presents one layout
// at a time ("4 in - 4 out" or "8 in - 2 out"); which one is found by asking
// the render filter which format it accepts, whenever the record gets a
// render filter.
#pragma once

#include "brands/asio_device_info.h"

class VexaQelmAsioDeviceInfo final : public AsioDeviceInfo {
public:
    // Configuration 0 is "4 in - 4 out", 1 is "8 in - 2 out"; 0 is active
    // until detection finds otherwise.
    VexaQelmAsioDeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter, const char* hidDeviceId,
                           const char* audioDeviceId, uint64_t index, const char* serialNumber,
                           DeviceModelIf* model);

    void setRenderFilter(CKsAudRenFilter* filter) override;

    // Tries every format of every configuration, in order, on the render
    // filter; the first configuration with an accepted format becomes
    // active and the filter stays instantiated. Without a render filter, or
    // when it cannot be opened, nothing changes; when no format is accepted
    // the filter is closed again and the active configuration stays.
    // True when a configuration was found.
    bool detectActiveConfiguration();
};
