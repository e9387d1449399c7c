// The ORLO product line: 24-bit samples at any rate up to 384000 Hz (the
// audio device decides which the attached hardware runs, directly or by
// conversion). Complete, built and tested, but not shipped.
#pragma once

#include "brands/brand_asio_abs.h"

struct OrloAsioBrandProfile {
    static constexpr const char* kBrandName = "ORLO";
    static constexpr const char* kDriverId = "ORLOASIO";
    static constexpr const char* kDriverDescription = "ORLO ASIO Driver";
    static constexpr const char* kAsioDriverName = "ORLO ASIO";
    static constexpr const char* kDriverFileName = "orloasio.dll";
    static constexpr const char* kControlPanelFileName = "orloasioconfig.exe";
    static constexpr GUID kClassId = {0xf9f8609a, 0xf76e, 0x4591, {0xae, 0xe5, 0xef, 0xc0, 0xb5, 0x7a, 0x2b, 0x95}};
    static constexpr uint8_t kBitsPerSample = 24;
    static constexpr double kDefaultSampleRate = 48000.0;
    static constexpr double kMinSampleRate = 0.0;
    static constexpr double kMaxSampleRate = 384000.0;
    static constexpr const char* kAboutText =
        "ORLO ASIO Driver 1.10.\n"
        "Copyright (C) ORLO. All rights reserved.\n"
        "ORLO, DALTO, FENRO and TAVIO are trademarks of ORLO.\n"
        "\n"
        "ASIO Interface Technology is the property of its owner.";
    static constexpr bool kShowsDeviceStatus = true;
    static constexpr bool kShowsAllConfigurations = true;
    static constexpr bool kShowsConfigurationMode = false;
    static constexpr const char* channelNameFormat(bool) { return "Channel #%i"; }
};

class OrloAsioBrand final
    : public AsioBrandAbs<OrloAsioBrandProfile, OrloAsioBufferSizeModel, OrloAsioChannelAssigner> {};
