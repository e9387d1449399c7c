// Hardware models: how one kind of controller is recognised among the
// system's audio interfaces, where its control device sits in the device
// tree, and how its serial number (its identity) is read.
//
// Models hold no data; every answer comes from constants of the class and
// from the device tree at the moment of the call, so one instance serves all
// devices of its model from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ks_abi.h"

class DeviceModelIf {
public:
    virtual ~DeviceModelIf() = default;

    // The model type number persisted as a unit's "Type".
    virtual uint32_t getType() const = 0;
    virtual const char* getName() const = 0;
    // True when the model's audio interface pattern occurs in the path (case ignored).
    virtual bool isAudioDevice(const char* interfacePath) const = 0;
    // True when the model's HID pattern occurs in the path (case ignored).
    virtual bool isHidDevice(const char* hidPath) const = 0;
    // Walks the device tree from the audio interface's node to the control
    // device and writes the string the serial number is read from into
    // `output` (`length` characters, terminator included). Never writes past
    // the buffer: a string that would not fit makes the call fail.
    virtual bool findHidDevice(DEVINST audioNode, char* output, size_t length) const = 0;
    // Reads and cleans the serial number from what findHidDevice produced.
    virtual bool getSerial(const char* hidDeviceId, char* output, size_t length) const = 0;
};

class DeviceModelAbs : public DeviceModelIf {
public:
    // Buffer sizes the device registry passes, terminator included.
    static constexpr size_t kHidDeviceIdLength = 256;
    static constexpr size_t kSerialLength = 128;
    // A serial number with fewer characters does not identify a device.
    static constexpr size_t kMinSerialCharacters = 5;

    // The HID serial number string descriptor, cleaned: letters, digits,
    // spaces and '-' up to the first other character, trailing spaces
    // dropped. False when the device cannot be opened or asked, or when
    // fewer than kMinSerialCharacters remain.
    bool getSerial(const char* hidDevicePath, char* output, size_t length) const override;

protected:
    static bool contains(const char* text, const char* pattern);

    // The walk of the models whose control device is a HID interface of the
    // same USB composite device as the audio interface: among the siblings
    // of the audio interface's parent's children, the first whose instance
    // identifier contains `siblingPattern` and that has a child (a HID
    // device, one per top-level collection) for which the system lists a
    // HID interface yields that interface's path. `traceNodes` traces every
    // node visited.
    static bool findHidByParentWalk(DEVINST audioNode, char* output, size_t length, const char* siblingPattern,
                                    bool traceNodes);
    // The first HID interface path the system lists for a HID device
    // instance that fits `length` characters with its terminator.
    static bool hidInterfacePath(const char* hidDeviceId, char* output, size_t length);
    // Reads a node's instance identifier, terminated, when it fits in
    // `length` characters with its terminator; false otherwise.
    static bool readDeviceId(DEVINST node, char* output, size_t length);
};
