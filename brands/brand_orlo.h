// The ORLO product line.
#pragma once

#include "brands/brand_asio.h"

class OrloAsioBrand final : public AsioBrandIf {
public:
    // The COM class identifier of this brand's driver.
    static const GUID kClassId;

    const char* getBrandName() const override;
    const char* getDriverId() const override;
    const char* getDriverDescription() const override;
    const char* getAsioDriverName() const override;
    const char* getDriverFileName() const override;
    const char* getControlPanelFileName() const override;
    GUID* getClassId(GUID* classId) const override;
    uint8_t getBitsPerSample() const override;
    double getDefaultSampleRate() const override;
    double getMinSampleRate() const override;
    double getMaxSampleRate() const override;
    const AsioBufferSizeModelIf* getBufferSizeModel() const override { return &bufferSizeModel_; }
    void formatChannelName(char* text, size_t size, int32_t channel, bool isInput) const override;
    const AsioChannelAssignerIf* getChannelAssigner() const override { return &channelAssigner_; }
    const char* getAboutText() const override;
    bool showsDeviceStatus() const override;
    bool showsAllConfigurations() const override;
    bool showsConfigurationMode() const override;

private:
    OrloAsioBufferSizeModel bufferSizeModel_;
    OrloAsioChannelAssigner channelAssigner_;
};
