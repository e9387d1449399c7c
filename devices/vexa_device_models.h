// The hardware model of the VEXA brand.
#pragma once

#include "devices/device_model.h"

// A USB composite device: audio (MI_00), MIDI (MI_03) and the HID control
// interface (MI_05) that answers the serial number.
class VexaQelmDeviceModel : public DeviceModelAbs {
public:
    uint32_t getType() const override { return 5; }
    const char* getName() const override { return "QELM"; }
    bool isAudioDevice(const char* path) const override { return contains(path, "USB#VID_04D8&PID_0C5E&MI_00"); }
    bool isHidDevice(const char* path) const override { return contains(path, "HID#VID_04D8&PID_0C5E"); }
    bool findHidDevice(DEVINST audioNode, char* output, size_t length) const override {
        return findHidByParentWalk(audioNode, output, length, "USB\\VID_04D8&PID_0C5E&MI_05", true);
    }
};
