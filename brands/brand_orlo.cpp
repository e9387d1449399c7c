#include "brands/brand_orlo.h"

#include <cstdio>

const GUID OrloAsioBrand::kClassId = {0xf9f8609a, 0xf76e, 0x4591, {0xae, 0xe5, 0xef, 0xc0, 0xb5, 0x7a, 0x2b, 0x95}};

const char* OrloAsioBrand::getBrandName() const { return "ORLO"; }
const char* OrloAsioBrand::getDriverId() const { return "ORLOASIO"; }
const char* OrloAsioBrand::getDriverDescription() const { return "ORLO ASIO Driver"; }
const char* OrloAsioBrand::getAsioDriverName() const { return "ORLO ASIO"; }
const char* OrloAsioBrand::getDriverFileName() const { return "orloasio.dll"; }
const char* OrloAsioBrand::getControlPanelFileName() const { return "orloasioconfig.exe"; }

GUID* OrloAsioBrand::getClassId(GUID* classId) const {
    if (classId != nullptr) *classId = kClassId;
    return classId;
}

// Any positive rate up to 384000 Hz passes here; the audio device decides
// which ones the attached hardware can run, directly or by conversion.
uint8_t OrloAsioBrand::getBitsPerSample() const { return 24; }
double OrloAsioBrand::getDefaultSampleRate() const { return 48000.0; }
double OrloAsioBrand::getMinSampleRate() const { return 0.0; }
double OrloAsioBrand::getMaxSampleRate() const { return 384000.0; }

void OrloAsioBrand::formatChannelName(char* text, size_t size, int32_t channel, bool) const {
    if (text == nullptr || size == 0) return;
    std::snprintf(text, size, "Channel #%i", static_cast<int>(channel + 1));
    text[size - 1] = '\0';
}

const char* OrloAsioBrand::getAboutText() const {
    return "ORLO ASIO Driver 1.10.\n"
           "Copyright (C) ORLO. All rights reserved.\n"
           "ORLO, DALTO, FENRO and TAVIO are trademarks of ORLO.\n"
           "\n"
           "ASIO Interface Technology is the property of its owner.";
}

bool OrloAsioBrand::showsDeviceStatus() const { return true; }
bool OrloAsioBrand::showsAllConfigurations() const { return true; }
bool OrloAsioBrand::showsConfigurationMode() const { return false; }
