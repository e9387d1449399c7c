// The hardware models of the ORLO brand. Vendor id 2F9A is ORLO's own; the
// FENRO's audio part is a bought-in USB codec behind a hub inside the unit.
#pragma once

#include "devices/device_model.h"

// The audio codec and the control device hang off a hub inside the unit;
// the control device's instance identifier carries the serial number.
class OrloFenroDeviceModel : public DeviceModelAbs {
public:
    uint32_t getType() const override { return 1; }
    const char* getName() const override { return "FENRO"; }
    bool isAudioDevice(const char* path) const override { return contains(path, "USB#VID_08BB&PID_2702"); }
    bool isHidDevice(const char* path) const override { return contains(path, "HID#VID_2F9A&PID_0100"); }
    // Writes the control device's instance identifier, not a HID path.
    bool findHidDevice(DEVINST audioNode, char* output, size_t length) const override;
    // The part of the instance identifier after its last backslash, up to
    // the first '_'. Nothing is opened.
    bool getSerial(const char* instanceId, char* output, size_t length) const override;
};

class OrloDaltoDeviceModel : public DeviceModelAbs {
public:
    // The DALTO's serial number descriptor carries more than its identity.
    static constexpr size_t kSerialCharacters = 9;

    uint32_t getType() const override { return 2; }
    const char* getName() const override { return "DALTO"; }
    bool isAudioDevice(const char* path) const override { return contains(path, "USB#VID_2F9A&PID_0202"); }
    bool isHidDevice(const char* path) const override { return contains(path, "HID#VID_2F9A&PID_0202"); }
    // The sibling pattern names no interface, so the audio interface itself
    // matches too; having no child, it is passed over.
    bool findHidDevice(DEVINST audioNode, char* output, size_t length) const override {
        return findHidByParentWalk(audioNode, output, length, "USB\\VID_2F9A&PID_0202", false);
    }
    // The shared rule, cut to kSerialCharacters.
    bool getSerial(const char* hidDevicePath, char* output, size_t length) const override;
};

class OrloTavioDeviceModel : public DeviceModelAbs {
public:
    uint32_t getType() const override { return 3; }
    const char* getName() const override { return "TAVIO"; }
    bool isAudioDevice(const char* path) const override { return contains(path, "USB#VID_2F9A&PID_0300"); }
    bool isHidDevice(const char* path) const override { return contains(path, "HID#VID_2F9A&PID_0300"); }
    bool findHidDevice(DEVINST audioNode, char* output, size_t length) const override {
        return findHidByParentWalk(audioNode, output, length, "USB\\VID_2F9A&PID_0300&MI_02", false);
    }
};

class OrloTavioRawDeviceModel : public DeviceModelAbs {
public:
    uint32_t getType() const override { return 6; }
    const char* getName() const override { return "TAVIO RAW"; }
    bool isAudioDevice(const char* path) const override { return contains(path, "USB#VID_2F9A&PID_0310"); }
    bool isHidDevice(const char* path) const override { return contains(path, "HID#VID_2F9A&PID_0310"); }
    bool findHidDevice(DEVINST audioNode, char* output, size_t length) const override {
        return findHidByParentWalk(audioNode, output, length, "USB\\VID_2F9A&PID_0310&MI_02", false);
    }
};

// The 2009 prototype presents the same USB ids as the TAVIO RAW: in a model
// list holding both, whichever is listed first claims every such unit.
class OrloTavioRawProto2009DeviceModel : public OrloTavioRawDeviceModel {
public:
    uint32_t getType() const override { return 4; }
    const char* getName() const override { return "TAVIO RAW PROTO 2009"; }
};
