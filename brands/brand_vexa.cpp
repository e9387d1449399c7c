#include "brands/brand_vexa.h"

#include <cstdio>

const GUID VexaAsioBrand::kClassId = {0xb5834147, 0x757e, 0x45ec, {0x9a, 0x70, 0x4b, 0x86, 0x11, 0x65, 0x89, 0x29}};

const char* VexaAsioBrand::getBrandName() const { return "VEXA"; }
const char* VexaAsioBrand::getDriverId() const { return "VEXAASIO"; }
const char* VexaAsioBrand::getDriverDescription() const { return "VEXA ASIO Driver"; }
const char* VexaAsioBrand::getAsioDriverName() const { return "VEXA ASIO"; }
const char* VexaAsioBrand::getDriverFileName() const { return "vexaasio.dll"; }
const char* VexaAsioBrand::getControlPanelFileName() const { return "vexaasioconfig.exe"; }

GUID* VexaAsioBrand::getClassId(GUID* classId) const {
    if (classId != nullptr) *classId = kClassId;
    return classId;
}

// One rate only: the controller's clock is fixed at 44100 Hz, 16 bits.
uint8_t VexaAsioBrand::getBitsPerSample() const { return 16; }
double VexaAsioBrand::getDefaultSampleRate() const { return 44100.0; }
double VexaAsioBrand::getMinSampleRate() const { return 44100.0; }
double VexaAsioBrand::getMaxSampleRate() const { return 44100.0; }

void VexaAsioBrand::formatChannelName(char* text, size_t size, int32_t channel, bool isInput) const {
    if (text == nullptr || size == 0) return;
    std::snprintf(text, size, isInput ? "In %u" : "Out %u", static_cast<unsigned>(channel) + 1u);
    text[size - 1] = '\0';
}

const char* VexaAsioBrand::getAboutText() const {
    return "VEXA ASIO Driver 1.07.\n"
           "Copyright (C) VEXA. All rights reserved.\n"
           "VEXA and QELM are trademarks of VEXA.\n"
           "\n"
           "ASIO Interface Technology is the property of its owner.";
}

bool VexaAsioBrand::showsDeviceStatus() const { return false; }
bool VexaAsioBrand::showsAllConfigurations() const { return false; }
bool VexaAsioBrand::showsConfigurationMode() const { return true; }
