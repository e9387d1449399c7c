// The VEXA product line: the shipped build. One controller model (QELM),
// whose clock is fixed at 44100 Hz with 16-bit samples.
#pragma once

#include "brands/brand_asio_abs.h"

struct VexaAsioBrandProfile {
    static constexpr const char* kBrandName = "VEXA";
    static constexpr const char* kDriverId = "VEXAASIO";
    static constexpr const char* kDriverDescription = "VEXA ASIO Driver";
    static constexpr const char* kAsioDriverName = "VEXA ASIO";
    static constexpr const char* kDriverFileName = "vexaasio.dll";
    static constexpr const char* kControlPanelFileName = "vexaasioconfig.exe";
    static constexpr GUID kClassId = {0xb5834147, 0x757e, 0x45ec, {0x9a, 0x70, 0x4b, 0x86, 0x11, 0x65, 0x89, 0x29}};
    static constexpr uint8_t kBitsPerSample = 16;
    static constexpr double kDefaultSampleRate = 44100.0;
    static constexpr double kMinSampleRate = 44100.0;
    static constexpr double kMaxSampleRate = 44100.0;
    static constexpr const char* kAboutText =
        "VEXA ASIO Driver 1.07.\n"
        "Copyright (C) VEXA. All rights reserved.\n"
        "VEXA and QELM are trademarks of VEXA.\n"
        "\n"
        "ASIO Interface Technology is the property of its owner.";
    static constexpr bool kShowsDeviceStatus = false;
    static constexpr bool kShowsAllConfigurations = false;
    static constexpr bool kShowsConfigurationMode = true;
    static constexpr const char* channelNameFormat(bool isInput) { return isInput ? "In %u" : "Out %u"; }
};

class VexaAsioBrand final
    : public AsioBrandAbs<VexaAsioBrandProfile, VexaAsioBufferSizeModel, VexaAsioChannelAssigner> {};
