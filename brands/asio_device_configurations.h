// The channel configurations of the hardware models. Class names count
// channels from the computer's side (8 render outputs and 2 capture inputs:
// "8Out2In"); the names users see count from the unit's side ("8 in - 2 out":
// the unit takes in 8 channels and sends out 2).
#pragma once

#include "brands/asio_device_configuration.h"

struct VexaQelmLayout4Out4In {
    static constexpr const char* kName = "4 in - 4 out";
    static constexpr AsioChannelGroup kGroups[] = {
        {false, "Ostrel2"}, {true, "Ostrel2 rec"}, {false, "Ostrel3"}, {true, "Ostrel3 rec"}};
    static constexpr AsioDeviceFormat kFormats[] = {{4, 4, 44100, 16}};
};

struct VexaQelmLayout8Out2In {
    static constexpr const char* kName = "8 in - 2 out";
    static constexpr AsioChannelGroup kGroups[] = {
        {false, "Ostrel1"}, {false, "Ostrel2"}, {false, "Ostrel3"}, {false, "Ostrel4"}, {true, "Master rec"}};
    static constexpr AsioDeviceFormat kFormats[] = {{2, 8, 44100, 16}};
};

struct OrloDaltoLayout {
    static constexpr const char* kName = nullptr;
    static constexpr AsioChannelGroup kGroups[] = {{false, "N/A"}};
    static constexpr AsioDeviceFormat kFormats[] = {
        {0, 2, 48000, 24}, {0, 2, 44100, 24}, {0, 2, 48000, 16}, {0, 2, 44100, 16}};
};

struct OrloFenroLayout {
    static constexpr const char* kName = nullptr;
    static constexpr AsioChannelGroup kGroups[] = {{false, "N/A"}};
    static constexpr AsioDeviceFormat kFormats[] = {{0, 2, 48000, 16}};
};

struct OrloTavioLayout {
    static constexpr const char* kName = nullptr;
    static constexpr AsioChannelGroup kGroups[] = {{false, "Left"}, {false, "Right"}, {false, "Headphones"}};
    static constexpr AsioDeviceFormat kFormats[] = {{0, 6, 44100, 24}, {0, 6, 48000, 16}, {0, 6, 44100, 16}};
};

class VexaQelmAsioDeviceConfiguration_4Out4In final : public AsioDeviceConfigurationFixed<VexaQelmLayout4Out4In> {};
class VexaQelmAsioDeviceConfiguration_8Out2In final : public AsioDeviceConfigurationFixed<VexaQelmLayout8Out2In> {};
class OrloDaltoAsioDeviceConfiguration final : public AsioDeviceConfigurationFixed<OrloDaltoLayout> {};
class OrloFenroAsioDeviceConfiguration final : public AsioDeviceConfigurationFixed<OrloFenroLayout> {};
class OrloTavioAsioDeviceConfiguration final : public AsioDeviceConfigurationFixed<OrloTavioLayout> {};
