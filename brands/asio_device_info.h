// The ASIO view of a discovered unit: the device record with the unit's
// channel configurations (owned, in the model's fixed order) and the one
// that is active.
//
// The active configuration is chosen by the record's own kind (a QELM
// record asks its render filter which layout the unit presents). It is
// atomic because the audio device reads it on other threads than the
// registry's, which changes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/vector.h"
#include "brands/asio_channel_assigner.h"
#include "brands/asio_device_configuration.h"
#include "devices/device_info.h"

class AsioDeviceInfo : public DeviceInfo, public AsioRoutedDeviceIf {
public:
    AsioDeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter, const char* hidDeviceId,
                   const char* audioDeviceId, uint64_t index, const char* serialNumber, DeviceModelIf* model);
    // Deletes every configuration, then the record's filters.
    ~AsioDeviceInfo() override;

    // The record's state, then every configuration's routing.
    void makeRestorePoint() override;
    void rollbackChanges() override;

    // True when the record was recreated from the stored settings rather
    // than created for a unit found for the first time.
    bool isFromSettings() const { return fromSettings_ != 0; }
    void setFromSettings(bool fromSettings) { fromSettings_ = fromSettings ? 1 : 0; }

    size_t getNumberOfConfigurations() const override { return configurations_.size(); }
    // Null for an index at or past the count.
    AsioDeviceConfigurationIf* getConfiguration(size_t index) const;
    // Null until one is chosen.
    AsioDeviceConfigurationIf* getActiveConfiguration() const { return active_.load(); }
    // False, changing nothing, for an index at or past the count.
    bool setActiveConfiguration(size_t index);
    // Takes ownership; false (the configuration deleted) when the list cannot grow.
    bool addConfiguration(AsioDeviceConfigurationIf* configuration);

    // AsioRoutedDeviceIf: what channel assignment reads.
    uint32_t getModelType() const override;
    AsioChannelRoutingIf* getConfigurationRouting(size_t index) const override { return getConfiguration(index); }

private:
    int32_t fromSettings_ = 0;
    Vector<AsioDeviceConfigurationIf*> configurations_;
    std::atomic<AsioDeviceConfigurationIf*> active_{nullptr};
};
