// UnitRoutingIf answered from a controller's ASIO device record: its KS
// filters and its active channel configuration, asked afresh on every call.
// The object must live as long as the units made with it.
#pragma once

#include "brands/asio_device_info.h"
#include "engine/unit_routing.h"

class AsioDeviceUnitRouting final : public UnitRoutingIf {
public:
    explicit AsioDeviceUnitRouting(AsioDeviceInfo* device) : device_(device) {}

    AsioDeviceInfo* getDevice() const { return device_; }

    CKsAudRenFilter* getRenderFilter() override { return device_ != nullptr ? device_->getRenderFilter() : nullptr; }
    CKsAudCapFilter* getCaptureFilter() override { return device_ != nullptr ? device_->getCaptureFilter() : nullptr; }
    // No active configuration: no formats, nothing routed.
    size_t getNumberOfFormats() override;
    bool getFormat(size_t index, UnitWaveFormat* format) override;
    uint8_t getInputAsioChannel(size_t channel) override;
    uint8_t getOutputAsioChannel(size_t channel) override;

private:
    AsioDeviceConfigurationIf* active() const {
        return device_ != nullptr ? device_->getActiveConfiguration() : nullptr;
    }

    AsioDeviceInfo* device_;
};
