// The part every ASIO brand shares: it answers from a profile of constants
// and holds its buffer-size model and its channel assigner by value (in that
// order), and nothing else.
#pragma once

#include <cstdio>

#include "brands/brand_asio.h"

// Profile: a struct of static constants kBrandName, kDriverId,
// kDriverDescription, kAsioDriverName, kDriverFileName,
// kControlPanelFileName, kClassId, kBitsPerSample, kDefaultSampleRate,
// kMinSampleRate, kMaxSampleRate, kAboutText, kShowsDeviceStatus,
// kShowsAllConfigurations, kShowsConfigurationMode, and
// channelNameFormat(isInput), a printf format for the 1-based channel number.
template <class Profile, class BufferSizeModel, class ChannelAssigner>
class AsioBrandAbs : public AsioBrandIf {
public:
    // The COM class identifier of this brand's driver.
    static constexpr GUID kClassId = Profile::kClassId;

    const char* getBrandName() const override { return Profile::kBrandName; }
    const char* getDriverId() const override { return Profile::kDriverId; }
    const char* getDriverDescription() const override { return Profile::kDriverDescription; }
    const char* getAsioDriverName() const override { return Profile::kAsioDriverName; }
    const char* getDriverFileName() const override { return Profile::kDriverFileName; }
    const char* getControlPanelFileName() const override { return Profile::kControlPanelFileName; }
    GUID* getClassId(GUID* classId) const override {
        if (classId != nullptr) *classId = Profile::kClassId;
        return classId;
    }
    uint8_t getBitsPerSample() const override { return Profile::kBitsPerSample; }
    double getDefaultSampleRate() const override { return Profile::kDefaultSampleRate; }
    double getMinSampleRate() const override { return Profile::kMinSampleRate; }
    double getMaxSampleRate() const override { return Profile::kMaxSampleRate; }
    const AsioBufferSizeModelIf* getBufferSizeModel() const override { return &bufferSizeModel_; }
    void formatChannelName(char* text, size_t size, int32_t channel, bool isInput) const override {
        if (text == nullptr || size == 0) return;
        std::snprintf(text, size, Profile::channelNameFormat(isInput), static_cast<int>(channel) + 1);
        text[size - 1] = '\0';
    }
    const AsioChannelAssignerIf* getChannelAssigner() const override { return &channelAssigner_; }
    const char* getAboutText() const override { return Profile::kAboutText; }
    bool showsDeviceStatus() const override { return Profile::kShowsDeviceStatus; }
    bool showsAllConfigurations() const override { return Profile::kShowsAllConfigurations; }
    bool showsConfigurationMode() const override { return Profile::kShowsConfigurationMode; }

private:
    BufferSizeModel bufferSizeModel_;
    ChannelAssigner channelAssigner_;
};
